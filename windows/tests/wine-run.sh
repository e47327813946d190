#!/usr/bin/env bash
# Runs one Windows program of the test build under Wine, with a time limit
# so that a hung program cannot hang the run.  CMake uses it as the
# emulator of the cross build, for test discovery and for ctest; the prefix
# and the running wineserver are scripts/test-wine.sh's.
exec timeout -k 10 "${ZKX_WINE_TIMEOUT:-300}" "${ZKX_WINE:-wine}" "$@"
