# make test: install what is missing, build, run the suite, then build and run it again
#            under AddressSanitizer and UndefinedBehaviorSanitizer.
# make demo: build and start keymgr on softskf demo tokens.
# make bench: build and run the benchmarks; the last table sets the whole program before and
#             after side by side (the earlier revision is built into $(BUILD)/bench-before).
# make package: build the Debian package (build-package/com.lumeno.tesselkey-norvik_*.deb).
# make screenshots: draw every dialog to $(BUILD)/dialog-renders/ for a look by eye.
# make fuzz: build the libFuzzer targets with clang and run each for FUZZ_SECONDS (default 60),
#            merging the inputs that raise coverage into fuzz/<target>/corpus.
BUILD      ?= build
ASAN_BUILD ?= build-asan
PACKAGE_BUILD ?= build-package
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= 2
ROOT       := $(CURDIR)

configure = cmake -S . -B $(1) -G Ninja -DKEYMGR_APP_DIR=$(ROOT)/$(1)/appdir $(2)

.PHONY: all deps build test test-asan demo bench package screenshots fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	$(call configure,$(BUILD),)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan

test-asan: deps
	$(call configure,$(ASAN_BUILD),-DKEYMGR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh $(ROOT)/$(BUILD)

bench: build
	JOBS=$(JOBS) scripts/bench.sh $(ROOT)/$(BUILD)

package: deps
	scripts/package.sh $(ROOT)/$(PACKAGE_BUILD) $(JOBS)

screenshots: build
	cmake --build $(BUILD) --target screenshots

fuzz: deps
	CC=clang CXX=clang++ $(call configure,$(FUZZ_BUILD),-DKEYMGR_FUZZ=ON)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	scripts/fuzz.sh $(ROOT)/$(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PACKAGE_BUILD) $(FUZZ_BUILD)
