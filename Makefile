# The two set-up commands of the README, and the developer targets around them.
# Each installs what is missing first (scripts/install-deps.sh).

JOBS ?= 2
FUZZ_SECONDS ?= 300
CMAKE_FLAGS ?=

.PHONY: deps demo check build bench fuzz fuzz-smoke format clean

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B build/plain -DWERROR=ON $(CMAKE_FLAGS) > /dev/null
	cmake --build build/plain -j$(JOBS)

demo: build
	@./scripts/demo.sh build/plain

# Every test, three times: a plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and the concurrent tests under ThreadSanitizer.
check: build
	ctest --test-dir build/plain --output-on-failure -j$(JOBS)
	cmake -S . -B build/asan -DSANITIZE=address $(CMAKE_FLAGS) > /dev/null
	cmake --build build/asan -j$(JOBS)
	ctest --test-dir build/asan --output-on-failure -j$(JOBS)
	cmake -S . -B build/tsan -DSANITIZE=thread $(CMAKE_FLAGS) > /dev/null
	cmake --build build/tsan -j$(JOBS)
	ctest --test-dir build/tsan --output-on-failure -j$(JOBS) -L concurrent

bench: deps
	@./scripts/install-deps.sh --bench
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) > /dev/null
	cmake --build build/release -j$(JOBS)
	@./scripts/bench.sh build/release

# Runs every fuzz target for FUZZ_SECONDS each; findings land in build/fuzz/findings.
fuzz: deps
	CXX=clang++-14 cmake -S . -B build/fuzz -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build build/fuzz -j$(JOBS)
	@./scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
