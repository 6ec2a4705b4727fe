# Thin front for CMake: make, make test, make demo, make install, make package.
# make demo and make test first install what they need and is missing
# (tools/install-deps).
BUILD ?= build
DEMO_BUILD ?= build-demo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all test demo install package clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

test:
	tools/install-deps test
	$(MAKE) all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The demo needs only the two i386 programs: its own build tree without the
# tests (and so without GoogleTest), and only those two targets built.
demo:
	tools/install-deps demo
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRCAST_TESTS=OFF >/dev/null
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target dircast-serve-i386 dircast-mirror-i386
	./demo/run.sh $(DEMO_BUILD)

# The i386 programs, manual pages and systemd units under PREFIX, below
# DESTDIR when given: make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local
install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package $(BUILD)/dircast_<version>_i386.deb (prefix /usr).
package: all
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(DEMO_BUILD)

# Benchmarks against an rsync daemon and a tar stream on loopback; prints the
# tables and writes bench/RESULTS.md. Options: make bench BENCH_ARGS=--help
.PHONY: bench
bench:
	tools/install-deps bench
	$(MAKE) all
	python3 bench/run_bench.py $(BUILD) $(BENCH_ARGS)

# libFuzzer targets (clang, in build-fuzz): make fuzz runs each for
# FUZZ_SECONDS (default 600), two at a time; make fuzz-ci each for a minute
# from a fixed seed, so that CI explores the same inputs on every run and
# new findings come from make fuzz, not from a landing that happened to roll
# them.
.PHONY: fuzz fuzz-ci
FUZZ_SECONDS ?= 600
fuzz:
	tools/install-deps fuzz
	FUZZ_JOBS=2 fuzz/run.sh $(FUZZ_SECONDS)

fuzz-ci:
	tools/install-deps fuzz
	FUZZ_SEED=1 fuzz/run.sh 60
