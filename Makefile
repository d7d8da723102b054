# Thin wrapper over CMake and CTest. See README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
CMAKE_ARGS ?= -DTARN_WERROR=ON

DEBS = build-essential cmake pkg-config libevent-dev libcjson-dev libudt-dev \
       libgtest-dev coturn iptables iproute2 python3 util-linux
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build asan test test-asan demo bench clean fuzz test-tsan bench-lossy

all: build

# Installs only what is missing; apt-get update runs only when something is.
deps:
	@missing=""; for p in $(DEBS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

asan:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j$(JOBS)

test: deps build
	cd $(BUILD) && $(SUDO) ctest -j$(JOBS) --output-on-failure

# Every test again with AddressSanitizer and UBSan in the daemon and the tools.
test-asan: deps asan
	cd $(ASAN_BUILD) && $(SUDO) ctest -j$(JOBS) --output-on-failure

demo: deps build
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH python3 tools/demo/demo.py

# Relay throughput through tarn against raw UDT, in the lab; prints a table.
bench: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTARN_BENCH=ON
	cmake --build $(BUILD) -j$(JOBS)
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH python3 bench/relay.py

# 20 roads with 10 % loss each way (LOSSY_ROADS, LOSSY_PCT); prints the rate.
bench-lossy: deps build
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH python3 bench/lossy_roads.py

# libFuzzer targets (clang) under ASan+UBSan, FUZZ_SECONDS each, in a sandbox.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	@$(MAKE) --no-print-directory deps DEBS="clang"
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTARN_FUZZ=ON -DTARN_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	$(SUDO) tests/sandbox fuzz/run $(FUZZ_BUILD)/bin $(FUZZ_SECONDS)

# The unit layer, which runs the NAT-type worker and probe threads, under
# ThreadSanitizer. setarch -R: TSan cannot map its shadow under full ASLR.
TSAN_BUILD ?= build-tsan
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_ARGS) -DTARN_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && $(SUDO) env TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp" \
	  setarch -R ctest -L unit -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
