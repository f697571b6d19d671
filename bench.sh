#!/bin/bash
# Measures the executable's size and run time against baselines; prints the
# figures. A measurement, not a test: it never fails on a slow machine.
#   ./bench.sh [PAIRS]
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target DownloadsPermissions BenchEmpty BenchFloor >/dev/null

bin=build/windows/tools/bench
prefix=$(mktemp -d "$PWD/build/windows/bench-prefix.XXXXXX")
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
/usr/bin/python3 tools/bench/bench.py tools/wine-run.sh "$prefix" dist/DownloadsPermissions.exe \
    "$bin/BenchEmpty.exe" "$bin/BenchFloor.exe" "${1:-25}"
dotnet tool run pwsh -NoProfile -NonInteractive -File deploy/testing/Measure-FleetRun.ps1  # the remote run's own cost, mocked machines
