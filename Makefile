# The two commands of the README: `make demo` and `make check`. Each first makes sure the machine
# has what the build needs (installing Debian packages when run as root), then builds and runs.

BUILD_PACKAGES := cmake ninja-build g++ libgtest-dev
BENCH_PACKAGES := libbenchmark-dev libsqlite3-dev libfmt-dev libinih-dev libboost-dev libisal-dev libmimalloc-dev libjemalloc-dev pkg-config
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all demo check asan bench debug deps deps-bench clean format

all: build-release

deps:
	@./tools/ensure-packages $(BUILD_PACKAGES)

deps-bench: deps
	@./tools/ensure-packages $(BENCH_PACKAGES)

build-release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

demo: build-release
	./build/release/tools/qzo/qzo demo

check: build-release
	ctest --preset release

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

debug: deps
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug

bench: deps-bench
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	@for b in build/bench/bench/bench_*; do \
	    [ -x "$$b" ] || continue; \
	    echo "== $$b"; "$$b" || exit 1; \
	done

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
