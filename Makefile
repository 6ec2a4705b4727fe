# Thin front for CMake: make, make test, make demo, make install, make package.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all test demo install package clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: all
	./demo/run.sh $(BUILD)

# The i386 programs, manual pages and systemd units under PREFIX, below
# DESTDIR when given: make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local
install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package $(BUILD)/dircast_<version>_i386.deb (prefix /usr).
package: all
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)

# Benchmarks against an rsync daemon and a tar stream on loopback; prints the
# tables and writes bench/RESULTS.md. Options: make bench BENCH_ARGS=--help
.PHONY: bench
bench: all
	python3 bench/run_bench.py $(BUILD) $(BENCH_ARGS)

# libFuzzer targets (clang, in build-fuzz): make fuzz runs each for
# FUZZ_SECONDS (default 600), two at a time; make fuzz-ci each for a minute.
.PHONY: fuzz fuzz-ci
FUZZ_SECONDS ?= 600
fuzz:
	FUZZ_JOBS=2 fuzz/run.sh $(FUZZ_SECONDS)

fuzz-ci:
	fuzz/run.sh 60
