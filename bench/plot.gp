# Plots for docs/benchmarks.md from the data files of bench/onaccess (--data DIR or --plot DIR).
# gnuplot -e "datadir='DIR'; outdir='OUT'" bench/plot.gp
# throughput.dat: series, files, median, min, max (files/s); latency-{zet,peer}.dat: one sample in ms a line.

if (!exists("datadir")) datadir = "."
if (!exists("outdir")) outdir = datadir

set terminal pngcairo size 900,560 enhanced font "sans,11"
set datafile separator "\t"
set grid
set key top left

tp = datadir."/throughput.dat"
pick(s) = strcol(1) eq s ? $2 : NaN

set output outdir."/throughput.png"
set title "Throughput by number of files (median, bars from min to max)"
set xlabel "files written"
set ylabel "files/s"
set logscale x
set xtics (2000, 20000, 100000)
set xrange [1000:200000]
set yrange [0:*]
plot tp using (pick("zet")):3:4:5 with yerrorlines lw 2 title "zet + orbis-scand", \
     tp using (pick("peer")):3:4:5 with yerrorlines lw 2 title "clamonacc + clamd", \
     tp using (pick("engine")):3:4:5 with yerrorlines dt 2 title "libclamav in-process", \
     tp using (pick("clamdscan")):3:4:5 with yerrorlines dt 3 title "clamdscan --multiscan"

set output outdir."/latency.png"
set title "Latency of single infected files, close to arrival in the quarantine (empirical CDF)"
set xlabel "ms (log scale: the tail stays visible)"
set ylabel "share of samples"
set logscale x
set xrange [*:*]
set xtics autofreq
set yrange [0:1]
set key bottom right
set datafile separator whitespace
# A run with --no-latency or --only leaves one file or none: plot what there is.
has(f) = system("test -s '".f."' && echo 1 || echo 0") eq "1"
zl = datadir."/latency-zet.dat"
pl = datadir."/latency-peer.dat"
if (has(zl) && has(pl)) {
    plot zl using 1:(1) smooth cnormal lw 2 title "zet + orbis-scand", \
         pl using 1:(1) smooth cnormal lw 2 title "clamonacc + clamd"
} else { if (has(zl)) {
    plot zl using 1:(1) smooth cnormal lw 2 title "zet + orbis-scand"
} else { if (has(pl)) {
    plot pl using 1:(1) smooth cnormal lw 2 title "clamonacc + clamd"
} } }
