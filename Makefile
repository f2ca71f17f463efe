# make        builds the three trees (host, win32, win64)
# make host   builds the host tree alone (engine, Linux tools, host tests)
# make demo   installs what is missing, builds, trims a sample NTFS image
# make test   installs what is missing, builds, runs the whole suite
# make install  the Linux tools, their manual pages and bash completion
#               under PREFIX (default /usr/local), below DESTDIR if given
# make uninstall  removes what the last make install installed
# make deb      build/deb/quillet-tools_VERSION_ARCH.deb, built with debhelper

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
PREFIX ?= /usr/local

.PHONY: all build host setup demo test install uninstall deb clean

all: build

setup:
	@scripts/setup.sh

build/host/CMakeCache.txt:
	cmake -S . -B build/host $(CMAKE_FLAGS)
build/win32/CMakeCache.txt:
	cmake -S . -B build/win32 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
build/win64/CMakeCache.txt:
	cmake -S . -B build/win64 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake

# win64 and win32 first: the desktop program carries the boot-time builds.
build: build/host/CMakeCache.txt build/win32/CMakeCache.txt build/win64/CMakeCache.txt
	cmake --build build/win64 -j $(JOBS)
	cmake --build build/win32 -j $(JOBS)
	cmake --build build/host -j $(JOBS)

host: build/host/CMakeCache.txt
	cmake --build build/host -j $(JOBS)

demo: setup
	@$(MAKE) --no-print-directory build
	@scripts/demo.sh

test: setup
	@$(MAKE) --no-print-directory build
	scripts/run-tests.sh

# Only the host tree: the Windows programs are not installed on Linux.
install: build/host/CMakeCache.txt
	cmake --build build/host -j $(JOBS) --target quillet-image quillet-disk
	DESTDIR="$(DESTDIR)" cmake --install build/host --prefix "$(PREFIX)"

# The files the last install wrote, as CMake listed them (below DESTDIR
# when given, as for the install).
uninstall:
	@test -f build/host/install_manifest.txt || { echo "nothing installed from build/host" >&2; exit 1; }
	sed 's|^|$(DESTDIR)|' build/host/install_manifest.txt | tr '\n' '\0' | xargs -0 -r rm -f --
	rm -f build/host/install_manifest.txt

deb: setup
	@scripts/make-deb.sh

clean:
	rm -rf build
