# Plots for docs/benchmarks.md from the data files of bench/onaccess (--data DIR or --plot DIR).
# gnuplot -e "datadir='DIR'; outdir='OUT'" bench/plot.gp
# throughput.dat: series, files, median, min, max (files/s); latency-{zet,peer,peer_open}.dat: one sample in ms
# a line.

if (!exists("datadir")) datadir = "."
if (!exists("outdir")) outdir = datadir

set terminal pngcairo size 900,560 enhanced font "sans,11"
set datafile separator "\t"
set grid
set key below

tp = datadir."/throughput.dat"
pick(s) = strcol(1) eq s ? $2 : NaN

set output outdir."/throughput.png"
set title "Throughput by number of files (median, bars from min to max)"
set xlabel "files written"
set ylabel "files/s"
set logscale x
set xrange [*:*]
set offsets graph 0.05, graph 0.05, 0, 0
set yrange [0:*]
plot tp using (pick("zet")):3:4:5 with yerrorlines lw 2 title "zet + orbis-scand", \
     tp using (pick("peer")):3:4:5 with yerrorlines lw 2 title "clamonacc + clamd, extra scanning", \
     tp using (pick("peer_open")):3:4:5 with yerrorlines lw 2 title "clamonacc + clamd, default", \
     tp using (pick("engine")):3:4:5 with yerrorlines dt 2 title "libclamav in-process, cl\\_scandesc", \
     tp using (pick("engine_memory")):3:4:5 with yerrorlines dt 2 title "libclamav in-process, from memory", \
     tp using (pick("clamdscan")):3:4:5 with yerrorlines dt 3 title "clamdscan --multiscan"

set output outdir."/latency.png"
set title "Latency of single infected files, close to arrival in the quarantine (empirical CDF)"
set xlabel "ms (log scale: the tail stays visible)"
set ylabel "share of samples"
set logscale x
set xrange [*:*]
set xtics autofreq
set yrange [0:1]
set key inside top left vertical Left reverse
set datafile separator whitespace
# A run with --no-latency, --only or one peer mode leaves some files out: plot what there is.
has(f) = system("test -s '".f."' && echo 1 || echo 0") eq "1"
names = "zet peer peer_open"
titles = "'zet + orbis-scand' 'clamonacc + clamd, extra scanning' 'clamonacc + clamd, default'"
cmd = ""
do for [i = 1:words(names)] {
    f = datadir."/latency-".word(names, i).".dat"
    if (has(f)) {
        cmd = cmd.(cmd eq "" ? "" : ", ")."'".f."' using 1:(1) smooth cnormal lw 2 title '".word(titles, i)."'"
    }
}
if (cmd ne "") { eval("plot ".cmd) }

# --mix: small infected files' latency while the large archives were scanned (mix-NAME.dat, ms a line),
# beside each pipeline's idle latency.
set output outdir."/mix.png"
set title "Small files while large archives are scanned: close to quarantine (empirical CDF)"
cmd = ""
do for [i = 1:words(names)] {
    f = datadir."/mix-".word(names, i).".dat"
    g = datadir."/latency-".word(names, i).".dat"
    if (has(f)) {
        cmd = cmd.(cmd eq "" ? "" : ", ")."'".f."' using 1:(1) smooth cnormal lw 2 lc ".i." title '".word(titles, i).", during large scans'"
    }
    if (has(f) && has(g)) {
        cmd = cmd.", '".g."' using 1:(1) smooth cnormal lw 1 dt 2 lc ".i." title '".word(titles, i).", idle'"
    }
}
if (cmd ne "") { eval("plot ".cmd) }

# --soak: soak-NAME.dat columns: t, latency p50, latency max, then RSS MiB, fds, threads of each process
# (front end first, scan service second).
unset logscale x
set xrange [*:*]
set yrange [0:*]
set xlabel "s since the load started"
set key below horizontal
set datafile separator "\t"
do for [m = 1:3] {
    metric = word("rss fds threads", m)
    set output outdir."/soak-".metric.".png"
    set title "Soak: ".word("'RSS, MiB' 'open descriptors' threads", m)." of each process"
    set ylabel word("MiB descriptors threads", m)
    cmd = ""
    do for [i = 1:words(names)] {
        f = datadir."/soak-".word(names, i).".dat"
        if (has(f)) {
            do for [p = 0:1] {
                col = 4 + 3 * p + (m - 1)
                cmd = cmd.(cmd eq "" ? "" : ", ")."'".f."' using 1:".col." with lines lw 2 title '".word(titles, i)." ".word("'front end' 'scan service'", p + 1)."'"
            }
        }
    }
    if (cmd ne "") { eval("plot ".cmd) }
}
set output outdir."/soak-latency.png"
set title "Soak: latency of small infected files in each sample interval"
set ylabel "ms"
set logscale y
set yrange [*:*]
cmd = ""
do for [i = 1:words(names)] {
    f = datadir."/soak-".word(names, i).".dat"
    if (has(f)) {
        cmd = cmd.(cmd eq "" ? "" : ", ")."'".f."' using 1:2 with lines lw 2 title '".word(titles, i)." p50', '".f."' using 1:3 with lines dt 2 title '".word(titles, i)." max'"
    }
}
if (cmd ne "") { eval("plot ".cmd) }
