#!/bin/bash
# The long fuzzing campaign: the target ./test.sh runs for a minute, run here
# for as long as asked (default one hour), keeping its corpus between runs.
#   ./fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-3600}
tools/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
fuzz=build/fuzz/Source/Code/Deploy/Hotfixes/DownloadsPermissions/tests/fuzz
"$fuzz/FuzzRepair" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 -close_fd_mask=3 \
    -detect_leaks=0 -artifact_prefix="$fuzz/" "$fuzz/corpus"
