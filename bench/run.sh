#!/usr/bin/env bash
# Throughput of velnor next to nginx and lighttpd on loopback: one small and one large
# static file, each server configured as its users would for the job, measured by wrk at
# every pairing of a wrk thread count and a connection count, in one run.
#
#   bench/run.sh                 build velnor (the project's default build type, as the
#                                README builds it) and run every measurement; prints one
#                                table, and writes table.md, results.csv and chart.svg
#                                into $BENCH_OUT (default bench/out, not tracked)
#   bench/run.sh --save          the same, and copies those three into bench/results/
#   VELNOR_BIN=path bench/run.sh use an existing binary instead of building one
#   BENCH_DURATION=5s            wrk's -d for each measurement
#   BENCH_ROUNDS=3               measurements per cell; the median is reported
#   BENCH_THREADS="1 2"          wrk's -t values; the first is the judged one (the chart)
#   BENCH_CONNECTIONS="8 64 256" wrk's -c values
#   bench/run.sh --log-cost      velnor alone on the 1 KiB file, once with the access log
#                                on (dunmark.so beside it) and once off (no plug-in), and
#                                the ratio of the two (first -t and -c of the lists)
#   bench/run.sh --syscalls      velnor alone (log on), 1 KiB file: system calls per
#                                request by name under strace -f -c, and context switches
#                                per request without strace (BENCH_SYSCALL_DURATION=3s,
#                                first -t and -c of the lists)
#   bench/selftest.sh            checks of the parsing, figures and chart (no servers)
#
# velnor gets StartServers 256 (or the largest connection count, if more): one worker per
# kept-alive connection, or the connections past the workers wait on the listener. The
# access logs of all three servers stay on. Missing tools (wrk, nginx, lighttpd, strace)
# are installed from Debian's packages. Everything the run makes lives in one temporary
# directory that is removed at the end, and every process it starts is stopped, on
# Ctrl-C too.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=table
save=0
usage() {
    echo "usage: $0 [--save] | --log-cost | --syscalls" >&2
    exit 2
}
for arg in "$@"; do
    case $arg in
    --log-cost) mode=log-cost ;;
    --syscalls) mode=syscalls ;;
    --save) save=1 ;;
    *) usage ;;
    esac
done
if [ "$save" -eq 1 ] && [ "$mode" != table ]; then usage; fi
# shellcheck source=bench/common.sh
. "$here/common.sh"

duration=${BENCH_DURATION:-5s}
read -ra thread_list <<<"${BENCH_THREADS:-1 2}"
read -ra conn_list <<<"${BENCH_CONNECTIONS:-8 64 256}"
for n in "${thread_list[@]}" "${conn_list[@]}"; do
    if ! [[ "$n" =~ ^[1-9][0-9]*$ ]]; then
        echo "BENCH_THREADS and BENCH_CONNECTIONS are lists of positive numbers" >&2
        exit 2
    fi
done
if [ ${#thread_list[@]} -eq 0 ] || [ ${#conn_list[@]} -eq 0 ]; then
    echo "BENCH_THREADS and BENCH_CONNECTIONS must not be empty" >&2
    exit 2
fi
threads=${thread_list[0]}
connections=${conn_list[0]}
most_connections=$(printf '%s\n' "${conn_list[@]}" | sort -n | tail -1)
workers=$((most_connections > 256 ? most_connections : 256))

case $mode in
table) install_tools wrk nginx lighttpd ;;
log-cost) install_tools wrk ;;
syscalls) install_tools wrk strace ;;
esac
velnor_binary

# --- document tree -------------------------------------------------------------------
mkdir -p "$work/www" "$work/nginx" "$work/lighttpd" "$work/velnor"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"
chmod 644 "$work/www/"*

if [ -z "$plugin" ] || [ ! -f "$plugin" ]; then
    if [ "$mode" != table ]; then
        echo "no log plug-in built: nothing to measure" >&2
        exit 1
    fi
    velnor_log="no log plug-in built: access log off"
    velnor_plugin=off
else
    velnor_log="access log on"
    velnor_plugin=on
fi

# --- velnor alone --------------------------------------------------------------------
if [ "$mode" = log-cost ]; then
    # shellcheck source=bench/logcost.sh
    . "$here/logcost.sh"
    exit
fi
if [ "$mode" = syscalls ]; then
    # shellcheck source=bench/syscalls.sh
    . "$here/syscalls.sh"
    exit
fi

# --- servers -------------------------------------------------------------------------
start_velnor velnor "$velnor_plugin" "$workers"
declare -A server_pid server_port
server_pid[velnor]=${pids[-1]}
server_port[velnor]=$velnor_port

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)
nginx_port=$(free_port)
sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$nginx_port|g" "$here/nginx.conf.in" >"$work/nginx/nginx.conf"
"$nginx_bin" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)
wait_for_port "$nginx_port"
server_pid[nginx]=${pids[-1]}
server_port[nginx]=$nginx_port

lighttpd_port=$(free_port)
while [ "$lighttpd_port" = "$nginx_port" ]; do lighttpd_port=$(free_port); done
sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$lighttpd_port|g" "$here/lighttpd.conf.in" \
    >"$work/lighttpd/lighttpd.conf"
# lighttpd opens its logs after giving up root.
chown www-data:www-data "$work/lighttpd"
"$lighttpd_bin" -D -f "$work/lighttpd/lighttpd.conf" &
pids+=($!)
wait_for_port "$lighttpd_port"
server_pid[lighttpd]=${pids[-1]}
server_port[lighttpd]=$lighttpd_port

# --- measurements --------------------------------------------------------------------
servers=(velnor nginx lighttpd)
files=(1k.bin 1m.bin)
about=(
    "wrk -d$duration on loopback ($(nproc) cores), -t ${thread_list[*]}, -c ${conn_list[*]}"
    "velnor: StartServers $workers, KeepAlive 1, $velnor_log"
    "nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///'): worker_processes auto, worker_connections 1024, sendfile on, access log on"
    "lighttpd $("$lighttpd_bin" -v 2>&1 | head -1 | sed 's/^lighttpd\/\([^ ]*\).*/\1/'): defaults, access log on"
)
printf '== %s\n' "${about[0]}"
printf '   %s\n' "${about[@]:1}"
rounds=${BENCH_ROUNDS:-3}
runs=$((${#files[@]} * ${#thread_list[@]} * ${#conn_list[@]} * ${#servers[@]} * rounds))
echo "   $runs measurements ($rounds rounds per cell, the median kept)"

# Servers take turns within each cell, so a change in the machine's load during the run
# reaches all three alike.
declare -A rss
for file in "${files[@]}"; do
    for t in "${thread_list[@]}"; do
        for c in "${conn_list[@]}"; do
            # Each cell is measured `rounds` times and its median kept: on a shared
            # machine one run can be off by a third either way.
            declare -A rps_seen=() mbps_seen=()
            for _ in $(seq 1 "$rounds"); do
                for server in "${servers[@]}"; do
                    connect_errors_ok=0
                    if [ "$server" != velnor ] && [ "$c" -ge 256 ]; then connect_errors_ok=1; fi
                    measure "$server" "${server_port[$server]}" "$file" "$t" "$c"
                    key=$server/$file/t$t/c$c
                    rps_seen[$server]+="${rps[$key]:-0} "
                    mbps_seen[$server]+="${mbps[$key]:-0} "
                    if [ "$file" = 1k.bin ] && [ "$c" = "$most_connections" ]; then
                        rss[$server/$t]=$(tree_rss_kib "${server_pid[$server]}")
                    fi
                done
            done
            for server in "${servers[@]}"; do
                key=$server/$file/t$t/c$c
                rps[$key]=$(median ${rps_seen[$server]})
                mbps[$key]=$(median ${mbps_seen[$server]})
            done
        done
    done
done
connect_errors_ok=0

# shellcheck source=bench/report.sh
. "$here/report.sh"
