# Thin wrapper over CMake. `make test` and `make run` first install what is missing.
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
BUILD      := build
ASAN_BUILD := build-asan
CTEST_ARGS := --output-on-failure --timeout 600 -j $(JOBS)

.PHONY: all deps build build-asan test test-plain test-asan run clean

all: build

deps:
	@bash scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_BENCH=OFF

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest $(CTEST_ARGS)

# The same tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
# any report aborts the test that caused it.
test-asan: build-asan
	cd $(ASAN_BUILD) && \
	ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest $(CTEST_ARGS)

# Then a short libFuzzer run of each fuzz target (test-fuzz, below).
test: test-plain test-asan test-fuzz

# The window when there is a display, else the headless service; the configuration is
# build/app/Brisel.cfg.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		exec $(BUILD)/app/tarnwick; \
	else \
		echo "No display: running headless (Ctrl-C stops it)."; \
		exec $(BUILD)/app/tarnwick --headless; \
	fi

# Benchmarks, not part of `make test`: direct connections against forwarders on loopback,
# one table of ratios. bench/README.md tells what is measured. `deps.sh bench` installs
# the forwarders compared (socat, haproxy, rinetd) without starting their services.
.PHONY: bench bench-quick
bench: build
	@bash scripts/deps.sh bench
	bash bench/run.sh --build $(BUILD)

bench-quick: build
	@bash scripts/deps.sh bench
	bash bench/run.sh --quick --build $(BUILD)

# The main window and both dialogs rendered under a virtual X server into docs/.
.PHONY: screenshots
screenshots: build
	@bash scripts/deps.sh screenshots
	cmake --build $(BUILD) --target tarnwick-screenshots -j $(JOBS)
	xvfb-run -a -s "-screen 0 1280x800x24" $(BUILD)/app/tarnwick-screenshots docs

# Fuzzing with libFuzzer: the configuration loader, the JSON import and the matchers,
# built with clang (`deps.sh fuzz`), under AddressSanitizer and UndefinedBehaviorSanitizer.
# `make fuzz` runs each target FUZZ_SECONDS; `make test` runs each FUZZ_TEST_SECONDS
# (test-fuzz), besides the plain suite's run of each over its corpus. New inputs go to
# build-fuzz/corpus/<target>, findings to build-fuzz/<target>-crash-*.
FUZZ_BUILD        := build-fuzz
FUZZ_SECONDS      ?= 60
FUZZ_TEST_SECONDS ?= 10
FUZZ_TARGETS      := ConfigImageFuzzer PortJsonFuzzer MatchersFuzzer ClientHelloFuzzer ProxyHeaderFuzzer

.PHONY: fuzz fuzz-build test-fuzz
$(FUZZ_BUILD)/CMakeCache.txt:
	@bash scripts/deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON

fuzz-build: $(FUZZ_BUILD)/CMakeCache.txt
	@bash scripts/deps.sh fuzz
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

# $(1): seconds per target.
define run_fuzz_targets
	@set -e; for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
		echo "fuzz: $$target for $(1) s"; \
		$(FUZZ_BUILD)/tests/fuzz/$$target -max_total_time=$(1) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/$$target- \
			$(FUZZ_BUILD)/corpus/$$target tests/fuzz/corpus/$$target; \
	done
endef

fuzz: fuzz-build
	$(call run_fuzz_targets,$(FUZZ_SECONDS))

test-fuzz: fuzz-build
	$(call run_fuzz_targets,$(FUZZ_TEST_SECONDS))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
