#!/usr/bin/env bash
# What bench/report needs beyond the build: Google Benchmark, Boost (the
# shared heap's baseline) and gnuplot for the chart.  Not on the CI path.
set -euo pipefail
need=()
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
dpkg -s libboost-dev >/dev/null 2>&1 || need+=(libboost-dev)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v python3 >/dev/null || need+=(python3)
if [ "${#need[@]}" -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q "${need[@]}"
fi
