#!/usr/bin/env bash
# What bench/report needs beyond the build: Google Benchmark, Boost (the
# shared heap's baseline) and gnuplot for the chart.  Not on the CI path.
set -euo pipefail
exec "$(dirname "$0")/install-deps.sh" libbenchmark-dev libboost-dev gnuplot-nox python3
