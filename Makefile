# Everything from a fresh Debian 12 machine: `make test`, `make demo`, `make bench`,
# and the vendor's tool: `make tool` (its stubs and encoder, for
# mkinstaller/mkinstaller) and `make dist` (the tool as one archive).
BUILD ?= build
WERROR := $(if $(CI),ON,OFF)
I686 := $(BUILD)/i686
X64 := $(BUILD)/x86_64

I686_TESTS := $(BUILD)/i686-tests
STUB_X64 := $(BUILD)/stub-x86_64
PREBUILT := $(BUILD)/prebuilt

.PHONY: all deps build build-i686 build-stub-x64 tool dist test test-i686 demo bench clean
all: build

deps:
	@tools/install-deps

build-i686: deps
	cmake -S . -B $(I686) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_WERROR=ON
	cmake --build $(I686)

# The x86-64 stub, built as lean as the i686 one ships.
build-stub-x64: deps
	cmake -S . -B $(STUB_X64) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_WERROR=ON
	cmake --build $(STUB_X64) --target prebuilt

# What the vendor's tool writes installers from: both stubs and the encoder.
tool: build-i686 build-stub-x64
	mkdir -p $(PREBUILT)
	cp $(I686)/prebuilt/stub-i686.exe $(STUB_X64)/prebuilt/stub-x86_64.exe $(I686)/prebuilt/lzxpack $(PREBUILT)/

# The vendor's tool as one archive: the tool, its stubs and its encoder.
dist: tool
	tools/make-dist $(PREBUILT) $(BUILD)/dist

build: tool
	cmake -S . -B $(X64) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_TESTS=ON -DINSTALLER_WERROR=$(WERROR) -DINSTALLER_HARDENED=ON \
	  -DINSTALLER_I686_EXE=$(abspath $(I686))/instalator.exe -DINSTALLER_PREBUILT=$(abspath $(PREBUILT))
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
