#!/usr/bin/env bash
# Builds VELNOR (optimized, as the tests build it) and serves the demo site of
# examples/demo on an unprivileged port until Ctrl-C. Everything it writes goes below
# build-demo/: the source tree stays as it was, and every run starts again from a fresh
# copy of the demo tree.
#
#   ./tools/demo.sh [--port N] [--bind ADDRESS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
port=8080
bind=127.0.0.1
jobs=${JOBS:-2}

usage() {
    echo "usage: $0 [--port N] [--bind ADDRESS]"
    echo "  --port N          TCP port, 1-65534 (default 8080)"
    echo "  --bind ADDRESS    local IPv4 address to listen on (default 127.0.0.1;"
    echo "                    0.0.0.0 for every address)"
}

while [ $# -gt 0 ]; do
    case $1 in
    --port) [ $# -ge 2 ] || { usage >&2; exit 2; }; port=$2; shift 2 ;;
    --port=*) port=${1#--port=}; shift ;;
    --bind) [ $# -ge 2 ] || { usage >&2; exit 2; }; bind=$2; shift 2 ;;
    --bind=*) bind=${1#--bind=}; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "$0: unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
if ! [[ $port =~ ^[0-9]{1,5}$ ]] || [ "$port" -lt 1 ] || [ "$port" -gt 65534 ]; then
    echo "$0: the port must be a number from 1 to 65534, not '$port'" >&2
    exit 2
fi

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v c++ >/dev/null || command -v g++ >/dev/null || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
    echo "$0: please install ${missing[*]} first (Debian/Ubuntu: apt-get install cmake g++)" >&2
    exit 1
fi

out=$root/build-demo
echo "== building VELNOR (optimized) in build-demo/build"
# The demo needs the server, its log plug-in and the CGI example; the tests are left out
# so that the build does not need GoogleTest.
cmake -S "$root" -B "$out/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_TESTS=OFF >/dev/null
cmake --build "$out/build" -j"$jobs" --target velnor dunmark hello_cgi

echo "== preparing the demo site in build-demo/"
# The program directory holds what the server reads beside itself: the plug-in, the
# error-document table and the hive.
rm -rf "$out/bin" "$out/www"
mkdir -p "$out/bin"
cp "$out/build/velnor" "$out/build/dunmark.so" "$out/bin/"
cp "$root/examples/demo/ErrorDocument.txt" "$out/bin/"
cp -R "$root/examples/demo/www" "$out/www"
cp "$out/build/examples/cgi/hello.exe" "$out/www/scripts/hello.exe"

# A hive string escapes backslashes and double quotes.
hive_text() { printf '"%s"' "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')"; }
hive=$out/bin/velnor.reg
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n'
    printf '"Port"=dword:%08x\r\n' "$port"
    printf '"DocRoot"=%s\r\n' "$(hive_text "$out/www")"
    printf '"CgiRoot"=%s\r\n' "$(hive_text "$out/www/scripts")"
    printf '"LogFile"=%s\r\n' "$(hive_text "$out/access_log.txt")"
    printf '"StartServers"=dword:%08x\r\n' 8
} >"$hive"

url_host=$bind
[ "$bind" = 0.0.0.0 ] && url_host=127.0.0.1
cat <<EOF
== serving build-demo/www on http://$url_host:$port/ (Ctrl-C stops it)
   http://$url_host:$port/                         the start page
   http://$url_host:$port/private/                 protected: user demo, password demo
   http://$url_host:$port/no/such/page.html        a missing page: the error document
   http://$url_host:$port/scripts/hello.exe?x=1    the CGI example
   access log: build-demo/access_log.txt    settings hive: build-demo/bin/velnor.reg
EOF
exec "$out/bin/velnor" --registry "$hive" --bind "$bind"
