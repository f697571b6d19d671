#!/bin/bash
# Builds the Windows executable and shows it repairing a machine, under Wine,
# in a throwaway prefix inside the build folder. Nothing else is touched.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target DownloadsPermissions AccessList >/dev/null

exe=dist/DownloadsPermissions.exe
access_list=build/windows/Source/Code/Deploy/Hotfixes/DownloadsPermissions/tests/e2e/AccessList.exe
prefix=$(mktemp -d "$PWD/build/windows/demo-prefix.XXXXXX")
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
wine() { tools/wine-run.sh "$prefix" "$@"; }

program_files='C:\Program Files (x86)'
downloads='C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads'
key='HKLM\SOFTWARE\Morvane Security\Dovrix\Kelto Agent'

echo "== A machine with the agent installed (a new Wine prefix)"
wine reg add "$key" /v Path /t REG_SZ /d "$program_files" /reg:32 /f >/dev/null
mkdir -p "$prefix/drive_c/ProgramData/Morvane Security/Morvane Devices Agent"
mkdir -m 700 "$prefix/drive_c/ProgramData/Morvane Security/Morvane Devices Agent/Downloads"
echo "   32-bit registry: $key  Path = $program_files"
echo "   Downloads created so that only its owner may enter it."
echo
echo "Access lists before (SDDL):"
echo "   program files (x86): $(wine "$access_list" show "$program_files" | tr -d '\r')"
echo "   Downloads:           $(wine "$access_list" show "$downloads" | tr -d '\r')"
echo
echo "> DownloadsPermissions.exe"
trace="$prefix/trace.txt"
set +e
WINEDEBUG=-all,trace+advapi wine "$exe" 2>"$trace"
status=$?
set -e
echo "exit status: $status"
echo "security calls it made (Wine's trace: path, object type, information, then"
echo "owner, group, DACL, SACL pointers; the read also has its descriptor pointer):"
sed -nE 's/^[0-9a-f]+:trace:advapi:((Get|Set)NamedSecurityInfoW)/   \1/p' "$trace"
echo
echo "Access list after:"
echo "   Downloads:           $(wine "$access_list" show "$downloads" | tr -d '\r')"
echo
echo "   Note: Wine keeps a folder's access list only as Unix permission bits"
echo "   and rebuilds the list from them when asked, so these lists are rough."
echo "   On Windows the Downloads folder gets the program-files list exactly."
echo
echo "== The same machine without the agent's key"
wine reg delete 'HKLM\SOFTWARE\Morvane Security' /reg:32 /f >/dev/null
echo "> DownloadsPermissions.exe"
set +e
wine "$exe"
status=$?
set -e
echo "exit status: $status  (nothing was changed)"
