# shellcheck shell=bash disable=SC2154
# run.sh --log-cost (sourced by run.sh, not run): velnor alone on the 1 KiB file, once
# with the access log on and once with no plug-in, and the ratio of the two. One worker
# per connection (at least 8), as the two are compared with each other only.
log_workers=$((connections > 8 ? connections : 8))
start_velnor velnor on "$log_workers"
log_on_port=$velnor_port
start_velnor velnor-nolog off "$log_workers"
log_off_port=$velnor_port

echo "== wrk -t$threads -c$connections -d$duration on loopback ($(nproc) cores)"
echo "   velnor: StartServers $log_workers, KeepAlive 1, 1k.bin with the access log on and off"
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
