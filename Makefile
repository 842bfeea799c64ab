# Everything from a fresh Debian 12 machine: `make test`, `make demo` and `make bench`.
BUILD ?= build
WERROR := $(if $(CI),ON,OFF)
I686 := $(BUILD)/i686
X64 := $(BUILD)/x86_64

.PHONY: all deps build test demo bench clean
all: build

deps:
	@tools/install-deps

build: deps
	cmake -S . -B $(I686) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_WERROR=ON
	cmake --build $(I686)
	cmake -S . -B $(X64) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_TESTS=ON -DINSTALLER_WERROR=$(WERROR) -DINSTALLER_HARDENED=ON \
	  -DINSTALLER_I686_EXE=$(abspath $(I686))/instalator.exe
	cmake --build $(X64)

test: build
	cd $(X64) && ctest --output-on-failure -j2

demo: build
	tools/demo $(X64)/instalator.exe $(BUILD)/demo

bench: build
	tools/bench/run.py

clean:
	rm -rf $(BUILD)
