#!/usr/bin/env bash
# Throughput of velnor next to nginx and lighttpd on loopback: one small and one large
# static file, each server configured as its users would for the job, measured by wrk.
#
#   bench/run.sh                 build velnor (the project's default build type, as the
#                                README builds it) and run every measurement
#   VELNOR_BIN=path bench/run.sh use an existing binary instead of building one
#   BENCH_DURATION=30s  BENCH_THREADS=2  BENCH_CONNECTIONS=8   wrk's -d, -t and -c
#   bench/run.sh --log-cost      velnor alone on the 1 KiB file, once with the access log
#                                on (dunmark.so beside it) and once off (no plug-in), and
#                                the ratio of the two
#
# Missing tools (wrk, nginx, lighttpd) are installed from Debian's packages. Everything
# the run makes lives in one temporary directory that is removed at the end, and every
# process it starts is stopped.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
log_cost=0
for arg in "$@"; do
    case $arg in
    --log-cost) log_cost=1 ;;
    *) echo "usage: $0 [--log-cost]" >&2; exit 2 ;;
    esac
done
# shellcheck source=bench/common.sh
. "$here/common.sh"

if [ "$log_cost" -eq 0 ]; then
    install_tools wrk nginx lighttpd
else
    install_tools wrk
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

velnor_binary

# --- document tree -------------------------------------------------------------------
mkdir -p "$work/www" "$work/nginx" "$work/lighttpd" "$work/velnor"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"
chmod 644 "$work/www/"*

# --- servers -------------------------------------------------------------------------
if [ -n "$plugin" ] && [ -f "$plugin" ]; then
    velnor_log="access log on"
    start_velnor velnor on
else
    if [ "$log_cost" -eq 1 ]; then
        echo "no log plug-in built: nothing to compare" >&2
        exit 1
    fi
    velnor_log="no log plug-in built: access log off"
    start_velnor velnor off
fi

if [ "$log_cost" -eq 1 ]; then
    log_on_port=$velnor_port
    start_velnor velnor-nolog off
    log_off_port=$velnor_port
else
    nginx_port=$(free_port)
    sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$nginx_port|g" "$here/nginx.conf.in" >"$work/nginx/nginx.conf"
    "$nginx_bin" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
    pids+=($!)
    wait_for_port "$nginx_port"

    lighttpd_port=$(free_port)
    while [ "$lighttpd_port" = "$nginx_port" ]; do lighttpd_port=$(free_port); done
    sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$lighttpd_port|g" "$here/lighttpd.conf.in" \
        >"$work/lighttpd/lighttpd.conf"
    # lighttpd opens its logs after giving up root.
    chown www-data:www-data "$work/lighttpd"
    "$lighttpd_bin" -D -f "$work/lighttpd/lighttpd.conf" &
    pids+=($!)
    wait_for_port "$lighttpd_port"
fi

# --- measurements --------------------------------------------------------------------
if [ "$log_cost" -eq 1 ]; then
    echo "== wrk -t$threads -c$connections -d$duration on loopback ($(nproc) cores)"
    echo "   velnor: StartServers 8, KeepAlive 1, 1k.bin with the access log on and off"
    measure velnor-log "$log_on_port" 1k.bin
    measure velnor-nolog "$log_off_port" 1k.bin
    printf '\n%-8s %-4s %12s %10s\n' file log "requests/s" "MB/s"
    printf '%-8s %-4s %12s %10s\n' 1k.bin on "${rps[velnor-log/1k.bin]:--}" \
        "${mbps[velnor-log/1k.bin]:--}"
    printf '%-8s %-4s %12s %10s\n' 1k.bin off "${rps[velnor-nolog/1k.bin]:--}" \
        "${mbps[velnor-nolog/1k.bin]:--}"
    printf '\nlog on/off: %s   (log lines written: %s)\n' \
        "$(ratio "${rps[velnor-log/1k.bin]:-0}" "${rps[velnor-nolog/1k.bin]:-0}")" \
        "$(wc -l <"$work/velnor/access_log.txt")"
    if [ -e "$work/velnor-nolog/access_log.txt" ]; then
        echo "!! the run without the plug-in wrote a log" >&2
        failed=1
    fi
    if [ "$failed" -ne 0 ]; then
        echo "!! some runs reported errors (see above)" >&2
        exit 1
    fi
    exit 0
fi

echo "== wrk -t$threads -c$connections -d$duration on loopback ($(nproc) cores)"
echo "   velnor: StartServers 8, KeepAlive 1, $velnor_log"
echo "   nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///'): worker_processes auto, sendfile on, access log on"
echo "   lighttpd $("$lighttpd_bin" -v 2>&1 | head -1 | sed 's/^lighttpd\/\([^ ]*\).*/\1/'): defaults, access log on"
for file in 1k.bin 1m.bin; do
    measure velnor "$velnor_port" "$file"
    measure nginx "$nginx_port" "$file"
    measure lighttpd "$lighttpd_port" "$file"
done

printf '\n%-8s %-9s %12s %10s\n' file server "requests/s" "MB/s"
for file in 1k.bin 1m.bin; do
    for server in velnor nginx lighttpd; do
        printf '%-8s %-9s %12s %10s\n' "$file" "$server" "${rps[$server/$file]:--}" \
            "${mbps[$server/$file]:--}"
    done
done
printf '\n%-8s %16s %19s\n' file "velnor/nginx" "velnor/lighttpd"
for file in 1k.bin 1m.bin; do
    printf '%-8s %16s %19s\n' "$file" \
        "$(ratio "${rps[velnor/$file]:-0}" "${rps[nginx/$file]:-0}")" \
        "$(ratio "${rps[velnor/$file]:-0}" "${rps[lighttpd/$file]:-0}")"
done

if [ "$failed" -ne 0 ]; then
    echo "!! some runs reported errors (see above)" >&2
    exit 1
fi
