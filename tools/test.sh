#!/usr/bin/env bash
# Builds VELNOR and runs every test: the format check, the normal build with all tests,
# the robustness run and an ApacheBench check, the tests again under AddressSanitizer +
# UndefinedBehaviorSanitizer and ThreadSanitizer, the 32-bit ARM plug-in, and a bounded
# fuzzing run.
# Installs what a bare machine lacks (as root, from Debian's packages).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang-format >/dev/null || need+=(clang-format)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

build() { # dir, extra cmake args...
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

echo "== format check"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror

echo "== build and test"
build "$root/build"
(cd "$root/build" && ctest -j"$jobs" --output-on-failure --timeout 300)

echo "== robustness run"
./tools/robustness.sh "$root/build"

echo "== ApacheBench with and without keep-alive"
./tools/ab-check.sh "$root/build"

echo "== unit and end-to-end tests under AddressSanitizer + UndefinedBehaviorSanitizer"
build "$root/build-asan" -DVELNOR_SANITIZE=address
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$root/build-asan" && ctest -j"$jobs" --output-on-failure --timeout 300)

echo "== end-to-end and server tests under ThreadSanitizer"
build "$root/build-tsan" -DVELNOR_SANITIZE=thread
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd "$root/build-tsan" && ctest -j"$jobs" -L e2e --output-on-failure --timeout 300)
(cd "$root/build-tsan" && ctest -j"$jobs" -R '^Server' --output-on-failure --timeout 300)

echo "== 32-bit ARM plug-in under qemu-arm"
./tools/arm-check.sh

echo "== fuzzing the parsers (libFuzzer, ${FUZZ_SECONDS:-25}s per target)"
./tools/fuzz.sh
