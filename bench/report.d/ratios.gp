# Horizontal bars of ours/baseline per pair on a log scale, first pair on
# top, with each pair's target where it has one.
set terminal pngcairo size 1100,720 font "DejaVu Sans,10" noenhanced
set output outfile
set title "Our time / baseline time, same run (lower is better; 1 = parity)"
stats datafile using 1 nooutput
n = STATS_records
lo = 0.005
set yrange [-0.7:n-0.3]
set logscale x 10
set xrange [lo:200]
set format x "%g"
set grid xtics
set key bottom right box opaque
set style fill solid 0.7
set border 3
set xtics nomirror
set ytics nomirror
bar = 0.35
row(i) = n - 1 - i
set arrow from 1, graph 0 to 1, graph 1 nohead lc rgb "#555555" dt 2
plot datafile using (sqrt($3*lo)):(row($1)):(lo):3:(row($1)-bar):(row($1)+bar):ytic(2) \
         with boxxyerror lc rgb "#4a78b0" title "ratio", \
     datafile using (($3 > $4 ? $3 : $4)*1.15):(row($1)):(sprintf("%.2fx", $3)) with labels left notitle, \
     datafile using ($4 > 0 ? $4 : 1/0):(row($1)-bar-0.08):(0):(2*bar+0.16) \
         with vectors nohead lw 3 lc rgb "#c03030" title "target (at most)"
