# shellcheck shell=bash disable=SC2034,SC2154
# Pieces shared by the benchmarks (sourced, not run): tools from Debian's packages, one
# temporary workspace that is removed at exit with every process started in it, the velnor
# binary, loopback ports, velnor started from a program directory of its own, and wrk runs.
#
# The sourcing script sets `here` (the bench directory) first; the settings below come from
# the environment:
#   VELNOR_BIN=path   use an existing binary instead of building one
#   BENCH_DURATION=30s  BENCH_THREADS=2  BENCH_CONNECTIONS=8   wrk's -d, -t and -c
#                     (run.sh reads the last two as lists and sets its own defaults)

root=$(cd "$here/.." && pwd)
duration=${BENCH_DURATION:-10s}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-8}

# --- tools -------------------------------------------------------------------------
# Installs the packages named whose command is missing (wrk, nginx, lighttpd).
install_tools() { # package...
    local need=() tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || need+=("$tool")
    done
    [ ${#need[@]} -gt 0 ] || return 0
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
}

# --- workspace and clean-up ----------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/velnor-bench-XXXXXX")
chmod 755 "$work" # the other servers' unprivileged workers read the tree
pids=()
wrk_pid=
cleanup() {
    local pid
    if [ -n "$wrk_pid" ]; then
        kill -TERM "$wrk_pid" 2>/dev/null || true
        wait "$wrk_pid" 2>/dev/null || true
    fi
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
# Sets `binary` and `plugin` (the access-log plug-in, empty when none was built); a build
# made here also leaves its tree in $work/build for the examples.
velnor_binary() {
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
}

# --- ports ---------------------------------------------------------------------------
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

# --- velnor --------------------------------------------------------------------------
# velnor from a program directory of its own ($work/NAME) serving $work/www (extension
# root $work/www/scripts), with the access-log plug-in beside it (on) or without it (off)
# and StartServers workers (default 8); sets velnor_port.
start_velnor() { # name, on|off[, workers]
    local dir=$work/$1 workers=${3:-8}
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
"StartServers"=dword:$(printf %08x "$workers")
"KeepAlive"=dword:00000001
HIVE
    "$dir/velnor" --bind 127.0.0.1 </dev/null >"$dir/output.txt" 2>&1 &
    pids+=($!)
    velnor_port=
    for _ in $(seq 1 100); do
        velnor_port=$(sed -n 's/^Port: \([0-9]*\).*/\1/p' "$dir/output.txt" 2>/dev/null | head -1)
        [ -n "$velnor_port" ] && return 0
        sleep 0.1
    done
    cat "$dir/output.txt"
    echo "velnor ($1) did not start" >&2
    exit 1
}

# --- measurements --------------------------------------------------------------------
# "12.5MB" (wrk's Transfer/sec) in MB.
to_mb() {
    awk -v v="$1" 'BEGIN {
        n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
        if (u == "B") n /= 1048576; else if (u == "KB") n /= 1024;
        else if (u == "GB") n *= 1024; else if (u == "TB") n *= 1048576;
        printf "%.2f", n }'
}

# wrk with its output in a file. It runs in the background and is waited for: wrk catches
# Ctrl-C itself, prints its figures and exits normally, and a shell that waits on it in
# the foreground then takes the interrupt as handled and goes on with the next run
# instead of running its trap; `wait` gives way to the trap at once.
run_wrk() { # output file, wrk's arguments...
    local out=$1
    shift
    wrk "$@" >"$out" 2>&1 &
    wrk_pid=$!
    wait "$wrk_pid" || true
    wrk_pid=
}

# One wrk run against http://127.0.0.1:PORT/PATH with THREADS threads and CONNECTIONS
# connections (by default the single `threads` and `connections`). Fills rps, mbps and
# wrk_errs ("connect read write timeout non-2xx" counts) under SERVER/PATH, or under
# SERVER/PATH/tTHREADS/cCONNECTIONS when those are given, and sets failed=1 when wrk
# reports errors matching `wrk_errors`. With connect_errors_ok=1 a run whose only errors
# are failed connects is reported but not failed: those come from the server's listen
# backlog overflowing, which a benchmark of another server's throughput cannot change.
failed=0
wrk_errors='Socket errors|Non-2xx'
connect_errors_ok=0
declare -A rps mbps wrk_errs
measure() { # server port path [threads connections]
    local t=${4:-$threads} c=${5:-$connections} key=$1/$3
    [ $# -lt 5 ] || key=$1/$3/t$4/c$5
    local out="$work/wrk-${key//\//_}.txt"
    run_wrk "$out" -t"$t" -c"$c" -d"$duration" "http://127.0.0.1:$2/$3"
    rps[$key]=$(awk '/^Requests\/sec:/ {print $2}' "$out")
    mbps[$key]=$(to_mb "$(awk '/^Transfer\/sec:/ {print $2}' "$out")")
    wrk_errs[$key]=$(awk -F'[ ,:]+' '
        /Socket errors:/ { for (i = 1; i < NF; i++) s[$i] = $(i + 1) }
        /Non-2xx/ { n = $NF }
        END { printf "%d %d %d %d %d", s["connect"], s["read"], s["write"], s["timeout"], n }' "$out")
    if [ -n "${rps[$key]}" ] && ! grep -qE "$wrk_errors" "$out"; then
        return 0
    fi
    if [ -n "${rps[$key]}" ] && [ "$connect_errors_ok" -eq 1 ] &&
        [[ "${wrk_errs[$key]}" == *" 0 0 0 0" ]]; then
        echo "-- $1 $3 -t$t -c$c: ${wrk_errs[$key]%% *} connects failed (listen backlog);" \
            "reported, not counted as a failure" >&2
        return 0
    fi
    echo "!! $1 $3 -t$t -c$c: errors reported by wrk:" >&2
    cat "$out" >&2
    failed=1
}

# The middle of the figures given (the lower middle of an even count).
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

# strace -c's summary ("% time  seconds  usecs/call  calls  [errors]  syscall" rows, then
# a total row) as calls per request, by name, in strace's order, and the total.
per_request() { # strace summary file, requests
    awk -v n="$2" '
        /^-/ { rule++; next }
        rule >= 1 && NF >= 5 && $1 ~ /^[0-9.]+$/ {
            name = $NF; calls = $4
            if (name == "total") { total = calls; next }
            printf "  %-22s %10d %10.2f\n", name, calls, calls / n
        }
        END { printf "  %-22s %10d %10.2f\n", "total", total, total / n }' "$1"
}

# --- process figures -----------------------------------------------------------------
# Resident memory in KiB of a process and all its descendants (a master and its workers
# count as one server).
tree_rss_kib() { # pid
    # A process that ends during the scan just drops out of the sum.
    grep -HE '^(PPid|VmRSS):' /proc/[0-9]*/status 2>/dev/null |
        awk -F'[/:[:space:]]+' -v root="$1" '
            $5 == "PPid" { parent[$3] = $6 }
            $5 == "VmRSS" { rss[$3] = $6 }
            END {
                for (p in rss) {
                    for (q = p; q != "" && q != 0 && q != root; q = parent[q]) {}
                    if (q == root) n += rss[p]
                }
                print n + 0
            }'
}

# Voluntary and involuntary context switches of every thread of a process so far.
ctxt_switches() { # pid
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}
