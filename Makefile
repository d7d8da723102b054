# Thin wrapper over CMake and CTest. See README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
CMAKE_ARGS ?= -DTARN_WERROR=ON
# OpenWrt's libubox, ubus and uci and UDT 4.11 with the project's patches
# (openwrt/udt/patches), built once from pinned sources (docs/host-bus.md);
# the sanitizer build links the same ones.
OPENWRT    := $(CURDIR)/$(BUILD)/openwrt

DEBS = build-essential cmake pkg-config patch libevent-dev libcjson-dev \
       libgtest-dev libjson-c-dev libsodium-dev coturn iptables iproute2 python3 util-linux shellcheck groff-base
# OpenWrt's init scripts run under busybox sh in the package test.
DEBS += busybox-static
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# The device build: big-endian 32-bit MIPS, its libraries built from pinned
# sources into CROSS_PREFIX, its programs run under qemu-mips.
CROSS_BUILD  ?= build-mips
CROSS_DEBS   = g++-mips-linux-gnu qemu-user googletest
CROSS_PREFIX = $(CURDIR)/$(CROSS_BUILD)/third_party
CROSS_LIBS   = json-c libevent cjson libsodium udt4 gtest libubox ubus uci
CROSS_QEMU   = qemu-mips -L /usr/mips-linux-gnu -E LD_LIBRARY_PATH=$(CROSS_PREFIX)/lib
CROSS_ROADS  = test_roads.Roads.test_port_restricted_both_sides_carries_talkback \
               test_roads.Roads.test_other_nat_pairs_connect

PREFIX     ?= /usr/local
# UDT 4.11 as shipped, no patches: the viewer most apps are, for bench-live.
UDT_PLAIN  := $(CURDIR)/$(BUILD)/udt-plain

.PHONY: all deps cross-deps build install asan cross test test-asan cross-test demo bench liveness clean \
        fuzz test-tsan bench-lossy bench-live coverage mutation

all: build

# Installs only what is missing; apt-get update runs only when something is.
install_missing = @missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# Then builds OpenWrt's libraries into $(OPENWRT) unless they are there already.
deps:
	$(call install_missing,$(DEBS))
	JOBS=$(JOBS) cmake/third_party.sh --prefix $(OPENWRT) --work $(OPENWRT)-src libubox ubus uci udt4

cross-deps:
	$(call install_missing,$(CROSS_DEBS))

build:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT)
	cmake --build $(BUILD) -j$(JOBS)

# tarn to PREFIX/sbin, its tools to PREFIX/bin, man pages; DESTDIR for staging.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

asan:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT) -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# tarn, its tools and the unit tests for the device, against the target's own
# libevent, cJSON, libsodium, UDT and OpenWrt's libubox, ubus and uci.
cross: cross-deps
	JOBS=$(JOBS) cmake/third_party.sh --prefix $(CROSS_PREFIX) --work $(CROSS_BUILD)/third_party-src \
	  --toolchain $(CURDIR)/cmake/mips-linux-gnu.cmake $(CROSS_LIBS)
	cmake -S . -B $(CROSS_BUILD) $(CMAKE_ARGS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mips-linux-gnu.cmake \
	  -DCMAKE_PREFIX_PATH=$(CROSS_PREFIX) -DTARN_OPENWRT_PREFIX=$(CROSS_PREFIX) \
	  -DTARN_TOOL_DIR=$(CURDIR)/$(BUILD)/bin
	cmake --build $(CROSS_BUILD) -j$(JOBS)

test: deps build
	cd $(BUILD) && $(SUDO) ctest -j$(JOBS) --output-on-failure

# Every test again with AddressSanitizer and UBSan in the daemon and the tools.
test-asan: deps asan
	cd $(ASAN_BUILD) && $(SUDO) ctest -j$(JOBS) --output-on-failure

# Every unit test of the device build under qemu-mips (with the host build's
# tools), then whole roads in the lab with the device's tarn under qemu.
cross-test: deps build cross
	cd $(CROSS_BUILD) && $(SUDO) ctest -j$(JOBS) --output-on-failure
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PYTHONPATH=$(CURDIR)/tools/lab:$(CURDIR)/tests/lib:$(CURDIR)/tests/lab PATH=$(CURDIR)/$(BUILD)/bin:$$PATH \
	  TARN_DEVICE_COMMAND="$(CROSS_QEMU) $(CURDIR)/$(CROSS_BUILD)/bin/tarn" \
	  python3 -m unittest -v $(CROSS_ROADS)

demo: deps build
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH python3 tools/demo/demo.py

# tarn in the lab against raw UDT and a minimal server; prints one table
# (docs/performance.md). BENCH_QUICK=1: a short run; BENCH_JSON=FILE: JSON too.
bench: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT) -DTARN_BENCH=ON
	cmake --build $(BUILD) -j$(JOBS)
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH BENCH_QUICK=$(BENCH_QUICK) BENCH_JSON=$(BENCH_JSON) \
	  python3 bench/bench.py

# Live view on lossy roads: stream and talk-back, viewers on UDT 4.11 as
# shipped and patched, the MIPS device under qemu if make cross has built it;
# one table (docs/performance.md). BENCH_QUICK=1, BENCH_JSON=FILE as for bench.
bench-live: deps build
	JOBS=$(JOBS) cmake/third_party.sh --prefix $(UDT_PLAIN) --work $(UDT_PLAIN)-src udt4-plain
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH BENCH_QUICK=$(BENCH_QUICK) BENCH_JSON=$(BENCH_JSON) \
	  BENCH_LIVE_ROWS=$(BENCH_LIVE_ROWS) BENCH_DEVICE_UDT=$(BENCH_DEVICE_UDT) \
	  UDT_PLAIN_LIB=$(UDT_PLAIN)/lib \
	  MIPS_DEVICE="$(if $(wildcard $(CROSS_BUILD)/bin/tarn),$(CROSS_QEMU) $(CURDIR)/$(CROSS_BUILD)/bin/tarn)" \
	  python3 bench/bench_live.py

# The worst control-request answer time through each liveness fault; a table.
liveness: deps build
	BUILD=$(BUILD) $(SUDO) python3 bench/loop_latency.py

# 20 roads with 10 % loss each way (LOSSY_ROADS, LOSSY_PCT); prints the rate.
bench-lossy: deps build
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH python3 bench/lossy_roads.py

# libFuzzer targets (clang) under ASan+UBSan, FUZZ_SECONDS each, in a sandbox.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	$(call install_missing,clang)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTARN_FUZZ=ON -DTARN_TESTS=OFF $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT)
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	$(SUDO) tests/sandbox fuzz/run $(FUZZ_BUILD)/bin $(FUZZ_SECONDS)

# The unit layer, which runs the NAT-type worker and probe threads, under
# ThreadSanitizer. setarch -R: TSan cannot map its shadow under full ASLR.
TSAN_BUILD ?= build-tsan
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT) -DTARN_TSAN=ON \
	  -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && $(SUDO) env TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp" \
	  setarch -R ctest -L unit -j$(JOBS) --output-on-failure

# Line coverage of src/ from the whole suite, each test run alone in a gcov
# build (docs/testing.md); the per-test line map also feeds make mutation.
COV_BUILD ?= build-coverage
coverage: deps
	$(call install_missing,gcovr)
	cmake -S . -B $(COV_BUILD) $(CMAKE_ARGS) -DTARN_OPENWRT_PREFIX=$(OPENWRT) -DTARN_COVERAGE=ON \
	  -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(COV_BUILD) -j$(JOBS)
	$(SUDO) python3 tools/mutate.py --coverage-build $(COV_BUILD) --jobs $(JOBS) coverage

# Sampled mutants of src/, each against the tests that run its line; not in CI.
# MUTANTS=N, MUTANT_SEED=S, MUTANT_BUDGET=SECONDS, MUTATION_JSON=FILE (docs/testing.md).
MUT_BUILD ?= build-mutation
mutation: coverage
	$(SUDO) env MUTANTS=$(MUTANTS) MUTANT_SEED=$(MUTANT_SEED) MUTANT_BUDGET=$(MUTANT_BUDGET) \
	  MUTATION_JSON=$(MUTATION_JSON) \
	  python3 tools/mutate.py --coverage-build $(COV_BUILD) --mutation-build $(MUT_BUILD) \
	  --openwrt $(OPENWRT) --jobs $(JOBS) run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(CROSS_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD) $(COV_BUILD) $(MUT_BUILD)
