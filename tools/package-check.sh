#!/usr/bin/env bash
# Builds the Debian package from a configured build directory and tries it without
# installing anything: lists its contents, unpacks it into a temporary root, and serves
# the demo site from the unpacked program on a loopback port the system picks.
#
#   ./tools/package-check.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "$1" && pwd)

need=()
command -v dpkg-deb >/dev/null || need+=(dpkg)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velnor-package.XXXXXX")
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    exit 1
}
deb=$(ls "$work"/out/velnor_*.deb)
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
dpkg-deb --field "$deb" Package Version Architecture Depends

echo "== dpkg-deb -c"
dpkg-deb -c "$deb" | tee "$work/listing" | awk '{ print $1, $6, $7, $8 }'
for want in ./usr/lib/velnor/velnor ./usr/lib/velnor/dunmark.so ./usr/bin/velnor \
    ./etc/velnor/velnor.reg ./etc/logrotate.d/velnor ./usr/lib/systemd/system/velnor.service \
    ./usr/share/man/man8/velnor.8 ./usr/include/velnor/velnor.h; do
    awk -v want="$want" '$6 == want { found = 1 } END { exit !found }' "$work/listing" || {
        echo "missing from the package: $want" >&2
        exit 1
    }
done
dpkg-deb -e "$deb" "$work/control"
diff <(sort "$work/control/conffiles") <(printf '%s\n' /etc/logrotate.d/velnor /etc/velnor/velnor.reg) || {
    echo "conffiles differ" >&2
    exit 1
}

echo "== serving the demo site from the unpacked program"
unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked"
program=$unpacked/usr/lib/velnor/velnor
[ "$(readlink "$unpacked/usr/bin/velnor")" = ../lib/velnor/velnor ] || {
    echo "usr/bin/velnor is not a link to ../lib/velnor/velnor" >&2
    exit 1
}
cp -R "$root/examples/demo/www" "$work/www"
hive=$work/velnor.reg
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n'
    printf '"Port"=dword:00000000\r\n'
    printf '"DocRoot"="%s"\r\n' "$work/www"
    printf '"CgiRoot"="%s"\r\n' "$work/www/scripts"
    printf '"LogFile"="%s"\r\n' "$work/access.log"
    printf '"StartServers"=dword:00000004\r\n'
} >"$hive"
"$program" --registry "$hive" --bind 127.0.0.1 </dev/null >"$work/out.txt" 2>&1 &
server=$!
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^Port: \([0-9][0-9]*\).*/\1/p' "$work/out.txt" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "the unpacked server did not report a port:" >&2
    cat "$work/out.txt" >&2
    exit 1
fi
status=$(curl -s -o "$work/index.html" -w '%{http_code}' "http://127.0.0.1:$port/")
echo "GET / -> $status ($(stat -c %s "$work/index.html") bytes) on port $port"
[ "$status" = 200 ] || { echo "expected 200" >&2; exit 1; }
cmp -s "$work/index.html" "$work/www/index.html" || { echo "wrong page served" >&2; exit 1; }
kill "$server"
wait "$server" || { echo "the server did not stop in order" >&2; exit 1; }
server=
[ -s "$work/access.log" ] || { echo "no access log line" >&2; exit 1; }
echo "log: $(head -n 1 "$work/access.log")"
echo "package check passed"
