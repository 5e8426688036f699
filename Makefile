# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what is missing, configure and build first.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
WIN_BUILD  ?= build-windows
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# Our own builds treat warnings as errors; a packager's cmake call does not.
WERROR     ?= -DDOCJOIN_WERROR=ON
CTEST_JOBS ?= 4

PREFIX     ?= /usr/local

.PHONY: all deps test-deps build build-asan build-fuzz windows test fuzz demo install deb clean

all: build

# What building and running need (the demo's set), and what the tests add.
deps:
	scripts/install-deps

test-deps:
	scripts/install-deps --test

build: deps
	cmake -S . -B $(BUILD) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WINDOWS_TESTS)
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(WERROR) -DCMAKE_BUILD_TYPE=Debug -DDOCJOIN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# docjoin.exe for Windows, cross-built with mingw-w64; with it the Windows
# programs the tests run under Wine.
windows: test-deps
	cmake -S . -B $(WIN_BUILD) $(WERROR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_BUILD) -j$(JOBS)

# The tests include the Windows build's, run under Wine.
test: WINDOWS_TESTS = -DDOCJOIN_WINDOWS_BIN=$(CURDIR)/$(WIN_BUILD)/bin
test: test-deps build build-asan windows
	ctest --test-dir $(BUILD) --output-on-failure -j$(CTEST_JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(CTEST_JOBS)

# libFuzzer needs clang; every target runs FUZZ_SECONDS seconds.
build-fuzz: test-deps
	cmake -S . -B $(FUZZ_BUILD) $(WERROR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDOCJOIN_FUZZ=ON -DDOCJOIN_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

fuzz: build build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(BUILD)/bin $(FUZZ_BUILD)/bin

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package lands in $(BUILD)/.
deb: build
	cd $(BUILD) && cpack -G DEB

demo: build
	scripts/demo $(BUILD)/bin

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) demo
