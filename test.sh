#!/bin/bash
# Builds every preset and runs every test: the logic against the stand-in
# natively (with sanitizers), the deployment scripts under PowerShell 7 with
# Pester, the logic fuzzed for a minute (./fuzz.sh runs longer) and under
# Wine; then the shipped executable end to end under Wine and its release
# properties.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh

jobs=$(nproc)
passed=0
failed=0
status=0

# Runs a command, showing its output; leaves in found the last line of that
# output that matches a pattern (empty when none did). A failing command
# fails the whole run.
run_and_find() {
    local pattern=$1 log
    shift
    log=$(mktemp)
    "$@" 2>&1 | tee "$log" || status=1
    found=$(grep -E "$pattern" "$log" | tail -n 1 || true)
    rm -f "$log"
}

# Runs one CTest preset and adds its counts to the totals.
run_ctest() {
    local preset=$1
    run_and_find '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' ctest --preset "$preset" -j "$jobs" "${@:2}"
    if [ -z "$found" ]; then
        echo "ctest --preset $preset ran no tests" >&2
        status=1
        return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$found")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$found")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

# The deployment scripts' Pester tests, with the PowerShell and Pester that
# tools/install-deps.sh restored; their counts join the totals.
run_pester() {
    local pwsh
    if command -v dotnet >/dev/null 2>&1; then
        pwsh=(dotnet tool run pwsh)
    elif command -v pwsh >/dev/null 2>&1; then
        pwsh=(pwsh)
    else
        echo "PowerShell tests skipped: neither dotnet nor pwsh is installed, so the deployment scripts did not run"
        [ "${CI:-}" != true ] || status=1
        return
    fi
    run_and_find '^pester: [0-9]+ passed, [0-9]+ failed' \
        "${pwsh[@]}" -NoProfile -NonInteractive -File tools/pester/Invoke-Tests.ps1
    if [ -z "$found" ]; then
        echo "the Pester run printed no counts" >&2
        status=1
        return
    fi
    passed=$((passed + $(sed -E 's/^pester: ([0-9]+) passed.*/\1/' <<<"$found")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$found")))
}

# Wine servers started by the Windows build and its tests end with this script.
stop_wine() {
    local prefix
    for prefix in build/windows/*prefix*/; do
        WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true
    done
}
trap stop_wine EXIT

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
run_ctest linux
run_pester
run_and_find '^docs-check: [0-9]+ passed, [0-9]+ failed' node tools/docs-check/check.cjs && read -r _ p _ f _ <<<"${found:-docs-check: 0 passed, 1 failed}" && passed=$((passed + p)) failed=$((failed + f))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
run_ctest fuzz
grep -hE '^Done [0-9]+ runs' build/fuzz/Testing/Temporary/LastTest*.log | sed 's/^/fuzzing: /' || true

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
run_ctest windows

echo
echo "tests: $passed passed, $failed failed"
exit $status
