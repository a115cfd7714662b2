# The two commands of the README: `make demo` and `make test`.
# Each installs what is missing, builds, and then runs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo usb-demo screenshots test traces package sanitize tsan bench fuzz reliability clean format

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	bash scripts/demo.sh build

# The shipped updater on the road a real GPS takes (libudev, hidraw, the mount
# table, UDisks2), with the simulated GPS played as USB devices by umockdev.
usb-demo: build
	build/sim/emulator/quorta-gps-emulator --gps=13:jp:12.40 --time-scale=0.05 -- \
	  build/apps/updater/quorta-updater --cli --yes --update </dev/null

screenshots: build
	bash scripts/screenshots.sh build

test: build
	ctest --preset default

# Records the golden device traces of tests/traces again, from the simulated
# GPS; scripts/diff-traces.sh shows what changed, without the times.
traces: build
	bash scripts/record-traces.sh build

package: build
	cmake --build --preset default --target package

sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

bench: deps
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	bash scripts/run-bench.sh build-bench

# The whole fault matrix (`make test` runs a sample of it); one line per case
# in build/fault-matrix.txt. Then the data-safety explorer over SEQUENCES
# random sequences of sessions (raise it for a longer run; SEED picks them).
SEQUENCES ?= 200
SEED ?= 1
reliability: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target test_reliability_full
	rm -f build/fault-matrix.txt
	QUORTA_FAULT_MATRIX_REPORT=$(CURDIR)/build/fault-matrix.txt build/tests/reliability/test_reliability_full --gtest_brief=1
	bash scripts/summarise-fault-matrix.sh build/fault-matrix.txt
	cmake --build --preset default -j $(JOBS) --target data_safety_explorer
	build/tests/reliability/data_safety_explorer --updater=build/apps/updater/quorta-updater \
	  --sequences=$(SEQUENCES) --seed=$(SEED) --jobs=$(JOBS)

# Every fuzzer for a bounded time (FUZZ_SECONDS each; by default long enough
# that the whole run lasts ten minutes). Needs clang: installs the extras.
FUZZ_SECONDS ?=
fuzz:
	bash scripts/install-deps.sh --extra
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	bash scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

format:
	find src apps sim assets tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-sanitize build-tsan build-bench build-fuzz
