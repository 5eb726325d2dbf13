# make test: install what is missing, build, run the suite, then build and run it again
#            under AddressSanitizer and UndefinedBehaviorSanitizer.
# make demo: build and start keymgr on softskf demo tokens.
# make bench: build and run the benchmarks.
# make package: build the Debian package (build-package/com.lumeno.tesselkey-norvik_*.deb).
BUILD      ?= build
ASAN_BUILD ?= build-asan
PACKAGE_BUILD ?= build-package
JOBS       ?= 2
ROOT       := $(CURDIR)

configure = cmake -S . -B $(1) -G Ninja -DKEYMGR_APP_DIR=$(ROOT)/$(1)/appdir $(2)

.PHONY: all deps build test test-asan demo bench package clean

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
	scripts/bench.sh $(ROOT)/$(BUILD)

package: deps
	scripts/package.sh $(ROOT)/$(PACKAGE_BUILD) $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PACKAGE_BUILD)
