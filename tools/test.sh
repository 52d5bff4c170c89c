#!/usr/bin/env bash
# Builds VELNOR and runs every test: the format check, the normal build with all tests,
# the robustness run and an ApacheBench check, the tests again under AddressSanitizer +
# UndefinedBehaviorSanitizer and ThreadSanitizer, the 32-bit ARM plug-in, a bounded
# fuzzing run, an optimized build with clang, the Windows cross build with its tests under
# wine, and the Debian package tried unpacked.
# Every build treats compiler warnings as errors.
# Installs what a bare machine lacks (as root, from Debian's packages).
#
#   ./tools/test.sh            everything (the CI run)
#   ./tools/test.sh --quick    one build (build/) and its tests, for everyday work
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
quick=0
case ${1:-} in
"") ;;
--quick) quick=1 ;;
-h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
*) echo "$0: unknown option: $1 (try --quick)" >&2; exit 2 ;;
esac

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang-format >/dev/null || need+=(clang-format)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The helper scripts configure build directories of their own; they take this default.
export VELNOR_WERROR=ON

build() { # dir, extra cmake args...
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}
stage_start=$SECONDS
stage_time() { # what
    echo "-- $1 took $(((SECONDS - stage_start) / 60)) min $(((SECONDS - stage_start) % 60)) s"
    stage_start=$SECONDS
}

if [ $quick = 1 ]; then
    echo "== build and test (quick)"
    build "$root/build"
    (cd "$root/build" && ctest -j"$jobs" --output-on-failure --timeout 300)
    exit 0
fi

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

echo "== optimized build with clang (build only)"
command -v clang++ >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
}
stage_start=$SECONDS
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-clang" -DCMAKE_BUILD_TYPE=Release \
    -DVELNOR_WERROR=ON >/dev/null
cmake --build "$root/build-clang" -j"$jobs"
stage_time "the clang build"

echo "== Windows build: unit tests and an end-to-end subset under wine"
./tools/windows-check.sh
stage_time "the Windows check"

echo "== Debian package, unpacked and tried"
./tools/package-check.sh "$root/build"
stage_time "the package check"
