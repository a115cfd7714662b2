# The two commands of the README: `make demo` and `make test`.
# Each installs what is missing, builds, and then runs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo screenshots test package sanitize tsan bench clean format

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	bash scripts/demo.sh build

screenshots: build
	bash scripts/screenshots.sh build

test: build
	ctest --preset default

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

format:
	find src apps sim assets tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-sanitize build-tsan build-bench
