#!/bin/sh
# runs-32bit.sh COMMAND...: runs the command, a Wine test of 32-bit
# programs, or skips it (exit 77) when this kernel runs no 32-bit programs
# at all (no IA32 emulation): Wine's 32-bit loader cannot even start there.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    exec "$@"
fi
echo "skipped: this kernel runs no 32-bit programs (Wine's 32-bit loader: Exec format error)"
exit 77
