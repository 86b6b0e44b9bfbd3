BUILD ?= build
JOBS ?= $(shell nproc)
# Test suites that run work on several threads (run under ThreadSanitizer by test-sanitize).
THREADED_TESTS ?= RunLoop|Notify|UserInterface|Sound|FileProperty|Registration|AutoLogin|HttpClient|Upload|UpdateCipher|integration.test_update|WeeApp|integration.test_widget|Proof|SignerKey|TimeStampClient|integration.test_proof

.PHONY: deps build test demo bench test-sanitize fuzz clean format package lint

deps:
	./scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# A newcomer's two commands bring in what they need first (quick when all is there).
test: deps
	$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) --no-print-directory build
	./scripts/demo.sh $(BUILD)

# A Debian package (dependencies from dpkg-shlibdeps) in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	./scripts/bench.sh $(BUILD)

test-sanitize:
	cmake -S . -B build-asan -DQUILLBOX_SANITIZE=address,undefined && cmake --build build-asan -j $(JOBS) && cd build-asan && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B build-tsan -DQUILLBOX_SANITIZE=thread && cmake --build build-tsan -j $(JOBS) && cd build-tsan && ctest --output-on-failure -R '$(THREADED_TESTS)'

fuzz:
	./fuzz/run.sh build-fuzz

lint: $(BUILD)/CMakeCache.txt
	./scripts/lint.sh $(BUILD) $(JOBS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

format:
	find Lib vigild tools tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i
