# Draws the benchmark's results.csv as an SVG: one panel per file, requests per second
# against wrk's connection count, one line per server, for one wrk thread count.
#
#   awk -F, -v threads=1 -f bench/chart.awk results.csv >chart.svg
#
# Plain POSIX awk, no other tool: the machines that run the benchmark need not have a
# plotting program. The columns are read by their names in the header line, so columns
# added to the CSV later do not move anything here. Each panel has its own scale: a 1 MiB
# file is served at a small fraction of the rate of a 1 KiB one, and a shared scale would
# flatten the large file's lines onto the axis.

function esc(s) {
    gsub(/&/, "\\&amp;", s)
    gsub(/</, "\\&lt;", s)
    gsub(/>/, "\\&gt;", s)
    return s
}

# The smallest 1, 2 or 5 times a power of ten that splits `top` into at most five steps.
function nice_step(top,    raw, p, f) {
    raw = top / 5
    p = exp(log(10) * int(log(raw) / log(10)))
    if (p > raw) p /= 10
    f = raw / p
    if (f <= 1) return p
    if (f <= 2) return 2 * p
    if (f <= 5) return 5 * p
    return 10 * p
}

function tick_label(v) {
    if (v >= 1000) return sprintf("%gk", v / 1000)
    return sprintf("%g", v)
}

function file_title(f) {
    if (f == "1k.bin") return "1 KiB file"
    if (f == "1m.bin") return "1 MiB file"
    return f
}

NR == 1 {
    for (i = 1; i <= NF; i++) col[$i] = i
    if (!("file" in col) || !("threads" in col) || !("connections" in col) ||
        !("server" in col) || !("requests_per_sec" in col)) {
        print "chart.awk: the CSV lacks a needed column" > "/dev/stderr"
        bad = 1
        exit 1
    }
    next
}

$col["threads"] == threads {
    f = $col["file"]; c = $col["connections"] + 0; s = $col["server"]
    if (!(f in seen_file)) { seen_file[f] = 1; files[++nfiles] = f }
    if (!(c in seen_conn)) { seen_conn[c] = 1; conns[++nconns] = c }
    if (!(s in seen_server)) { seen_server[s] = 1; servers[++nservers] = s }
    if ($col["requests_per_sec"] != "" && $col["requests_per_sec"] != "-")
        value[f, c, s] = $col["requests_per_sec"] + 0
}

END {
    if (bad) exit 1
    if (nfiles == 0) {
        print "chart.awk: no rows for " threads " wrk thread(s)" > "/dev/stderr"
        exit 1
    }
    # Connection counts in rising order (insertion sort: a handful of them).
    for (i = 2; i <= nconns; i++)
        for (j = i; j > 1 && conns[j - 1] > conns[j]; j--) {
            t = conns[j]; conns[j] = conns[j - 1]; conns[j - 1] = t
        }
    color["velnor"] = "#d62728"; color["nginx"] = "#2ca02c"; color["lighttpd"] = "#1f77b4"
    spare[1] = "#9467bd"; spare[2] = "#8c564b"; spare[3] = "#7f7f7f"

    pw = 460; ph = 340                    # one panel
    ml = 70; mr = 20; mt = 40; mb = 55    # plot margins inside a panel
    top = 50                              # room for the title and the legend
    width = pw * nfiles; height = top + ph

    printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" " \
        "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
        width, height, width, height
    printf "<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", width, height
    printf "<text x=\"%d\" y=\"20\" text-anchor=\"middle\" font-size=\"15\">" \
        "Requests per second on loopback, wrk -t%s</text>\n", width / 2, esc(threads)

    # Legend: one swatch per server, centred under the title.
    lx = width / 2 - nservers * 55
    for (k = 1; k <= nservers; k++) {
        s = servers[k]
        if (!(s in color)) color[s] = spare[(k - 1) % 3 + 1]
        x = lx + (k - 1) * 110
        printf "<line x1=\"%d\" y1=\"38\" x2=\"%d\" y2=\"38\" stroke=\"%s\" " \
            "stroke-width=\"3\"/>\n", x, x + 24, color[s]
        printf "<circle cx=\"%d\" cy=\"38\" r=\"3.5\" fill=\"%s\"/>\n", x + 12, color[s]
        printf "<text x=\"%d\" y=\"42\">%s</text>\n", x + 30, esc(s)
    }

    for (n = 1; n <= nfiles; n++) {
        f = files[n]
        ox = (n - 1) * pw; oy = top
        x0 = ox + ml; x1 = ox + pw - mr; y0 = oy + ph - mb; y1 = oy + mt
        maxv = 0
        for (i = 1; i <= nconns; i++)
            for (k = 1; k <= nservers; k++)
                if ((f, conns[i], servers[k]) in value && value[f, conns[i], servers[k]] > maxv)
                    maxv = value[f, conns[i], servers[k]]
        if (maxv <= 0) maxv = 1
        step = nice_step(maxv)
        ymax = step * int(maxv / step + 0.999999)
        if (ymax < maxv) ymax += step

        printf "<g>\n<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" font-size=\"14\">%s</text>\n",
            (x0 + x1) / 2, y1 - 12, esc(file_title(f))
        # Horizontal grid and the y ticks.
        for (v = 0; v <= ymax + step / 2; v += step) {
            y = y0 - (y0 - y1) * v / ymax
            printf "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#dddddd\"/>\n",
                x0, y, x1, y
            printf "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"black\"/>\n",
                x0 - 5, y, x0, y
            printf "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
                x0 - 8, y + 4, tick_label(v)
        }
        # Connection counts are spaced evenly: they grow by factors, not by steps.
        for (i = 1; i <= nconns; i++) {
            xs[i] = nconns == 1 ? (x0 + x1) / 2 : x0 + 30 + (x1 - x0 - 60) * (i - 1) / (nconns - 1)
            printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"black\"/>\n",
                xs[i], y0, xs[i], y0 + 5
            printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%d</text>\n",
                xs[i], y0 + 19, conns[i]
        }
        printf "<polyline points=\"%d,%d %d,%d %d,%d\" fill=\"none\" stroke=\"black\"/>\n",
            x0, y1, x0, y0, x1, y0
        printf "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">connections</text>\n",
            (x0 + x1) / 2, y0 + 40
        printf "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" " \
            "transform=\"rotate(-90 %d %d)\">requests/s</text>\n",
            ox + 16, (y0 + y1) / 2, ox + 16, (y0 + y1) / 2

        for (k = 1; k <= nservers; k++) {
            s = servers[k]; pts = ""
            for (i = 1; i <= nconns; i++) {
                if (!((f, conns[i], s) in value)) continue
                y = y0 - (y0 - y1) * value[f, conns[i], s] / ymax
                pts = pts sprintf("%s%.1f,%.1f", pts == "" ? "" : " ", xs[i], y)
                printf "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\">" \
                    "<title>%s, %d connections: %s requests/s</title></circle>\n",
                    xs[i], y, color[s], esc(s), conns[i], value[f, conns[i], s]
            }
            if (pts != "")
                printf "<polyline points=\"%s\" fill=\"none\" stroke=\"%s\" " \
                    "stroke-width=\"2\"/>\n", pts, color[s]
        }
        printf "</g>\n"
    }
    printf "</svg>\n"
}
