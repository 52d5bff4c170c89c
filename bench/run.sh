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
root=$(cd "$here/.." && pwd)
duration=${BENCH_DURATION:-10s}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-8}
log_cost=0
for arg in "$@"; do
    case $arg in
    --log-cost) log_cost=1 ;;
    *) echo "usage: $0 [--log-cost]" >&2; exit 2 ;;
    esac
done

# --- tools -------------------------------------------------------------------------
need=()
command -v wrk >/dev/null || need+=(wrk)
if [ "$log_cost" -eq 0 ]; then
    command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx)
    command -v lighttpd >/dev/null || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    # Without a policy that forbids it, the packages start their system services;
    # those were not asked for here.
    if [[ " ${need[*]} " == *" nginx "* ]] && [ -f /run/nginx.pid ]; then
        /usr/sbin/nginx -s quit 2>/dev/null || true
    fi
    if [[ " ${need[*]} " == *" lighttpd "* ]] && [ -f /run/lighttpd.pid ]; then
        kill "$(cat /run/lighttpd.pid)" 2>/dev/null || true
    fi
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

# --- workspace and clean-up ----------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/velnor-bench-XXXXXX")
chmod 755 "$work" # nginx's and lighttpd's unprivileged workers read the tree
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 150); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- velnor binary -------------------------------------------------------------------
if [ -n "${VELNOR_BIN:-}" ]; then
    binary=$VELNOR_BIN
    plugin=$(dirname "$binary")/dunmark.so
else
    echo "== building velnor in the temporary directory"
    cmake -S "$root" -B "$work/build" -DVELNOR_TESTS=OFF >/dev/null
    cmake --build "$work/build" -j2 >/dev/null
    binary=$work/build/velnor
    plugin=$(find "$work/build" -name dunmark.so -print -quit)
fi

# --- document tree -------------------------------------------------------------------
mkdir -p "$work/www" "$work/nginx" "$work/lighttpd" "$work/velnor"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"
chmod 644 "$work/www/"*

# A loopback port with no listener on it.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

wait_for_port() { # port; the server is the last process started
    local pid=${pids[-1]}
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
            # A server that fails after binding has let go of the port by now.
            sleep 0.3
            kill -0 "$pid" 2>/dev/null && return 0
            break
        fi
        sleep 0.1
    done
    echo "nothing listens on port $1" >&2
    return 1
}

# --- servers -------------------------------------------------------------------------
# velnor from a program directory of its own ($work/NAME), with the access-log plug-in
# beside it (on) or without it (off); sets velnor_port.
start_velnor() { # name, on|off
    local dir=$work/$1
    mkdir -p "$dir"
    cp "$binary" "$dir/velnor"
    if [ "$2" = on ]; then
        cp "$plugin" "$dir/dunmark.so"
    fi
    cat >"$dir/velnor.reg" <<HIVE
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]
"Port"=dword:00000000
"DocRoot"="$work/www"
"CgiRoot"="$work/www/scripts"
"LogFile"="$dir/access_log.txt"
"LogSize"=dword:40000000
"StartServers"=dword:00000008
"KeepAlive"=dword:00000001
HIVE
    "$dir/velnor" --bind 127.0.0.1 </dev/null >"$dir/output.txt" 2>&1 &
    pids+=($!)
    velnor_port=
    for _ in $(seq 1 100); do
        velnor_port=$(sed -n 's/^Port: \([0-9]*\).*/\1/p' "$dir/output.txt" | head -1)
        [ -n "$velnor_port" ] && return 0
        sleep 0.1
    done
    cat "$dir/output.txt"
    echo "velnor ($1) did not start" >&2
    exit 1
}

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
# "12.5MB" (wrk's Transfer/sec) in MB.
to_mb() {
    awk -v v="$1" 'BEGIN {
        n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
        if (u == "B") n /= 1048576; else if (u == "KB") n /= 1024;
        else if (u == "GB") n *= 1024; else if (u == "TB") n *= 1048576;
        printf "%.2f", n }'
}

failed=0
declare -A rps mbps
measure() { # server port file
    local out="$work/wrk-$1-$3.txt"
    wrk -t"$threads" -c"$connections" -d"$duration" "http://127.0.0.1:$2/$3" >"$out" 2>&1 || true
    rps[$1/$3]=$(awk '/^Requests\/sec:/ {print $2}' "$out")
    mbps[$1/$3]=$(to_mb "$(awk '/^Transfer\/sec:/ {print $2}' "$out")")
    if [ -z "${rps[$1/$3]}" ] || grep -qE 'Socket errors|Non-2xx' "$out"; then
        echo "!! $1 $3: errors reported by wrk:" >&2
        cat "$out" >&2
        failed=1
    fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

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
