#!/usr/bin/env bash
# Builds the access-log plug-in for 32-bit ARM Linux (orsilet.so) from the very sources of
# the x86-64 build (logplugin/sources.txt), then runs a driver under qemu-arm that hands it
# header tables in their 32-bit memory form and checks the log files it writes.
# Installs the cross compiler and qemu-arm when they are missing (as root, from Debian).
# Output goes to build-arm/ (or $ARM_OUT). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${ARM_OUT:-$root/build-arm}
cxx=arm-linux-gnueabihf-g++
sysroot=/usr/arm-linux-gnueabihf

step() { echo "-- $*"; }
fail() {
    echo "arm-check: $*" >&2
    exit 1
}

need=()
command -v "$cxx" >/dev/null || need+=(g++-arm-linux-gnueabihf)
command -v qemu-arm >/dev/null || need+=(qemu-user)
if [ ${#need[@]} -gt 0 ]; then
    step "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
command -v "$cxx" >/dev/null || fail "$cxx is not available"
command -v qemu-arm >/dev/null || fail "qemu-arm is not available"

# One path or glob a line; '#' starts a comment line.
list=logplugin/sources.txt
[ -f "$list" ] || fail "$list is missing"
sources=()
shopt -s nullglob
while IFS= read -r line || [ -n "$line" ]; do
    case $line in '' | '#'*) continue ;; esac
    line=${line//@os@/posix}
    matched=($line)
    [ ${#matched[@]} -gt 0 ] || fail "$list: nothing matches $line"
    sources+=("${matched[@]}")
done <"$list"
shopt -u nullglob
[ -f logplugin/exports.map ] || fail "logplugin/exports.map is missing"

# 64-bit file offsets and times: a log past 2 GiB and dates past 2038 stay right.
common=(-std=c++20 -Wall -Wextra -Wshadow -Werror -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64
    -I"$root" -I"$root/include")

build() { # output dir, extra compiler flags...
    local dir=$1
    shift
    mkdir -p "$dir"
    step "building $dir/orsilet.so for 32-bit ARM from ${#sources[@]} sources $*"
    "$cxx" "${common[@]}" "$@" -fPIC -shared -fvisibility=hidden \
        -Wl,--version-script="$root/logplugin/exports.map" -Wl,-z,defs \
        -o "$dir/orsilet.so" "${sources[@]}"
    step "building the driver $dir/LogDriver"
    "$cxx" "${common[@]}" "$@" -o "$dir/LogDriver" tests/arm/LogDriver.cpp \
        content/ByteBuffer.cpp content/TextTable.cpp content/Strings.cpp \
        platform/posix/SharedLibrary.cpp platform/posix/FileSystem.cpp platform/Utf.cpp \
        platform/posix/UniqueHandle.cpp platform/posix/TimeConversion.cpp -ldl
}

run() { # output dir, TZ rule, zone text the records must show
    step "running $1/LogDriver under qemu-arm with TZ=$2 (zone $3)"
    TZ=$2 qemu-arm -L "$sysroot" "$1/LogDriver" "$1/orsilet.so" "$3"
}

status=0
build "$out" -O2

step "checking its form and exports"
header=$(arm-linux-gnueabihf-readelf -h "$out/orsilet.so")
grep -q 'Class:.*ELF32' <<<"$header" || fail "orsilet.so is not a 32-bit ELF file"
grep -q 'Machine:.*ARM' <<<"$header" || fail "orsilet.so is not built for ARM"
exported=$(arm-linux-gnueabihf-nm -D --defined-only "$out/orsilet.so" | awk '$2 != "A" {print $3}')
[ "$exported" = fnVelnorLog ] || fail "orsilet.so must export fnVelnorLog alone; it exports: $exported"

# The 32-bit code's bounds once more under AddressSanitizer and UndefinedBehaviorSanitizer;
# the leak check cannot run under qemu-user.
build "$out/asan" -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all
ASAN_OPTIONS=detect_leaks=0 run "$out/asan" 'XST-9' '+0900' || status=1

# Two fixed zones (POSIX TZ rules, no zone files needed), east and west of UTC with
# minutes, so the offset text is checked in both signs.
run "$out" 'YST+5:30' '-0530' || status=1
run "$out" 'XST-9' '+0900' || status=1

# The driver's own "N passed, N failed" stays the last line of a good run.
[ $status -eq 0 ] || fail "the ARM plug-in failed its checks"
