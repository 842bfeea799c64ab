# Everything from a fresh Debian 12 machine: `make test`, `make demo` and `make bench`.
BUILD ?= build
WERROR := $(if $(CI),ON,OFF)
I686 := $(BUILD)/i686
X64 := $(BUILD)/x86_64

I686_TESTS := $(BUILD)/i686-tests

.PHONY: all deps build build-i686 test test-i686 demo bench clean
all: build

deps:
	@tools/install-deps

build-i686: deps
	cmake -S . -B $(I686) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_WERROR=ON
	cmake --build $(I686)

build: build-i686
	cmake -S . -B $(X64) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_TESTS=ON -DINSTALLER_WERROR=$(WERROR) -DINSTALLER_HARDENED=ON \
	  -DINSTALLER_I686_EXE=$(abspath $(I686))/instalator.exe
	cmake --build $(X64)

test: build
	cd $(X64) && ctest --output-on-failure -j2

# The shipped 32-bit build and the same tests built for i686, run under
# 32-bit Wine in a virtual machine (this kernel cannot run 32-bit code).
test-i686: build-i686
	cmake -S . -B $(I686_TESTS) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_TESTS=ON -DINSTALLER_WERROR=$(WERROR) -DINSTALLER_HARDENED=ON \
	  -DINSTALLER_I686_EXE=$(abspath $(I686))/instalator.exe \
	  -DINSTALLER_E2E_INSTALLER=$(abspath $(I686))/instalator.exe \
	  -DINSTALLER_WINE_PREFIXES=/tmp/wine-i686 -DINSTALLER_TEST_TIMEOUT=3600
	cmake --build $(I686_TESTS)
	tools/vm/run $(BUILD) tests/vm/test-i686 $(abspath $(I686_TESTS)) $(abspath $(I686))

demo: build
	tools/demo $(X64)/instalator.exe $(BUILD)/demo

bench: build
	tools/bench/run.py

clean:
	rm -rf $(BUILD)
