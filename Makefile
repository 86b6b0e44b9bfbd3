BUILD ?= build
JOBS ?= $(shell nproc)

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

# The Debian packages quillbox and quillbox-devserver (dependencies from
# dpkg-shlibdeps) in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	./scripts/bench.sh $(BUILD)

test-sanitize: test-asan test-tsan

fuzz:
	./fuzz/run.sh build-fuzz

lint: $(BUILD)/CMakeCache.txt
	./scripts/lint.sh $(BUILD) $(JOBS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

format:
	find Lib vigild tools tests bench fuzz quillboxWeeApp -name '*.cpp' -o -name '*.h' | xargs clang-format -i

# ---- Sanitizer runs, soak ----------------------------------------------------
.PHONY: asan-build test-asan tsan-build test-tsan soak
# Sanitizer trees build lean: -O1 with line tables only, and only the targets
# their tests run. Reports of uninstrumented Debian libraries are handled in
# tests/sanitizers/*.supp (reviewed, each naming the library); nothing is
# switched off. UBSan reports are fatal. The reference service, a peer of the
# tests rather than code under test, is the plain tree's (hence `build` first).
SANITIZE_JOBS ?= 2
SANITIZE_FLAGS = -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DQUILLBOX_PEER_BIN_DIR=$(CURDIR)/$(BUILD)/bin
SUPP = $(CURDIR)/tests/sanitizers
export ASAN_OPTIONS ?= detect_leaks=1
export LSAN_OPTIONS ?= suppressions=$(SUPP)/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1:suppressions=$(SUPP)/ubsan.supp
export TSAN_OPTIONS ?= suppressions=$(SUPP)/tsan.supp:second_deadlock_stack=1:halt_on_error=0
# The ASan+UBSan tree runs the unit tests, every fuzz replay and the
# integration tests (the soak over fewer captures), except those that add time
# without adding code under test: the install test (the same programs from an
# installed prefix), the browser and dunst variants of the widget and desktop
# tests (the same host and backend as test_widget_host and test_desktop,
# driven by other clients).
ASAN_TARGETS ?= unit_tests fuzz-replay torture_writer capture_bench quillbox-cli vigild \
  quillbox-weeapp-host quillboxWeeApp bundles
ASAN_EXCLUDE ?= integration.test_(install|widget_browser|desktop_dunst)

asan-build:
	cmake -S . -B build-asan -DQUILLBOX_SANITIZE=address,undefined $(SANITIZE_FLAGS) >/dev/null
	cmake --build build-asan -j $(SANITIZE_JOBS) --target $(ASAN_TARGETS)

test-asan: build asan-build
	cd build-asan && ctest --output-on-failure -j $(SANITIZE_JOBS) -E '$(ASAN_EXCLUDE)'

# ThreadSanitizer runs the tests labelled "threaded" (a test file says so in a
# line "// ctest-labels: threaded", see tests/CMakeLists.txt) and builds what
# they run: of the unit tests, only the threaded files.
TSAN_TARGETS ?= unit_tests quillbox-cli vigild quillbox-weeapp-host quillboxWeeApp bundles
tsan-build:
	cmake -S . -B build-tsan -DQUILLBOX_SANITIZE=thread $(SANITIZE_FLAGS) >/dev/null
	cmake --build build-tsan -j $(SANITIZE_JOBS) --target $(TSAN_TARGETS)

test-tsan: build tsan-build
	cd build-tsan && ctest --output-on-failure -j $(SANITIZE_JOBS) -L threaded

# The long soak with its memory figure (`make test` runs a CI-sized part of
# it for what it must keep doing; `make bench` its memory at 150 triggers).
SOAK_TRIGGERS ?= 600
soak: build
	./scripts/bench-soak.sh $(BUILD) $(SOAK_TRIGGERS)
