# make        builds the three trees (host, win32, win64)
# make host   builds the host tree alone (engine, Linux tools, host tests)
# make demo   installs what is missing, builds, trims a sample NTFS image
# make test   installs what is missing, builds, runs the whole suite
# make install  the Linux tools, their manual pages and bash completion
#               under PREFIX (default /usr/local), below DESTDIR if given

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
PREFIX ?= /usr/local

.PHONY: all build host setup demo test install clean

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

clean:
	rm -rf build
