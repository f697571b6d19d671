#!/bin/bash
# Builds the Windows executable and shows it repairing a machine, under Wine,
# in a throwaway prefix inside the build folder; then refusing a Downloads
# folder that a user has made a link. Nothing else is touched.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target DownloadsPermissions DeployScripts AccessList >/dev/null

exe=dist/DownloadsPermissions.exe
access_list=build/windows/Source/Code/Deploy/Hotfixes/DownloadsPermissions/tests/e2e/AccessList.exe
prefix=$(mktemp -d "$PWD/build/windows/demo-prefix.XXXXXX")
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
wine() { tools/wine-run.sh "$prefix" "$@"; }
sddl() { wine "$access_list" show "$1" | tr -d '\r'; }

program_files='C:\Program Files (x86)'
downloads='C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads'
agent_dir="$prefix/drive_c/ProgramData/Morvane Security/Morvane Devices Agent"
key='HKLM\SOFTWARE\Morvane Security\Dovrix\Kelto Agent'

# Runs the tool with Wine's relay channel on for the calls that matter and
# prints those the tool itself made (its image lies at 0x140000000).
run_tool() {
    local trace="$prefix/trace.txt" out="$prefix/out.txt" status calls
    echo "> DownloadsPermissions.exe"
    set +e
    WINEDEBUG=-all,+relay wine "$exe" >"$out" 2>"$trace"
    status=$?
    set -e
    tr -d '\r' <"$out" | sed 's/^/   stdout: /'
    grep -vE '^[0-9a-f]+:(Call|Ret|Starting|trace|fixme|err|warn)[ :]' "$trace" | tr -d '\r' |
        sed 's/^/   stderr: /' || true
    echo "   exit status: $status"
    calls=$(sed -nE 's/^[0-9a-f]+:Call (KERNEL32|advapi32)\.(\w+)\((.*)\) ret=14[0-9a-f]{7}$/     \2(\3)/p' "$trace" |
        sed -E 's/[0-9a-f]{8,16} L"/L"/g; s/\\\\/\\/g')
    echo "   calls it made to enable its privileges, open the folder and read and write access lists:"
    echo "${calls:-     none}"
}

wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /f /d \
    'advapi32.LookupPrivilegeValueW;advapi32.AdjustTokenPrivileges;kernel32.CreateFileW;advapi32.GetNamedSecurityInfoW;advapi32.InitializeAcl;advapi32.SetSecurityInfo' >/dev/null

echo "== A machine with the agent installed (a new Wine prefix)"
wine reg add "$key" /v Path /t REG_SZ /d "$program_files" /reg:32 /f >/dev/null
mkdir -p "$agent_dir"
mkdir -m 700 "$agent_dir/Downloads"
echo "   32-bit registry: $key  Path = $program_files"
echo "   Downloads created so that only its owner may enter it."
echo
echo "Access lists before (SDDL):"
echo "   program files (x86): $(sddl "$program_files")"
echo "   Downloads:           $(sddl "$downloads")"
echo
run_tool
echo "   The backup and restore privileges are enabled before Downloads is opened. Both"
echo "   writes go through the handle opened on Downloads; the first passes the empty"
echo "   list that InitializeAcl made, the second the list read."
echo
echo "Access list after:"
echo "   Downloads:           $(sddl "$downloads")"
echo
echo "   Note: Wine keeps a folder's access list only as Unix permission bits"
echo "   and rebuilds the list from them when asked, so these lists are rough."
echo "   On Windows the Downloads folder gets the program-files list exactly."
echo
echo "== The same machine after a user replaced Downloads with a link to C:\\Victim"
rm -rf "$agent_dir/Downloads"
mkdir -m 700 "$prefix/drive_c/Victim"
ln -s "$prefix/drive_c/Victim" "$agent_dir/Downloads"
echo "   C:\\Victim before: $(sddl 'C:\Victim')"
echo
run_tool
echo
echo "   C:\\Victim after:  $(sddl 'C:\Victim')  (untouched)"
echo "   (Wine passes on only the low byte of an exit status: 681 shows as $((681 & 0xFF)).)"
echo
echo "== The same machine without the agent's key"
wine reg delete 'HKLM\SOFTWARE\Morvane Security' /reg:32 /f >/dev/null
run_tool
echo "   (nothing was changed)"
