#!/usr/bin/env bash
# Requests per second of a small compiled CGI program (examples/cgi, hello.exe) run by
# velnor and by lighttpd's mod_cgi, the same binary for both, on loopback, measured by wrk
# in the same run; prints both figures and their ratio.
#
#   bench/cgi.sh                  build velnor and the examples, then measure
#   VELNOR_BIN=path bench/cgi.sh  use an existing binary; hello.exe is looked for in the
#                                 build tree around it (or name it: HELLO_CGI=path)
#   BENCH_DURATION=30s  BENCH_THREADS=2  BENCH_CONNECTIONS=8   wrk's -d, -t and -c
#
# Both servers keep their access logs. velnor answers every CGI request with "Connection:
# Close" and no length, so each of its responses ends with the connection and wrk opens a
# new one; lighttpd keeps its connections. That difference is part of what is measured.
# velnor gets twice as many workers as wrk has connections: a client that reconnects the
# moment its answer ends can find the worker that served it not yet idle again, and with
# no idle worker the listener answers "503 Server busy" (with 8 workers for 8 connections
# most answers were 503s). VELNOR_WORKERS=N sets another number.
#
# Missing tools (wrk, lighttpd) are installed from Debian's packages. Everything the run
# makes lives in one temporary directory that is removed at the end, and every process it
# starts is stopped.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
    echo "usage: $0" >&2
    exit 2
fi
# shellcheck source=bench/common.sh
. "$here/common.sh"

install_tools wrk lighttpd
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

velnor_binary
if [ -n "${HELLO_CGI:-}" ]; then
    hello=$HELLO_CGI
elif [ -n "${VELNOR_BIN:-}" ]; then
    hello=$(find "$(dirname "$binary")" -name hello.exe -type f -print -quit)
else
    hello=$(find "$work/build" -name hello.exe -type f -print -quit)
fi
if [ -z "$hello" ] || [ ! -x "$hello" ]; then
    echo "no hello.exe built (examples/cgi); name one with HELLO_CGI=path" >&2
    exit 1
fi

# --- document tree -------------------------------------------------------------------
mkdir -p "$work/www/scripts" "$work/lighttpd"
cp "$hello" "$work/www/scripts/hello.exe"
chmod 755 "$work/www" "$work/www/scripts" "$work/www/scripts/hello.exe"
target=scripts/hello.exe

# --- servers -------------------------------------------------------------------------
workers=${VELNOR_WORKERS:-$((2 * connections))}
if [ -n "$plugin" ] && [ -f "$plugin" ]; then
    velnor_log="access log on"
    start_velnor velnor on "$workers"
else
    velnor_log="no log plug-in built: access log off"
    start_velnor velnor off "$workers"
fi

lighttpd_port=$(free_port)
sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$lighttpd_port|g" "$here/lighttpd-cgi.conf.in" \
    >"$work/lighttpd/lighttpd.conf"
# lighttpd opens its logs after giving up root.
chown www-data:www-data "$work/lighttpd"
"$lighttpd_bin" -D -f "$work/lighttpd/lighttpd.conf" &
pids+=($!)
wait_for_port "$lighttpd_port"

# One request to each before measuring: both must run the program, not fail.
first_answer() { # port
    local answer
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET /%s?check=1 HTTP/1.0\r\n\r\n' "$target" >&3
    answer=$(timeout 5 cat <&3 | head -c 400 | tr -d '\r' | head -1)
    exec 3<&-
    echo "$answer"
}
for server in velnor:"$velnor_port" lighttpd:"$lighttpd_port"; do
    status=$(first_answer "${server#*:}")
    if [[ "$status" != "HTTP/1."?" 200 "* ]]; then
        echo "!! ${server%%:*} did not run the program: $status" >&2
        exit 1
    fi
done

# --- measurements --------------------------------------------------------------------
# A response that ends with its connection is complete at the close, but wrk counts that
# close as a read error as well; every other error still counts.
wrk_errors='Socket errors: connect [1-9]|write [1-9]|timeout [1-9]|Non-2xx'
echo "== wrk -t$threads -c$connections -d$duration on loopback ($(nproc) cores), GET /$target"
echo "   velnor: StartServers $workers, KeepAlive 1, $velnor_log"
echo "   lighttpd $("$lighttpd_bin" -v 2>&1 | head -1 | sed 's/^lighttpd\/\([^ ]*\).*/\1/'):" \
    "mod_cgi, cgi.assign \".exe\" => \"\", access log on"
measure velnor "$velnor_port" "$target"
measure lighttpd "$lighttpd_port" "$target"

printf '\n%-9s %12s\n' server "requests/s"
for server in velnor lighttpd; do
    printf '%-9s %12s\n' "$server" "${rps[$server/$target]:--}"
done
printf '\nvelnor/lighttpd: %s\n' "$(ratio "${rps[velnor/$target]:-0}" "${rps[lighttpd/$target]:-0}")"

if [ "$failed" -ne 0 ]; then
    echo "!! some runs reported errors (see above)" >&2
    exit 1
fi
