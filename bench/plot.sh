#!/bin/bash
# Draws the benchmarks' figures as one PNG: from bench/results.tsv (bench/proxy_bench.sh)
# requests per second and p99 latency with and without keep-alive, by connection count, and the
# 100 MiB throughput; from bench/dhcp_results.tsv (bench/dhcp_bench.sh), when there is one,
# DHCP exchanges per second by offered rate. Needs gnuplot (Debian's gnuplot-nox).
# Usage: bench/plot.sh [RESULTS.tsv] [OUT.png] [DHCP-RESULTS.tsv]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tsv=${1:-$here/results.tsv}
out=${2:-$here/results.png}
dhcp=${3:-$(dirname "$tsv")/dhcp_results.tsv}
command -v gnuplot > /dev/null || { echo "plot: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }
[ -s "$tsv" ] || { echo "plot: no figures in $tsv" >&2; exit 1; }
tmp=$(mktemp -d /tmp/tarnix-plot.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# pivot MODE COLUMN: one row per connection count, one column per path (header row first).
pivot() {
    awk -F'\t' -v mode="$1" -v col="$2" '
        NR > 1 && $1 == "rps" && $3 == mode {
            if (!($2 in seenp)) { seenp[$2] = 1; paths[++np] = $2 }
            if (!($4 in seenc)) { seenc[$4] = 1; conns[++nc] = $4 }
            v[$2, $4] = $col
        }
        END {
            printf "connections"; for (p = 1; p <= np; p++) printf "\t%s", paths[p]; print ""
            for (c = 1; c <= nc; c++) {
                printf "%s", conns[c]
                for (p = 1; p <= np; p++) printf "\t%s", (col == 7 ? v[paths[p], conns[c]] / 1000 : v[paths[p], conns[c]])
                print ""
            }
        }' "$tsv"
}
for mode in keepalive close; do
    pivot "$mode" 5 > "$tmp/rps-$mode.dat"
    pivot "$mode" 7 > "$tmp/p99-$mode.dat"
done
awk -F'\t' 'NR > 1 && $1 == "mibps" { sub(/-connect/, " CONNECT", $2); printf "\"%s\"\t%s\n", $2, $5 }' \
    "$tsv" > "$tmp/big.dat"
paths=$(head -n 1 "$tmp/rps-keepalive.dat" | awk -F'\t' '{ print NF }')
# One row per offered rate: dnsmasq's and the gateway's exchanges per second.
dhcp_plot="set title \"DHCP (no figures)\"; unset key; plot 0 notitle"
if [ -s "$dhcp" ]; then
    awk -F'\t' 'NR > 1 { v[$2, $1] = $3; if (!($2 in seen)) { seen[$2] = 1; r[++n] = $2 } }
        END { print "offered\tdnsmasq\tgateway"
              for (i = 1; i <= n; i++) printf "%s\t%s\t%s\n", r[i], v[r[i], "dnsmasq"], v[r[i], "gateway"] }' \
        "$dhcp" > "$tmp/dhcp.dat"
    dhcp_plot="set title \"DHCP exchanges/s by offered rate\"; set xlabel \"offered/s\"; set key top left; plot for [i=2:3] \"$tmp/dhcp.dat\" using i:xtic(1) title columnheader(i)"
fi

gnuplot <<EOF
set terminal pngcairo size 1400,900 font "DejaVu Sans,10"
set output "$out"
set datafile separator "\t"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top left
set yrange [0:*]
set multiplot layout 2,3 title "Tarnix Gateway against tinyproxy, squid, a direct connection and kernel forwarding (1 KiB responses; median of runs)"
set title "Requests/s, keep-alive"
set xlabel "connections"
plot for [i=2:$paths] "$tmp/rps-keepalive.dat" using i:xtic(1) title columnheader(i)
set title "Requests/s, Connection: close"
plot for [i=2:$paths] "$tmp/rps-close.dat" using i:xtic(1) title columnheader(i)
set title "100 MiB response, MiB/s"
set xlabel ""
set key off
set xtics rotate by -35
plot "$tmp/big.dat" using 2:xtic(1) title "MiB/s" lc rgb "#4477aa"
set xtics norotate
set key top left
set xlabel "connections"
set logscale y
set yrange [*:*]
set title "p99 latency (ms, log scale), keep-alive"
plot for [i=2:$paths] "$tmp/p99-keepalive.dat" using i:xtic(1) title columnheader(i)
set title "p99 latency (ms, log scale), Connection: close"
plot for [i=2:$paths] "$tmp/p99-close.dat" using i:xtic(1) title columnheader(i)
unset logscale y
set yrange [0:*]
$dhcp_plot
unset multiplot
EOF
echo "plot: $out"
