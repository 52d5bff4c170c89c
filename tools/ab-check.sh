#!/usr/bin/env bash
# ApacheBench against the built server on a temporary tree: 200 requests, 4 at a time,
# once as HTTP/1.0 clients that wait for the server to close (no -k) and once with
# keep-alive (-k). Fails when a run does not complete all 200 without error within a few
# seconds (a connection kept open that the client expects closed stalls the first run),
# when -k gets no persistent connections, or when the access log misses a record.
# Installs apache2-utils when ab is missing (as root, from Debian).
#
#   tools/ab-check.sh [BUILD_DIR]     default build/; velnor and dunmark.so are built there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(realpath -m "${1:-$root/build}")
limit=${AB_SECONDS:-10}
jobs=${JOBS:-2}

fail() {
    echo "ab-check: $*" >&2
    exit 1
}

if ! command -v ab >/dev/null; then
    echo "-- installing apache2-utils"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq apache2-utils >/dev/null
fi
command -v ab >/dev/null || fail "ab is not available"

if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j"$jobs" --target velnor dunmark >/dev/null

tmp=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/bin" "$tmp/www"
cp "$dir/velnor" "$dir/dunmark.so" "$tmp/bin/"
printf '<html><body>ab</body></html>\n' >"$tmp/www/index.html"
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n'
    printf '"Port"=dword:00000000\r\n'
    printf '"DocRoot"="%s"\r\n' "$tmp/www"
    printf '"LogFile"="%s"\r\n' "$tmp/access_log.txt"
    printf '"LogSize"=dword:%08x\r\n' $((64 * 1024 * 1024))
    printf '"StartServers"=dword:%08x\r\n' 8
} >"$tmp/bin/velnor.reg"

"$tmp/bin/velnor" --registry "$tmp/bin/velnor.reg" --bind 127.0.0.1 >"$tmp/output" 2>&1 &
pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^Port: \([1-9][0-9]*\).*/\1/p' "$tmp/output" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || fail "the server did not start: $(cat "$tmp/output")"
url=http://127.0.0.1:$port/index.html

field() { # report, field name
    sed -n "s/^$2: *\([0-9]*\).*/\1/p" "$1"
}

run() { # name, ab options...
    local name=$1
    shift
    local report=$tmp/ab-$name.txt
    echo "-- ab -n 200 -c 4 ${*:+$* }$url"
    if ! timeout "$limit" ab -q -n 200 -c 4 "$@" "$url" >"$report" 2>&1; then
        cat "$report" >&2
        fail "$name: ab did not finish within ${limit}s"
    fi
    [ "$(field "$report" 'Complete requests')" = 200 ] || fail "$name: not all 200 completed"
    [ "$(field "$report" 'Failed requests')" = 0 ] || fail "$name: failed requests"
    if grep -q '^Non-2xx responses' "$report"; then
        fail "$name: $(grep '^Non-2xx responses' "$report")"
    fi
    grep '^Requests per second' "$report" || true
}

run close
run keep-alive -k
kept=$(field "$tmp/ab-keep-alive.txt" 'Keep-Alive requests')
[ "${kept:-0}" -gt 0 ] || fail "keep-alive: no request was answered on a kept connection"

kill -TERM "$pid"
wait "$pid" || fail "the server did not stop cleanly"
pid=
records=$(wc -l <"$tmp/access_log.txt")
[ "$records" -eq 400 ] || fail "the access log holds $records records, not 400"
echo "ab-check: both runs complete, $kept kept-alive requests, 400 records logged"
