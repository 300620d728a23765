"""The look of every bench chart (gnuplot): clustered bars on a log scale."""
HISTOGRAM_STYLE = """set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set grid ytics
set key top left
set logscale y
"""
