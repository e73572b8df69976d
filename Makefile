# The front door: `make demo` and `make test` on a fresh machine.

BUILD      ?= build
SAN_BUILD  ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_TIME  ?= 60
PREFIX     ?= /usr/local
# `make install` builds an optimised library without debug information in its
# own build directory; `make install INSTALL_TYPE=RelWithDebInfo` keeps the
# debug information (and the symbols) for debugging an installed orvane.
INSTALL_TYPE  ?= Release
INSTALL_BUILD ?= build-install-$(INSTALL_TYPE)

# Debian packages the build, tests, benchmarks and fuzzers need.
PACKAGES = g++ cmake ninja-build pkg-config make \
           libgtest-dev libgmock-dev libbenchmark-dev \
           libavformat-dev libavcodec-dev libswscale-dev libavutil-dev \
           libcli11-dev nlohmann-json3-dev libboost-dev zlib1g-dev \
           clang libclang-rt-14-dev clang-format \
           python3 python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest \
           chromium python3-websocket python3-dask python3-distributed python3-pandas \
           libhdf5-dev python3-h5py

CMAKE = cmake -G Ninja -Wno-dev

.PHONY: all deps configure build demo test sanitize tsan bench fuzz format install clean

all: build

# Installs only what is missing; one dpkg query, so a no-op costs next to
# nothing and every target that builds starts with it.
deps:
	@installed=$$(dpkg-query -W -f='$${Package} $${db:Status-Abbrev}\n' $(PACKAGES) 2>/dev/null | \
	  awk '$$2 == "ii" {print $$1}'); missing=""; \
	for p in $(PACKAGES); do \
	  echo "$$installed" | grep -qx "$$p" || missing="$$missing $$p"; done; \
	[ -z "$$missing" ] && exit 0; \
	echo "deps: installing$$missing"; \
	SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	$$SUDO apt-get update -q && \
	DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends $$missing

$(BUILD)/build.ninja: | deps
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_BENCH=ON

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only the library and the demo: the tests and benchmarks wait for `make test`.
demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target orvane-demo
	./$(BUILD)/apps/orvane-demo $(BUILD)/orvane-demo.raw

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sanitize: deps
	$(CMAKE) -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=address,undefined
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

tsan: deps
	$(CMAKE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

bench: build
	ORVANE_LOG_LEVEL=3 ./$(BUILD)/bench/orvane_bench --benchmark_color=false
	PYTHONPATH=$(BUILD)/python ORVANE_CLI=$(abspath $(BUILD))/apps/orvane /usr/bin/python3 tests/view/bench_view.py
	PYTHONPATH=$(BUILD)/python ORVANE_LOG_LEVEL=4 /usr/bin/python3 -m orvane.bench --events 20000000 --rounds 2

fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVANE_BUILD_FUZZ=ON -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_APPS=OFF \
	  -DORVANE_SANITIZE=address,undefined
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@for target in $(FUZZ_BUILD)/fuzz/fuzz_*; do \
	  name=$$(basename $$target); mkdir -p fuzz-corpus/$$name; \
	  echo "fuzz: $$name for $(FUZZ_TIME) s"; \
	  $$target -max_total_time=$(FUZZ_TIME) -timeout=10 -rss_limit_mb=4096 \
	    fuzz-corpus/$$name fuzz/seeds/$$name || exit 1; done

format:
	git ls-files --cached --others --exclude-standard '*.h' '*.cpp' | xargs -r clang-format -i

# Installs liborvane, its headers, the CMake package, orvane.pc and the
# programs apps/ marks for installation.
install:
	$(CMAKE) -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=$(INSTALL_TYPE) \
	  -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCH=OFF
	cmake --build $(INSTALL_BUILD) -j $(JOBS)
	cmake --install $(INSTALL_BUILD) --prefix $(PREFIX) $(if $(filter Release,$(INSTALL_TYPE)),--strip)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-install-*
