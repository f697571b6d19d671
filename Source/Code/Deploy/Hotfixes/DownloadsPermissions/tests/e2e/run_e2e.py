#!/usr/bin/python3
"""End-to-end cases: the shipped executable under Wine, on prepared machines.

Each case sets up one machine state in a shared Wine prefix (registry through
a .reg import, folders and Unix symbolic links under drive_c), runs the
executable, and checks its standard output byte for byte, its standard error,
its exit status, the calls it made to the file and security functions (seen
through Wine's relay channel), and that nothing else on the machine changed.

  run_e2e.py --list                       the case names
  run_e2e.py --wine-run W --prefix P --setup       a fresh prefix with a resident server
  run_e2e.py --wine-run W --prefix P --exe E --helper H --case NAME
  run_e2e.py --wine-run W --prefix P --cleanup
W is the project's tools/wine-run.sh.

Wine reports a Unix symbolic link as a reparse point to GetFileAttributesW
and resolves it in a handle's final path, but follows it even when asked to
open the link itself; a link on the way to Downloads is therefore refused
here because the final paths differ.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import pefile

AGENT_KEY = r"Morvane Security\Dovrix\Kelto Agent"  # under each view's Software key
PROGRAM_FILES = r"C:\Program Files (x86)"
SUFFIX_PARTS = ("Morvane Security", "Morvane Devices Agent", "Downloads")
DOWNLOADS_SUFFIX = "\\".join(SUFFIX_PARTS)
PROGRAM_DATA = "C:\\ProgramData"
SHELL_FOLDERS = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
OPEN_FAILED_2 = b"RegOpenKeyEx() failed. Error 2\r\n"
REFUSED_STATUS = 681 & 0xFF  # Wine hands over only the low byte of the exit status
VICTIM = "C:\\Victim"  # a folder that only its owner may enter, behind planted links
# The functions whose calls the cases check, traced only when the tool makes them.
WATCHED = ["kernel32." + name for name in ("SetDefaultDllDirectories", "SetProcessMitigationPolicy", "CreateFileW",
                                           "GetFileInformationByHandle", "GetFinalPathNameByHandleW",
                                           "CompareStringOrdinal", "CloseHandle")]
WATCHED += ["advapi32." + name for name in ("GetNamedSecurityInfoW", "SetNamedSecurityInfoW", "InitializeAcl",
                                            "SetSecurityInfo", "OpenProcessToken", "LookupPrivilegeValueW",
                                            "AdjustTokenPrivileges")]


def utf16(text):
    return text.encode("utf-16-le")


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(kind, data):
    """A .reg value of any type from raw bytes: hex(N):.. (hex: for binary)."""
    tag = "hex" if kind == 3 else f"hex({kind:x})"
    return f"{tag}:" + ",".join(f"{b:02x}" for b in data)


REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ = 2, 3, 7
FILE_LIST_DIRECTORY, DELETE, SHARE_ALL = 0x1, 0x10000, 0x7
SHARING_VIOLATION = 32
NOT_A_FOLDER = 267  # ERROR_DIRECTORY; Wine hands over its low byte, 11


@dataclass
class Case:
    name: str
    path: str = reg_text(PROGRAM_FILES)  # the "Path" value as a .reg right-hand side; None: no value
    views: tuple = (32,)  # registry views that hold the agent's key
    downloads: str = "folder"  # folder, file or missing
    program_files: bool = True
    app_data: str = None  # redirects the common application-data folder
    app_data_link: bool = False  # app_data is a link the administrator made to C:\Data
    link_at: str = None  # the part of the agent's folders planted as a link to VICTIM
    moved_aside: bool = False  # "Morvane Security" renamed aside, a link to an empty folder in its place
    stray_links: bool = False  # links to VICTIM beside Downloads and inside it
    lowercase: bool = False  # the agent's folders exist with lowercase names
    held: tuple = None  # (access, share): another program holds Downloads open while the tool runs
    args: tuple = ()
    runs: int = 1
    out: bytes = b""
    repaired: bool = False  # the Downloads folder's access list is rewritten
    refused: bool = False  # the way to Downloads is refused: one line, status 681
    held_off: bool = False  # the tool's open of Downloads fails: one line, status 32

    def app_data_path(self):
        return self.app_data or PROGRAM_DATA

    def reaches_downloads(self):
        """The agent is installed and both special folders are there: the tool looks at Downloads."""
        return self.repaired or self.refused or self.held_off or self.downloads != "folder"

    def downloads_path(self):
        """The Downloads folder as the tool names it."""
        return self.app_data_path().rstrip("\\") + "\\" + DOWNLOADS_SUFFIX

    def real_downloads(self):
        """Where the Downloads folder really is, links resolved."""
        base = "C:\\Data" if self.app_data_link else self.app_data_path().rstrip("\\")
        parts = [part.lower() for part in SUFFIX_PARTS] if self.lowercase else list(SUFFIX_PARTS)
        return "\\".join([base, *parts])


CASES = [
    Case("repair", repaired=True),
    Case("agent-absent", views=(), out=OPEN_FAILED_2),
    Case("key-only-in-64-bit-view", views=(64,), out=OPEN_FAILED_2),
    Case("key-without-path", path=None),
    Case("path-names-a-file", path=reg_text(r"C:\windows\system32\kernel32.dll")),
    Case("path-names-a-missing-folder", path=reg_text(r"C:\Program Files (x86)\Kelto Agent")),
    Case("path-empty", path=reg_text("")),
    Case("path-expand-sz-never-expanded", path=reg_hex(REG_EXPAND_SZ, utf16("%ProgramFiles(x86)%\0"))),
    Case("path-expand-sz-plain", path=reg_hex(REG_EXPAND_SZ, utf16(PROGRAM_FILES + "\0")), repaired=True),
    Case("path-multi-sz-first-string", path=reg_hex(REG_MULTI_SZ, utf16(PROGRAM_FILES + "\0C:\\nowhere\0\0")),
         repaired=True),
    Case("path-dword", path="dword:00000001"),
    Case("path-binary-terminated", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES + "\0")), repaired=True),
    Case("path-binary-unterminated", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES)), repaired=True),
    Case("path-binary-odd-length", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES) + b"\0"), repaired=True),
    Case("path-longer-than-buffer", path=reg_hex(REG_BINARY, utf16("C:\\" + "a" * 2100 + "\0"))),
    Case("downloads-missing-not-created", downloads="missing"),
    Case("downloads-is-a-file", downloads="file"),
    Case("link-above-downloads-to-an-empty-folder-refused", moved_aside=True, refused=True),
    Case("program-files-missing", program_files=False),
    Case("app-data-without-trailing-backslash", app_data="C:\\Data", repaired=True),
    Case("app-data-with-trailing-backslash", app_data="C:\\Data\\", repaired=True),
    Case("arguments-ignored", args=("/?", "--dry-run", "C:\\Windows", "", "\u00e9t\u00e9"), repaired=True),
    Case("second-run-repeats-the-repair", runs=2, repaired=True),
    Case("link-at-downloads-refused", link_at="Downloads", refused=True),
    Case("link-at-agent-folder-refused", link_at="Morvane Devices Agent", refused=True),
    Case("link-at-vendor-folder-refused", link_at="Morvane Security", refused=True),
    Case("refusal-repeats-on-a-second-run", link_at="Downloads", runs=2, refused=True),
    Case("administrators-link-to-app-data-followed", app_data="C:\\DataLink", app_data_link=True, repaired=True),
    Case("links-elsewhere-in-the-agent-folder-left-alone", stray_links=True, repaired=True),
    Case("real-names-differ-only-in-case", lowercase=True, repaired=True),
    Case("held-open-for-delete-not-repaired", held=(DELETE, SHARE_ALL), held_off=True),
    Case("held-open-unshared-not-repaired", held=(FILE_LIST_DIRECTORY, 0), held_off=True),
    Case("watched-with-list-access-repaired", held=(FILE_LIST_DIRECTORY, SHARE_ALL), repaired=True),
]


class Machine:
    """The shared Wine prefix and what a case may change in it."""

    def __init__(self, wine_run, prefix):
        self.wine_run = wine_run
        self.prefix = Path(prefix).resolve()
        self.drive_c = self.prefix / "drive_c"

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return self.drive_c.joinpath(*windows_path[3:].rstrip("\\").split("\\"))

    def wine(self, *command, debug="-all"):
        env = dict(os.environ, WINEDEBUG=debug)
        return subprocess.run([self.wine_run, str(self.prefix), *command], env=env, capture_output=True,
                              timeout=120)

    def import_reg(self, lines):
        with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=self.drive_c, delete=False,
                                         encoding="utf-16") as reg:
            reg.write("Windows Registry Editor Version 5.00\n\n" + "\n".join(lines) + "\n")
        try:
            result = self.wine("regedit", "/S", "C:\\" + Path(reg.name).name)
            assert result.returncode == 0, result
        finally:
            os.unlink(reg.name)

    def setup(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        if self.wine("cmd", "/c", "exit").returncode != 0:
            return 1
        # The relay channel then shows only the calls the cases check.
        self.import_reg(["[HKEY_CURRENT_USER\\Software\\Wine\\Debug]", '"RelayInclude"=' + reg_text(";".join(WATCHED))])
        return 0

    def prepare(self, case):
        """Resets everything a case may change, then lays out this case."""
        for scratch in ("ProgramData/Morvane Security", "ProgramData/morvane security",
                        "ProgramData/Morvane Security.moved", "Data", "DataLink", "Victim", "Empty"):
            path = self.drive_c / scratch
            if path.is_symlink() or path.is_file():
                path.unlink()
            else:
                shutil.rmtree(path, ignore_errors=True)
        hidden = self.drive_c / "Program Files (x86).hidden"
        if hidden.exists():
            hidden.rename(self.unix_path(PROGRAM_FILES))

        lines = [f"[-HKEY_LOCAL_MACHINE\\{view_root(view)}\\Morvane Security]" for view in (32, 64)]
        lines += [f"[{SHELL_FOLDERS}]",
                  '"Common AppData"=' + reg_hex(REG_EXPAND_SZ, utf16((case.app_data or "%ProgramData%") + "\0"))]
        for view in case.views:
            lines.append(f"[HKEY_LOCAL_MACHINE\\{view_root(view)}\\{AGENT_KEY}]")
            if case.path is not None:
                lines.append('"Path"=' + case.path)
        self.import_reg(lines)

        if case.app_data_link:
            (self.drive_c / "Data").mkdir()
            self.unix_path(case.app_data_path()).symlink_to(self.drive_c / "Data")
        downloads = self.unix_path(case.real_downloads())
        downloads.parent.mkdir(parents=True)
        if case.downloads == "folder":
            downloads.mkdir(mode=0o700)  # only its owner: reads back unlike the program-files folder
        elif case.downloads == "file":
            downloads.write_bytes(b"not a folder\n")
        victim = self.unix_path(VICTIM)
        if case.link_at:
            # The planted part moves behind the link, with what lies below it,
            # so that the way still leads to a Downloads folder.
            planted = self.unix_path(case.app_data_path()).joinpath(
                *SUFFIX_PARTS[:SUFFIX_PARTS.index(case.link_at) + 1])
            planted.rename(victim)
            planted.symlink_to(victim)
        if case.moved_aside:
            planted = self.unix_path(case.app_data_path()) / SUFFIX_PARTS[0]
            planted.rename(planted.with_name(SUFFIX_PARTS[0] + ".moved"))
            (self.drive_c / "Empty").mkdir()
            planted.symlink_to(self.drive_c / "Empty")
        if case.stray_links:
            victim.mkdir(mode=0o700)
            (downloads.parent / "Cache").symlink_to(victim)
            (downloads / "Shortcut").symlink_to(victim)
        if not case.program_files:
            self.unix_path(PROGRAM_FILES).rename(hidden)

    def hold(self, helper, path, access, share):
        """Another program holding path open; it lets go when its input is closed."""
        holder = subprocess.Popen([self.wine_run, str(self.prefix), helper, "hold", path, f"{access:x}", f"{share:x}"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ, WINEDEBUG="-all"))
        said = holder.stdout.readline()
        assert said.strip() == b"held", f"the holder could not open {path}: {said!r}"
        return holder

    def snapshot(self):
        """Every path outside Wine's own folders, with its kind, mode and content."""
        state = {}
        for root, dirs, files in os.walk(self.drive_c):
            if Path(root) == self.drive_c:
                dirs[:] = [d for d in dirs if d not in ("windows", "users")]
            for name in dirs + files:
                path = Path(root, name)
                info = path.lstat()
                if path.is_symlink():
                    digest = os.readlink(path)
                elif path.is_file():
                    digest = hashlib.sha256(path.read_bytes()).hexdigest()
                else:
                    digest = ""
                state[str(path.relative_to(self.drive_c))] = (oct(info.st_mode), digest)
        return state


def view_root(view):
    return "Software\\Wow6432Node" if view == 32 else "Software"


RELAY = re.compile(r"^[0-9a-f]+:(Call|Ret) +(?:KERNEL32|kernel32|ADVAPI32|advapi32)\.(\w+)\((.*)\)"
                   r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
ARGUMENT = re.compile(r'([0-9a-f]+)(?: L"((?:[^"\\]|\\.)*)")?')
OWN_LINE = re.compile(r"^[0-9a-f]+:(Call|Ret|Starting|trace|fixme|err|warn)[ :]")
# How each watched call is shown, one letter per argument: v its value (or
# text, for a string), d a 32-bit value (the relay shows whole registers), h a
# handle named by the order CreateFileW opened it (H1, H2; "other" for one it
# did not open), a a list: "empty" for the one InitializeAcl made, else 0 or
# "other"; - not shown (buffers and out-pointers: where, not what).
SHOWN = {"SetDefaultDllDirectories": "v", "SetProcessMitigationPolicy": "v-v", "CreateFileW": "vddvddv",
         "GetFileInformationByHandle": "h-", "GetFinalPathNameByHandleW": "h-vv", "CompareStringOrdinal": "v-v-v",
         "CloseHandle": "h", "GetNamedSecurityInfoW": "vvvvv-v-", "SetNamedSecurityInfoW": "vvvvvav",
         "InitializeAcl": "avv", "SetSecurityInfo": "hvvvvav", "OpenProcessToken": "-d-", "LookupPrivilegeValueW": "vv-",
         "AdjustTokenPrivileges": "-d-d--"}


def tool_calls(stderr, image):
    """The watched calls the executable itself made (their return address lies in
    its image), as text."""
    calls, handles, lists = [], {}, {}
    arguments = []
    opened = 0  # a closed handle's value may come back for the next open
    for line in stderr.decode("utf-8", "replace").splitlines():
        match = RELAY.match(line)
        if not match or not image[0] <= int(match.group(5), 16) < image[1]:
            continue
        kind, function, listed, result = match.group(1, 2, 3, 4)
        if kind == "Call":
            arguments = [argument.groups() for argument in ARGUMENT.finditer(listed)]
            continue
        result = result.lstrip("0") or "0"
        if function == "InitializeAcl":
            lists[arguments[0][0].lstrip("0")] = "empty"
        shown = []
        for how, (value, text) in zip(SHOWN[function], arguments):
            value = value.lstrip("0") or "0"
            if how == "v":
                shown.append(text.replace("\\\\", "\\") if text is not None else value)
            elif how == "d":
                shown.append(f"{int(value, 16) & 0xFFFFFFFF:x}")
            elif how == "h":
                shown.append(handles.get(value, "other"))
            elif how == "a":
                shown.append(lists.get(value, "0" if value == "0" else "other"))
        if function == "CreateFileW" and result != "ffffffffffffffff":
            opened += 1
            handles[result] = result = f"H{opened}"
        elif function == "CompareStringOrdinal":
            result = "equal" if result == "2" else "differ"  # 2: CSTR_EQUAL
        elif function == "GetFinalPathNameByHandleW":
            result = "length"  # the path's length: the comparison shows the path itself
        calls.append(f"{function}({', '.join(shown)}) = {result}")
    return calls


def own_stderr(stderr):
    return b"".join(line for line in stderr.splitlines(keepends=True)
                    if not OWN_LINE.match(line.decode("utf-8", "replace")))


# Backup and restore privileges enabled through the process's token, which is
# then closed: TOKEN_ADJUST_PRIVILEGES (20), one privilege of 16 bytes each time.
PRIVILEGES = ["OpenProcessToken(20) = 1",
              "LookupPrivilegeValueW(0, SeBackupPrivilege) = 1", "AdjustTokenPrivileges(0, 10) = 1",
              "LookupPrivilegeValueW(0, SeRestorePrivilege) = 1", "AdjustTokenPrivileges(0, 10) = 1",
              "CloseHandle(other) = 1"]


def verified(case, handle, checker, expected, actual):
    """The calls that check that handle lies where expected (a path below the
    application-data folder's real path), opening that folder as checker."""
    comparison = "equal" if expected.upper() == actual.upper() else "differ"
    return [f"GetFileInformationByHandle({handle}) = 1",
            f"CreateFileW({case.app_data_path()}, 80, 7, 0, 3, 2000000, 0) = {checker}",
            f"GetFinalPathNameByHandleW({checker}, 800, 0) = length",
            f"GetFinalPathNameByHandleW({handle}, 800, 0) = length",
            f"CompareStringOrdinal({expected}, {actual}, 1) = {comparison}",
            f"CloseHandle({checker}) = 1"]


def expected_calls(case):
    calls = ["SetDefaultDllDirectories(800) = 1", "SetProcessMitigationPolicy(10, 4) = 1"]
    if not case.reaches_downloads():
        return calls
    calls += PRIVILEGES
    app_data_final = "\\\\?\\" + ("C:\\Data" if case.app_data_link else case.app_data_path().rstrip("\\"))
    if case.downloads == "missing" or case.moved_aside:
        # Nothing at Downloads: each folder on the way is opened as itself and checked.
        for depth in (1, 2):
            part = "\\".join(SUFFIX_PARTS[:depth])
            handle, checker = f"H{2 * depth - 1}", f"H{2 * depth}"
            actual = "\\\\?\\" + ("C:\\Empty" if case.moved_aside else f"{PROGRAM_DATA}\\{part}")
            calls += [f"CreateFileW({case.app_data_path()}\\{part}, 80, 7, 0, 3, 2200000, 0) = {handle}",
                      *verified(case, handle, checker, f"{app_data_final}\\{part}", actual),
                      f"CloseHandle({handle}) = 1"]
            if case.moved_aside:
                return calls
        return calls
    if case.downloads == "file":
        return calls
    open_downloads = f"CreateFileW({case.downloads_path()}, 60001, 3, 0, 3, 2200000, 0)"
    if case.held_off:
        return calls + [open_downloads + " = ffffffffffffffff"]
    actual = "\\\\?\\" + case.real_downloads()
    if case.link_at:
        below = SUFFIX_PARTS[SUFFIX_PARTS.index(case.link_at) + 1:]
        actual = "\\".join(["\\\\?\\" + VICTIM, *below])
    calls += [open_downloads + " = H1",
              *verified(case, "H1", "H2", app_data_final + "\\" + DOWNLOADS_SUFFIX, actual)]
    if case.refused:
        return calls + ["CloseHandle(H1) = 1"]
    return calls + [f"GetNamedSecurityInfoW({PROGRAM_FILES}, 1, 4, 0, 0, 0) = 0",
                    "InitializeAcl(empty, 8, 2) = 1",
                    "SetSecurityInfo(H1, 1, 4, 0, 0, empty, 0) = 0",
                    "SetSecurityInfo(H1, 1, 4, 0, 0, other, 0) = 0",
                    "CloseHandle(H1) = 1"]


def run_case(machine, case, exe, helper):
    machine.prepare(case)
    before = machine.snapshot()
    header = pefile.PE(exe, fast_load=True).OPTIONAL_HEADER
    image = (header.ImageBase, header.ImageBase + header.SizeOfImage)
    not_repaired = case.downloads_path() + " was not repaired: "
    stderr, status = b"", 0
    if case.refused:
        stderr, status = (not_repaired + "the way to it is a link. Error 681\r\n").encode(), REFUSED_STATUS
    elif case.downloads == "file":
        stderr, status = (not_repaired + f"it is not a folder. Error {NOT_A_FOLDER}\r\n").encode(), NOT_A_FOLDER & 0xFF
    elif case.held_off:
        stderr = (not_repaired + f"it is held open by another program. Error {SHARING_VIOLATION}\r\n").encode()
        status = SHARING_VIOLATION
    holder = machine.hold(helper, case.real_downloads(), *case.held) if case.held else None
    problems = []
    try:
        for run in range(case.runs):
            result = machine.wine(exe, *case.args, debug="-all,+relay")
            seen = {"stdout": result.stdout, "stderr": own_stderr(result.stderr), "exit status": result.returncode,
                    "calls": tool_calls(result.stderr, image)}
            wanted = {"stdout": case.out, "stderr": stderr, "exit status": status, "calls": expected_calls(case)}
            problems += [f"run {run + 1}: {what}: got {seen[what]!r}, want {wanted[what]!r}"
                         for what in wanted if seen[what] != wanted[what]]
    finally:
        if holder:
            holder.communicate(timeout=60)

    after = machine.snapshot()
    if case.repaired:
        # Only the repaired folder's access list (kept by Wine as its mode) may change.
        changed = str(machine.unix_path(case.real_downloads()).relative_to(machine.drive_c))
        before.pop(changed)
        after.pop(changed)
        lists = machine.wine(helper, "show", PROGRAM_FILES, case.real_downloads())
        source, target = lists.stdout.decode().splitlines()
        if source != target:
            problems.append(f"access lists differ after the copy: {source} != {target}")
    if before != after:
        differing = sorted(set(before.items()) ^ set(after.items()))
        problems.append(f"the machine changed outside the access list: {differing[:6]}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--wine-run")
    parser.add_argument("--prefix")
    parser.add_argument("--setup", action="store_true")
    parser.add_argument("--cleanup", action="store_true")
    parser.add_argument("--exe")
    parser.add_argument("--helper")
    parser.add_argument("--case")
    options = parser.parse_args()

    if options.list:
        print(";".join(case.name for case in CASES))
        return 0
    machine = Machine(options.wine_run, options.prefix)
    if options.setup:
        return machine.setup()
    if options.cleanup:
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(machine.prefix)))
        return 0
    case = next(c for c in CASES if c.name == options.case)
    problems = run_case(machine, case, options.exe, options.helper)
    for problem in problems:
        print(problem)
    print(f"{case.name}: {'FAILED' if problems else 'ok'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
