# shellcheck shell=bash disable=SC2154
# The end of run.sh (sourced by it, not run): the one table of the run, as text on the
# terminal and as Markdown in $out/table.md, the raw figures in $out/results.csv, and the
# chart of the first wrk thread count in $out/chart.svg; --save copies the three into
# bench/results/.
out=${BENCH_OUT:-$here/out}
mkdir -p "$out"

file_label() { case $1 in 1k.bin) echo "1 KiB" ;; 1m.bin) echo "1 MiB" ;; *) echo "$1" ;; esac; }

# A figure as the table shows it: "-" when wrk gave none, a trailing "*" when wrk reported
# errors in that run (the figure may then count failed requests as served).
cell() { # key
    local v=${rps[$1]:--}
    if [ "$v" != - ]; then v=$(awk -v v="$v" 'BEGIN { printf "%.0f", v }'); fi
    [ "${wrk_errs[$1]:-0 0 0 0 0}" = "0 0 0 0 0" ] || v="$v*"
    echo "$v"
}

# One line per cell: file, threads, connections, a figure per server, the two ratios.
table_rows() {
    local file t c key
    for file in "${files[@]}"; do
        for t in "${thread_list[@]}"; do
            for c in "${conn_list[@]}"; do
                key=$file/t$t/c$c
                echo "$(file_label "$file")|$t|$c|$(cell "velnor/$key")|$(cell "nginx/$key")|$(
                    cell "lighttpd/$key")|$(ratio "${rps[velnor/$key]:-0}" "${rps[nginx/$key]:-0}")|$(
                    ratio "${rps[velnor/$key]:-0}" "${rps[lighttpd/$key]:-0}")"
            done
        done
    done
}
rows=$(table_rows)
errors_seen=0
if [[ "$rows" == *"*"* ]]; then errors_seen=1; fi
header="file|threads|connections|velnor req/s|nginx req/s|lighttpd req/s|velnor/nginx|velnor/lighttpd"
rss_title="RSS in KiB after the 1 KiB run at $most_connections connections"
rss_header="threads|velnor|nginx|lighttpd"
rss_rows=$(for t in "${thread_list[@]}"; do
    echo "$t|${rss[velnor/$t]:--}|${rss[nginx/$t]:--}|${rss[lighttpd/$t]:--}"
done)
notes=("ratios are of requests per second; wrk threads: the first (-t${thread_list[0]}) is the judged figure"
    "RSS sums a server's processes (nginx's master and workers; velnor and lighttpd run as one)")
if [ "$errors_seen" -eq 1 ]; then
    notes+=("* wrk reported socket errors or non-2xx answers in that run (listed above the table;
  connect errors of nginx and lighttpd at 256+ connections come from their listen backlog
  and do not fail the run)")
fi

echo
{
    echo "$header"
    echo "$rows"
} | awk -F'|' '{ printf "%-6s %7s %11s %13s %12s %15s %12s %15s\n", $1, $2, $3, $4, $5, $6, $7, $8 }'
echo
echo "$rss_title"
{
    echo "$rss_header"
    echo "$rss_rows"
} | awk -F'|' '{ printf "%-7s %10s %10s %10s\n", $1, $2, $3, $4 }'
echo
printf '%s\n' "${notes[@]}"

# Markdown: the same table, ready to paste.
md_table() { # header rows
    awk -F'|' 'NR == 1 { n = NF; line = "|"; for (i = 1; i <= n; i++) line = line " --- |" }
        { printf "|"; for (i = 1; i <= NF; i++) printf " %s |", $i; printf "\n" }
        NR == 1 { print line }' <<<"$1
$2"
}
{
    for line in "${about[@]}"; do echo "- $line"; done
    echo
    md_table "$header" "$rows" | sed 's/\*/\\*/g'
    echo
    echo "$rss_title:"
    echo
    md_table "$rss_header" "$rss_rows"
    echo
    for line in "${notes[@]}"; do
        echo "${line/#\*/\\*}"
        echo
    done
} >"$out/table.md"

# The raw figures, one line per wrk run; RSS only on the runs after which it was taken.
{
    echo "file,threads,connections,server,requests_per_sec,mb_per_sec,connect_errors,read_errors,write_errors,timeout_errors,non_2xx,rss_kib"
    for file in "${files[@]}"; do
        for t in "${thread_list[@]}"; do
            for c in "${conn_list[@]}"; do
                for server in "${servers[@]}"; do
                    key=$server/$file/t$t/c$c
                    rss_cell=
                    if [ "$file" = 1k.bin ] && [ "$c" = "$most_connections" ]; then
                        rss_cell=${rss[$server/$t]:-}
                    fi
                    read -r e_connect e_read e_write e_timeout e_non2xx <<<"${wrk_errs[$key]:-0 0 0 0 0}"
                    echo "$file,$t,$c,$server,${rps[$key]:-},${mbps[$key]:-},$e_connect,$e_read,$e_write,$e_timeout,$e_non2xx,$rss_cell"
                done
            done
        done
    done
} >"$out/results.csv"

awk -F, -v threads="${thread_list[0]}" -f "$here/chart.awk" "$out/results.csv" >"$out/chart.svg"
if command -v xmllint >/dev/null && ! xmllint --noout "$out/chart.svg"; then
    echo "!! chart.svg is not well-formed" >&2
    failed=1
fi
echo
echo "written: $out/table.md, $out/results.csv, $out/chart.svg"
if [ "$save" -eq 1 ]; then
    mkdir -p "$here/results"
    cp "$out/table.md" "$out/results.csv" "$out/chart.svg" "$here/results/"
    echo "saved: $here/results/"
fi

if [ "$failed" -ne 0 ]; then
    echo "!! some runs reported errors (see above)" >&2
    exit 1
fi
