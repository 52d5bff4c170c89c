# shellcheck shell=bash disable=SC2154
# run.sh --syscalls (sourced by run.sh, not run): velnor alone with its access log on, the
# 1 KiB file. Two counts that do not depend on how loaded the machine is: system calls per
# request, by name, from strace -f -c attached to every thread during one wrk run; and
# context switches per request from the threads' own counters during a second wrk run with
# no tracer (a traced thread switches far more often than an untraced one).
# The requests are the access log's new lines: the server's own count, which also holds
# the answers still in flight when wrk stops its clock.
syscall_duration=${BENCH_SYSCALL_DURATION:-3s}
start_velnor velnor on "$workers"
velnor_pid=${pids[-1]}
access_log=$work/velnor/access_log.txt
url=http://127.0.0.1:$velnor_port/1k.bin
log_lines() { if [ -f "$access_log" ]; then wc -l <"$access_log"; else echo 0; fi; }

# Requests of one wrk run: the log's new lines, or wrk's own count if the log has none.
wrk_requests_run() { # output file
    local before after
    before=$(log_lines)
    run_wrk "$1" -t"$threads" -c"$connections" -d"$syscall_duration" "$url"
    after=$(log_lines)
    wrk_requests=$(awk '/ requests in / {print $1}' "$1")
    requests=$((after - before))
    if [ "$requests" -le 0 ]; then requests=${wrk_requests:-0}; fi
    if [ -z "$wrk_requests" ] || grep -qE "$wrk_errors" "$1"; then
        echo "!! errors reported by wrk:" >&2
        cat "$1" >&2
        failed=1
    fi
}

echo "== velnor alone: StartServers $workers, KeepAlive 1, access log on, GET /1k.bin," \
    "wrk -t$threads -c$connections -d$syscall_duration ($(nproc) cores)"

# strace reports each thread it attaches to; the run starts once it holds all of them.
tasks=$(find "/proc/$velnor_pid/task" -mindepth 1 -maxdepth 1 | wc -l)
strace -f -c -S calls -o "$work/strace.txt" -p "$velnor_pid" 2>"$work/strace.err" &
strace_pid=$!
pids+=("$strace_pid")
for _ in $(seq 1 200); do
    [ "$(grep -c attached "$work/strace.err" || true)" -ge "$tasks" ] && break
    kill -0 "$strace_pid" 2>/dev/null || break
    sleep 0.05
done
wrk_requests_run "$work/wrk-strace.txt"
kill -TERM "$strace_pid" 2>/dev/null || true
wait "$strace_pid" 2>/dev/null || true
unset 'pids[-1]' # strace has gone; its number may be another process's soon
if [ "$requests" -le 0 ] || ! grep -q total "$work/strace.txt" 2>/dev/null; then
    cat "$work/strace.err" >&2
    echo "!! no system call counts (requests: $requests)" >&2
    exit 1
fi
echo
echo "system calls per request under strace: $requests requests" \
    "(access log; wrk counted ${wrk_requests:--}), $tasks threads traced"
per_request "$work/strace.txt" "$requests"

before=$(ctxt_switches "$velnor_pid")
wrk_requests_run "$work/wrk-plain.txt"
after=$(ctxt_switches "$velnor_pid")
echo
echo "context switches per request without strace: $((after - before)) switches," \
    "$requests requests (wrk counted ${wrk_requests:--}): $(ratio $((after - before)) "$requests")"
echo "  ($(awk '/^Requests\/sec:/ {print $2}' "$work/wrk-plain.txt") requests/s untraced)"

if [ "$failed" -ne 0 ]; then
    echo "!! some runs reported errors (see above)" >&2
    exit 1
fi
