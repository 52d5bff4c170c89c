#!/usr/bin/env bash
# Fuzzes the server's parsers with libFuzzer: builds the targets of tests/fuzz with clang
# (AddressSanitizer and UndefinedBehaviorSanitizer included) in build-fuzz-clang/ (or
# $FUZZ_OUT), then runs each for FUZZ_SECONDS (default 25) on a copy of its seed corpus,
# so the repository's corpus never grows during a run. A crash leaves its input in
# $FUZZ_OUT/findings/<target>/; keep it under tests/fuzz/regressions/<target>/ once fixed.
# Installs clang and its fuzzer runtime when missing (as root, from Debian).
# Exits non-zero on any crash. FUZZ_TARGETS="a b" runs only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${FUZZ_OUT:-$root/build-fuzz-clang}
seconds=${FUZZ_SECONDS:-25}
jobs=${JOBS:-2}

step() { echo "-- $*"; }
fail() {
    echo "fuzz: $*" >&2
    exit 1
}

runtime() { # true when the fuzzer runtime of the clang in use is installed
    local dir
    dir=$(clang --print-runtime-dir 2>/dev/null) || return 1
    compgen -G "$dir/libclang_rt.fuzzer*.a" >/dev/null
}

install() {
    step "installing: $*"
    [ -n "${updated:-}" ] || apt-get update -qq
    updated=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
[ ${#need[@]} -eq 0 ] || install "${need[@]}"
if command -v clang >/dev/null && ! runtime; then
    # The runtime is packaged per clang major version: libclang-rt-N-dev, or within
    # libclang-common-N-dev before clang 14.
    major=$(clang -dumpversion | cut -d. -f1)
    for package in "libclang-rt-$major-dev" "libclang-common-$major-dev"; do
        if apt-cache show "$package" >/dev/null 2>&1; then
            install "$package"
            break
        fi
    done
fi
command -v clang++ >/dev/null || fail "clang++ is not available"
runtime || fail "clang's fuzzer runtime (libclang_rt.fuzzer) is not installed"

step "configuring $out with clang"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DVELNOR_FUZZ=ON >/dev/null
step "building the fuzz targets"
cmake --build "$out" -j"$jobs" --target fuzz_targets >/dev/null

targets=${FUZZ_TARGETS:-$(ls tests/fuzz/corpus)}
status=0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in $targets; do
    binary=$out/tests/fuzz/fuzz_$target
    [ -x "$binary" ] || fail "no fuzz target $target"
    work=$out/corpus/$target
    findings=$out/findings/$target
    rm -rf "$work"
    mkdir -p "$work" "$findings"
    cp tests/fuzz/corpus/"$target"/* "$work"/
    if [ -d tests/fuzz/regressions/"$target" ]; then
        cp tests/fuzz/regressions/"$target"/* "$work"/ 2>/dev/null || true
    fi
    step "fuzzing $target for ${seconds}s"
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -artifact_prefix="$findings/" -print_final_stats=0 "$work" >"$out/$target.log" 2>&1; then
        echo "fuzz: $target crashed; input kept in $findings/" >&2
        grep -E 'ERROR|property broken|Test unit written|SUMMARY' "$out/$target.log" >&2 || true
        status=1
    else
        tail -1 "$out/$target.log" | sed 's/^/   /'
    fi
done
[ $status -eq 0 ] || fail "a fuzz target found a crash"
step "no crash in" $targets
