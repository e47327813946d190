# Horizontal bars of ours/baseline per pair, log scale, with each target.
set terminal pngcairo size 1100,700 font "DejaVu Sans,10"
set output outfile
set title "Our time / baseline time (lower is better; 1 = parity)"
stats datafile using 1 nooutput
n = STATS_records
set yrange [-0.7:n-0.3]
set ytics () 
set logscale x 10
set xrange [0.1:*]
set grid xtics
set key bottom right
set style fill solid 0.7
set border 3
bar = 0.35
set arrow from 1, graph 0 to 1, graph 1 nohead lc rgb "#888888" dt 2
plot datafile using (sqrt($3*0.1)):1:(0.1):3:($1-bar):($1+bar):ytic(2) with boxxyerror lc rgb "#4a78b0" title "ratio", \
     datafile using ($4 > 0 ? $4 : 1/0):1 with points pt 7 ps 1.4 lc rgb "#c03030" title "target (at most)"
