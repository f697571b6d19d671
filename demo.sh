#!/bin/bash
# Builds the Windows executable and runs it once under Wine, in a throwaway
# prefix inside the build folder, showing what it printed and its exit status.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" >/dev/null

prefix=$(mktemp -d "$PWD/build/windows/demo-prefix.XXXXXX")
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT

echo "Running dist/DownloadsPermissions.exe on a machine without the agent:"
set +e
tools/wine-run.sh "$prefix" dist/DownloadsPermissions.exe
status=$?
set -e
echo "exit status: $status"
