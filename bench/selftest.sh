#!/usr/bin/env bash
# Checks of the benchmark's own arithmetic and parsing, with no server and no real wrk:
# how wrk's error lines decide a failed run, the unit and ratio figures, the strace
# summary per request, the memory of a process tree, and the chart. Runs in a second or
# two; prints one line per failed case and exits 1 if there was any.
#
#   bench/selftest.sh
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$here/common.sh"

wrong=0
check() { # what, expected, got
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: expected [$2], got [$3]"
        wrong=1
    fi
}

# A stand-in for wrk that prints the output file named by FAKE_WRK_OUT.
mkdir -p "$work/fake"
cat >"$work/fake/wrk" <<'WRK'
#!/bin/sh
cat "$FAKE_WRK_OUT"
WRK
chmod +x "$work/fake/wrk"
PATH=$work/fake:$PATH

wrk_output() { # socket errors line ("" for none), non-2xx count ("" for none)
    echo "Running 1s test @ http://127.0.0.1:1/1k.bin"
    echo "  1000 requests in 1.00s, 1.00MB read"
    [ -z "$1" ] || echo "  Socket errors: $1"
    [ -z "$2" ] || echo "  Non-2xx or 3xx responses: $2"
    echo "Requests/sec:   1000.25"
    echo "Transfer/sec:      1.50MB"
}

test_wrk_errors() {
    local ok errors non2xx want_failed want_errs
    # connect errors allowed | socket errors line | non-2xx | run failed | counts
    while IFS='|' read -r ok errors non2xx want_failed want_errs; do
        wrk_output "$errors" "$non2xx" >"$work/wrk.out"
        failed=0
        connect_errors_ok=$ok
        FAKE_WRK_OUT=$work/wrk.out measure srv 1 1k.bin 1 256 2>/dev/null
        check "wrk errors ($ok|$errors|$non2xx): failed" "$want_failed" "$failed"
        check "wrk errors ($ok|$errors|$non2xx): counts" "$want_errs" "${wrk_errs[srv/1k.bin/t1/c256]}"
        check "wrk errors ($ok|$errors|$non2xx): rate" 1000.25 "${rps[srv/1k.bin/t1/c256]}"
    done <<'CASES'
0|||0|0 0 0 0 0
1|||0|0 0 0 0 0
0|connect 5, read 0, write 0, timeout 0||1|5 0 0 0 0
1|connect 5, read 0, write 0, timeout 0||0|5 0 0 0 0
1|connect 5, read 2, write 0, timeout 0||1|5 2 0 0 0
1|connect 0, read 0, write 3, timeout 7||1|0 0 3 7 0
1|connect 5, read 0, write 0, timeout 0|12|1|5 0 0 0 12
0||4|1|0 0 0 0 4
CASES
    # No figures at all (wrk could not connect) fails even where connects may fail.
    echo "unable to connect to 127.0.0.1:1 Connection refused" >"$work/wrk.out"
    failed=0
    connect_errors_ok=1
    FAKE_WRK_OUT=$work/wrk.out measure srv 1 1m.bin 1 256 2>/dev/null
    check "wrk without figures: failed" 1 "$failed"
    connect_errors_ok=0
}

test_figures() {
    local fn a b want
    while read -r fn a b want; do
        check "$fn $a $b" "$want" "$("$fn" "$a" "$b")"
    done <<'CASES'
to_mb 12.5MB - 12.50
to_mb 512.00KB - 0.50
to_mb 1.5GB - 1536.00
to_mb 1048576B - 1.00
ratio 1 2 0.50
ratio 300 100 3.00
ratio 5 0 -
ratio 0 7 0.00
CASES
}

test_per_request() {
    local requests want
    cat >"$work/strace.txt" <<'SUMMARY'
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 60.00    0.060000           2     30000           newfstatat
 30.00    0.030000           3     10000      1000 recvfrom
 10.00    0.010000          10      1000           accept4
------ ----------- ----------- --------- --------- ----------------
100.00    0.100000           2     41000      1000 total
SUMMARY
    while IFS='|' read -r requests want; do
        check "per request over $requests" "$want" \
            "$(per_request "$work/strace.txt" "$requests" | awk '{printf "%s=%s ", $1, $3}')"
    done <<'CASES'
10000|newfstatat=3.00 recvfrom=1.00 accept4=0.10 total=4.10 
1000|newfstatat=30.00 recvfrom=10.00 accept4=1.00 total=41.00 
CASES
}

# The same sum as tree_rss_kib, taken another way: ps's view of the tree.
ps_tree_rss() { # pid
    local table
    table=$(ps -e -o pid=,ppid=,rss=,comm=)
    awk -v root="$1" '{ parent[$1] = $2; rss[$1] = $3; comm[$1] = $4 }
        END {
            for (p in rss) {
                for (q = p; q != "" && q != 0 && q != root; q = parent[q]) {}
                if (q == root) { n += rss[p]; count++; sleeping += comm[p] == "sleep" }
            }
            print count + 0, sleeping + 0, n + 0
        }' <<<"$table"
}

test_tree_rss() {
    local parent want count sleeping
    # A parent with two children and a grandchild: all four count, and nothing else.
    bash -c 'sleep 20 & bash -c "sleep 20 & wait" & wait' &
    parent=$!
    pids+=("$parent")
    # Settled once both sleeps have replaced the shells forked for them and the memory
    # holds still between two looks.
    local before=-1
    for _ in $(seq 1 100); do
        sleep 0.05
        read -r count sleeping want <<<"$(ps_tree_rss "$parent")"
        [ "$count" -lt 4 ] || [ "$sleeping" -lt 2 ] || [ "$want" != "$before" ] || break
        before=$want
    done
    check "processes in the tree" 4 "$count"
    check "memory of a process tree" "$want" "$(tree_rss_kib "$parent")"
    # Each by its number, deepest first, before the parent's wait would outlive them.
    local tree
    readarray -t tree < <(ps -e -o pid=,ppid= | awk -v root="$parent" '{ p[$1] = $2 }
        END { for (x in p) for (q = x; q != "" && q != 0; q = p[q]) if (q == root && x != root) print x }' |
        sort -rn)
    kill "${tree[@]}" 2>/dev/null || true
}

test_chart() {
    local name rows threads want_rc want_points rc points
    local head="file,threads,connections,server,requests_per_sec,mb_per_sec"
    # name | CSV rows (";" between lines) | wrk threads | exit status | points drawn
    while IFS='|' read -r name rows threads want_rc want_points; do
        { echo "$head"; tr ';' '\n' <<<"$rows"; } >"$work/chart.csv"
        rc=0
        awk -F, -v threads="$threads" -f "$here/chart.awk" "$work/chart.csv" \
            >"$work/chart.svg" 2>/dev/null || rc=$?
        check "chart $name: status" "$want_rc" "$rc"
        [ "$want_rc" -eq 0 ] || continue
        points=$(grep -c '<title>' "$work/chart.svg" || true)
        check "chart $name: points" "$want_points" "$points"
        if command -v xmllint >/dev/null; then
            xmllint --noout "$work/chart.svg" 2>/dev/null || check "chart $name: well-formed" yes no
        fi
    done <<'CASES'
two files|1k.bin,1,8,a,100,1;1k.bin,1,64,a,200,1;1k.bin,1,8,b,50,1;1m.bin,1,8,a,5,1;1m.bin,2,8,a,9,1|1|0|4
other threads only|1k.bin,2,8,a,100,1|1|1|
a missing figure|1k.bin,1,8,a,100,1;1k.bin,1,64,a,-,1;1k.bin,1,256,a,,1|1|0|1
all zero|1k.bin,1,8,a,0,1;1k.bin,1,64,b,0,1|1|0|2
CASES
    echo "file,server" >"$work/chart.csv"
    rc=0
    awk -F, -v threads=1 -f "$here/chart.awk" "$work/chart.csv" >/dev/null 2>&1 || rc=$?
    check "chart without the needed columns: status" 1 "$rc"
}

test_wrk_errors
test_figures
test_per_request
test_tree_rss
test_chart
if [ "$wrong" -ne 0 ]; then
    exit 1
fi
echo "bench self-test: all cases pass"
