#!/usr/bin/env bash
# The Windows build, checked from this system: cross-compiles everything with mingw-w64
# (build-win/, optimized without debug information, warnings are errors), runs the unit
# tests under wine through ctest and the end-to-end subset of tests/wine against
# `wine velnor.exe`. Installs what a bare machine lacks (as root, from Debian's packages).
# Each run uses a fresh wine prefix of its own, removed at the end. One summary line per
# stage; non-zero exit on any failure.
#
#   ./tools/windows-check.sh
#   VELNOR_WINE_SETTINGS=file ./tools/windows-check.sh   settings from a file, not the registry
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
build=$root/build-win
failed=0

stage_start=$SECONDS
stage_done() { # what, status
    local took=$((SECONDS - stage_start)) result=passed
    [ "$2" = 0 ] || { result="FAILED ($2)"; failed=1; }
    echo "-- windows: $1 $result, took $((took / 60)) min $((took % 60)) s"
    stage_start=$SECONDS
}

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    need+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
command -v wine >/dev/null || need+=(wine wine64)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
stage_done "install check" 0

echo "== Windows cross build (build-win)"
status=0
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DVELNOR_WERROR=ON >/dev/null &&
    cmake --build "$build" -j"$jobs" || status=$?
stage_done "cross build" $status
[ $status = 0 ] || exit 1

# The end-to-end driver is a program of this system.
mkdir -p "$build/driver"
${CXX_HOST:-g++} -std=c++20 -O1 -Wall -Wextra -Wshadow -Werror -I"$root" -pthread \
    "$root"/tests/wine/WineSubset.cpp "$root"/tests/wine/WineServer.cpp \
    "$root"/tests/e2e/RawClient.cpp -o "$build/driver/wine_subset"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/velnor-wineprefix-XXXXXX)
export WINEPREFIX
cleanup() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== wine prefix ($WINEPREFIX)"
status=0
wineboot -i </dev/null >/dev/null 2>&1 || status=$?
# The server and a first program start detached: wine's helpers would otherwise inherit
# ctest's output pipe and every test would wait for them.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine 'C:\windows\system32\cmd.exe' /c exit </dev/null >/dev/null 2>&1 || status=$?
stage_done "wine prefix" $status

echo "== unit tests under wine"
status=0
(cd "$build" && ctest -j"$jobs" --output-on-failure --timeout 600) || status=$?
stage_done "unit tests" $status

echo "== end-to-end subset under wine"
status=0
hive=()
[ "${VELNOR_WINE_SETTINGS:-registry}" = file ] && hive=(--hive-file)
"$build/driver/wine_subset" "$build" "${hive[@]}" || status=$?
stage_done "end-to-end subset" $status

exit $failed
