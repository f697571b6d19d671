#!/bin/bash
# Builds the Windows executable and shows it repairing a machine, under Wine,
# in a throwaway prefix inside the build folder that sees none of the host's
# files; then leaving a link a user planted inside Downloads while it repairs
# the rest, and refusing a Downloads folder that a user has made a link.
# Nothing else is touched.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target DownloadsPermissions DeployScripts AccessList >/dev/null

prefix=$(mktemp -d "$PWD/build/windows/demo-prefix.XXXXXX")
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
wine() { tools/wine-run.sh --isolated "$prefix" "$@"; }
wine cmd /c exit  # boots the prefix, which then sees none of the host's files
mkdir "$prefix/drive_c/tools"
cp dist/DownloadsPermissions.exe build/windows/Source/Code/Deploy/Hotfixes/DownloadsPermissions/tests/e2e/AccessList.exe \
    "$prefix/drive_c/tools/"
exe='C:\tools\DownloadsPermissions.exe'
sddl() { wine 'C:\tools\AccessList.exe' show "$1" | tr -d '\r'; }

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
    calls=$(sed -nE 's/^[0-9a-f]+:Call (KERNEL32|advapi32|ntdll)\.(\w+)\((.*)\) ret=14[0-9a-f]{7}$/     \2(\3)/p' "$trace" |
        sed -E 's/[0-9a-f]{8,16} L"/L"/g; s/\\\\/\\/g; s/(^|[(,])[0-9a-f]{8,16}(,[0-9a-f]{8,16})*/\1/g; s/\(,/(/; s/,\)/)/')
    echo "   calls it made to switch its privileges, open items and read and write access lists:"
    echo "${calls:-     none}"
}

wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /f /d \
    'advapi32.AdjustTokenPrivileges;kernel32.CreateFileW;ntdll.NtCreateFile;advapi32.GetNamedSecurityInfoW;advapi32.GetKernelObjectSecurity;advapi32.SetKernelObjectSecurity' >/dev/null

echo "== A machine with the agent installed (a new Wine prefix)"
wine reg add "$key" /v Path /t REG_SZ /d "$program_files" /reg:32 /f >/dev/null
mkdir -p "$agent_dir"
mkdir -m 700 "$agent_dir/Downloads" "$agent_dir/Downloads/logs"
install -m 600 /dev/null "$agent_dir/Downloads/logs/agent.log"
echo "   32-bit registry: $key  Path = $program_files"
echo "   Downloads, and logs\\agent.log inside it, created so that only their owner may enter them."
echo
echo "Access lists before (SDDL):"
echo "   program files (x86):     $(sddl "$program_files")"
echo "   Downloads:               $(sddl "$downloads")"
echo "   Downloads\\logs\\agent.log: $(sddl "$downloads\\logs\\agent.log")"
echo
run_tool
echo "   Both privileges are on for each open alone. Downloads gets two lists through"
echo "   its handle (what it inherits, then the program-files entries ahead of it); then"
echo "   each item inside is opened by name through its folder, judged on that handle, and"
echo "   gets the list that follows from its folder's, through that same handle."
echo
echo "Access lists after:"
echo "   Downloads:               $(sddl "$downloads")"
echo "   Downloads\\logs\\agent.log: $(sddl "$downloads\\logs\\agent.log")"
echo
echo "   Note: Wine keeps an access list only as Unix permission bits and rebuilds"
echo "   the list from them when asked, so these lists are rough. On Windows the"
echo "   Downloads folder gets the program-files list exactly, and each item inside"
echo "   what Windows' own inheritance rules give it from there."
echo
echo "== The same machine after a user planted a link to C:\\Victim inside Downloads"
mkdir -m 700 "$prefix/drive_c/Victim"
ln -s "$prefix/drive_c/Victim" "$agent_dir/Downloads/Shortcut"
echo "   C:\\Victim before: $(sddl 'C:\Victim')"
echo
run_tool
echo
echo "   C:\\Victim after:  $(sddl 'C:\Victim')  (untouched; the rest was repaired)"
rm "$agent_dir/Downloads/Shortcut"
echo
echo "== The same machine after a user replaced Downloads with a link to C:\\Victim"
rm -rf "$agent_dir/Downloads"
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
