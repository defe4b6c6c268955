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
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON

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

test: test-plain test-asan

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

# Fuzzing with libFuzzer, not part of `make test` (which only runs each target over its
# corpus): the configuration loader, the JSON import and the matchers, FUZZ_SECONDS each.
# New inputs go to build-fuzz/corpus/<target>, findings to build-fuzz/.
FUZZ_BUILD   := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ConfigImageFuzzer PortJsonFuzzer MatchersFuzzer

.PHONY: fuzz
$(FUZZ_BUILD)/CMakeCache.txt:
	@bash scripts/deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
		-DTARNWICK_FUZZ=ON

fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	@bash scripts/deps.sh fuzz
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
		echo "fuzz: $$target for $(FUZZ_SECONDS) s"; \
		$(FUZZ_BUILD)/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) \
			-artifact_prefix=$(FUZZ_BUILD)/$$target- \
			$(FUZZ_BUILD)/corpus/$$target tests/fuzz/corpus/$$target; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
