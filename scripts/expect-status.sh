#!/usr/bin/env bash
# expect-status.sh "CODES" COMMAND...: runs COMMAND and succeeds when its
# exit status is one of the space-separated CODES.
codes=$1; shift
"$@"
status=$?
for code in $codes; do [ "$status" -eq "$code" ] && exit 0; done
echo "exit status $status, expected one of: $codes" >&2
exit 1
