# Thin wrapper over CMake and CTest. See README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
CMAKE_ARGS ?= -DTARN_WERROR=ON

DEBS = build-essential cmake pkg-config libevent-dev libcjson-dev libudt-dev \
       libgtest-dev coturn iptables iproute2 python3 util-linux
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build asan test test-asan demo bench clean

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

# tarn in the lab against raw UDT and a minimal server; prints one table
# (docs/performance.md). BENCH_QUICK=1: a short run; BENCH_JSON=FILE: JSON too.
bench: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTARN_BENCH=ON
	cmake --build $(BUILD) -j$(JOBS)
	$(SUDO) tests/sandbox env TARN_BIN=$(CURDIR)/$(BUILD)/bin TARN_SRC=$(CURDIR) \
	  PATH=$(CURDIR)/$(BUILD)/bin:$$PATH BENCH_QUICK=$(BENCH_QUICK) BENCH_JSON=$(BENCH_JSON) \
	  python3 bench/bench.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
