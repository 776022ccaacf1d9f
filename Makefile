# Ardentel: `make run` starts the receiver, `make test` runs every check. Both install what is missing first.
JOBS ?= $(shell nproc)
BUILD ?= build
# Seconds per fuzz target in make test (two run at a time), and executions per target in soak-fuzz.
FUZZ_SECONDS ?= 30
FUZZ_RUNS ?= 100000000
FUZZ_TARGETS_ALL = fuzz_parse_dc9 fuzz_receive_stream fuzz_udp_datagram fuzz_journal_files fuzz_account_file fuzz_config_file fuzz_command_line fuzz_account_keys fuzz_output_answers
export CCACHE_DIR ?= $(HOME)/.cache/ccache
export QT_QPA_PLATFORM ?= offscreen

CMAKE_COMMON = -G Ninja -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
# What make run builds: the program and the tools the README's first steps use beside it (no tests,
# benchmarks or fault suite).
RUN_TARGETS = ardentel dc09-send dc09-decode automation-sim

.PHONY: deps configure build run test test-dev test-asan test-tsan fuzz fuzz-build soak-fuzz soak bench clean deb

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARDENTEL_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	scripts/run.sh $(BUILD)

test: deps test-dev test-asan test-tsan fuzz

test-dev: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# Unit tests again with AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
test-asan: deps
	cmake -S . -B $(BUILD)-asan $(CMAKE_COMMON) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=Debug -DARDENTEL_SANITIZE=address -DARDENTEL_BENCH=OFF -DARDENTEL_TOOLS=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	    ctest --output-on-failure -j $(JOBS) --timeout 900 -LE no-sanitize

# The store's locking under ThreadSanitizer: an appender against the forwarding side.
test-tsan: deps
	cmake -S . -B $(BUILD)-tsan $(CMAKE_COMMON) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=Debug -DARDENTEL_SANITIZE=thread -DARDENTEL_BENCH=OFF -DARDENTEL_TOOLS=OFF -DARDENTEL_GUI=OFF
	cmake --build $(BUILD)-tsan -j $(JOBS) --target store_thread_tests forwarding_thread_tsan_tests
	cd $(BUILD)-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L tsan

# libFuzzer on every input surface (frames, the data files at load, the automation answers), each
# target for FUZZ_SECONDS, seeded from tests/fuzz/corpus*.
fuzz: fuzz-build
	scripts/run-fuzz.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

fuzz-build: deps
	cmake -S . -B $(BUILD)-fuzz $(CMAKE_COMMON) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARDENTEL_FUZZ=ON -DARDENTEL_GUI=OFF -DARDENTEL_BENCH=OFF -DARDENTEL_TOOLS=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(FUZZ_TARGETS_ALL)

# The long run: FUZZ_RUNS executions of each target (FUZZ_SOAK_SECONDS, when set, caps each); prints
# the executions and the rate per target.
soak-fuzz: fuzz-build
	scripts/run-fuzz.sh $(BUILD)-fuzz --runs $(FUZZ_RUNS) $(FUZZ_SOAK_SECONDS)

bench: build
	$(BUILD)/bench/ardentel_bench
	$(BUILD)/bench/ardentel_bench_ui

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz

# The real receiver under load: receiving, forwarding and both together, with their targets.
.PHONY: bench-e2e
bench-e2e: build
	$(BUILD)/bench/ardentel_bench_e2e

# The Debian package: program, tools, systemd units (ardentel.service, ardentel@.service) and the
# desktop entry, built with CPack from the normal build; lintian checks it when it is installed.
deb: build
	cd $(BUILD) && cpack -G DEB
	@deb=$$(ls -t $(BUILD)/ardentel_*.deb | head -1); echo "package: $$deb"; \
	    dpkg-deb -I "$$deb" | sed -n '/Package:/,$$p'; \
	    if command -v lintian >/dev/null; then lintian "$$deb" || true; fi

# The fault suite against the real binaries (about 5 minutes; not part of make test): garbage flood,
# idle connections, slow senders, SIGKILL under load, automation outages and false answers, a data
# directory that refuses writes, a serial device that vanishes. Prints a Markdown table; exits 1 when
# a scenario failed. SOAK="a f1" runs some. The disk scenarios need root (tmpfs mounts).
SOAK ?=
soak: build
	ARDENTEL_BIN=$(BUILD)/src/app/ardentel AUTOMATION_SIM=$(BUILD)/tools/automation-sim \
	    DC09_SEND=$(BUILD)/tools/dc09-send $(BUILD)/tests/soak/ardentel_soak $(SOAK)
