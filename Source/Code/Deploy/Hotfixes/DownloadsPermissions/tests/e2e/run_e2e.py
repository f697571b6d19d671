#!/usr/bin/python3
"""End-to-end cases: the shipped executable under Wine, on prepared machines.

Each case sets up one machine state in a shared Wine prefix (registry through
a .reg import, folders under drive_c), runs the executable, and checks its
standard output byte for byte, its standard error, its exit status, the
security calls Wine traced, and that nothing else on the machine changed.

  run_e2e.py --list                       the case names
  run_e2e.py --wine-run W --prefix P --setup       a fresh prefix with a resident server
  run_e2e.py --wine-run W --prefix P --exe E --helper H --case NAME
  run_e2e.py --wine-run W --prefix P --cleanup
W is the project's tools/wine-run.sh.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

AGENT_KEY = r"Morvane Security\Dovrix\Kelto Agent"  # under each view's Software key
PROGRAM_FILES = r"C:\Program Files (x86)"
DOWNLOADS_SUFFIX = r"Morvane Security\Morvane Devices Agent\Downloads"
DOWNLOADS = "C:\\ProgramData\\" + DOWNLOADS_SUFFIX
SHELL_FOLDERS = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
OPEN_FAILED_2 = b"RegOpenKeyEx() failed. Error 2\r\n"


def utf16(text):
    return text.encode("utf-16-le")


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(kind, data):
    """A .reg value of any type from raw bytes: hex(N):.. (hex: for binary)."""
    tag = "hex" if kind == 3 else f"hex({kind:x})"
    return f"{tag}:" + ",".join(f"{b:02x}" for b in data)


REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ = 2, 3, 7


@dataclass
class Case:
    name: str
    path: str = reg_text(PROGRAM_FILES)  # the "Path" value as a .reg right-hand side; None: no value
    views: tuple = (32,)  # registry views that hold the agent's key
    downloads: str = "folder"  # folder, file or missing
    program_files: bool = True
    app_data: str = None  # redirects the common application-data folder
    args: tuple = ()
    runs: int = 1
    out: bytes = b""
    status: int = 0
    repaired: str = None  # the folder whose access list is rewritten, if any


CASES = [
    Case("repair", repaired=DOWNLOADS),
    Case("agent-absent", views=(), out=OPEN_FAILED_2),
    Case("key-only-in-64-bit-view", views=(64,), out=OPEN_FAILED_2),
    Case("key-without-path", path=None),
    Case("path-names-a-file", path=reg_text(r"C:\windows\system32\kernel32.dll")),
    Case("path-names-a-missing-folder", path=reg_text(r"C:\Program Files (x86)\Kelto Agent")),
    Case("path-empty", path=reg_text("")),
    Case("path-expand-sz-never-expanded", path=reg_hex(REG_EXPAND_SZ, utf16("%ProgramFiles(x86)%\0"))),
    Case("path-expand-sz-plain", path=reg_hex(REG_EXPAND_SZ, utf16(PROGRAM_FILES + "\0")), repaired=DOWNLOADS),
    Case("path-multi-sz-first-string", path=reg_hex(REG_MULTI_SZ, utf16(PROGRAM_FILES + "\0C:\\nowhere\0\0")),
         repaired=DOWNLOADS),
    Case("path-dword", path="dword:00000001"),
    Case("path-binary-terminated", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES + "\0")), repaired=DOWNLOADS),
    Case("path-binary-unterminated", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES)), repaired=DOWNLOADS),
    Case("path-binary-odd-length", path=reg_hex(REG_BINARY, utf16(PROGRAM_FILES) + b"\0"), repaired=DOWNLOADS),
    Case("path-longer-than-buffer", path=reg_hex(REG_BINARY, utf16("C:\\" + "a" * 2100 + "\0"))),
    Case("downloads-missing-not-created", downloads="missing"),
    Case("downloads-is-a-file", downloads="file"),
    Case("program-files-missing", program_files=False),
    Case("app-data-without-trailing-backslash", app_data="C:\\Data", repaired="C:\\Data\\" + DOWNLOADS_SUFFIX),
    Case("app-data-with-trailing-backslash", app_data="C:\\Data\\", repaired="C:\\Data\\" + DOWNLOADS_SUFFIX),
    Case("arguments-ignored", args=("/?", "--dry-run", "C:\\Windows", "", "\u00e9t\u00e9"), repaired=DOWNLOADS),
    Case("second-run-repeats-the-repair", runs=2, repaired=DOWNLOADS),
]


class Machine:
    """The shared Wine prefix and what a case may change in it."""

    def __init__(self, wine_run, prefix):
        self.wine_run = wine_run
        self.prefix = Path(prefix).resolve()
        self.drive_c = self.prefix / "drive_c"

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return self.drive_c.joinpath(*windows_path[3:].split("\\"))

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

    def prepare(self, case):
        """Resets everything a case may change, then lays out this case."""
        for scratch in ("ProgramData/Morvane Security", "Data"):
            shutil.rmtree(self.drive_c / scratch, ignore_errors=True)
        hidden = self.drive_c / "Program Files (x86).hidden"
        if hidden.exists():
            hidden.rename(self.unix_path(PROGRAM_FILES))

        lines = [f"[-HKEY_LOCAL_MACHINE\\{view_root(view)}\\Morvane Security]" for view in (32, 64)]
        app_data = case.app_data or "%ProgramData%"
        lines += [f"[{SHELL_FOLDERS}]", '"Common AppData"=' + reg_hex(REG_EXPAND_SZ, utf16(app_data + "\0"))]
        for view in case.views:
            lines.append(f"[HKEY_LOCAL_MACHINE\\{view_root(view)}\\{AGENT_KEY}]")
            if case.path is not None:
                lines.append('"Path"=' + case.path)
        self.import_reg(lines)

        downloads = self.unix_path((case.app_data or "C:\\ProgramData").rstrip("\\") + "\\" + DOWNLOADS_SUFFIX)
        downloads.parent.mkdir(parents=True)
        if case.downloads == "folder":
            downloads.mkdir(mode=0o700)  # only its owner: reads back unlike the program-files folder
        elif case.downloads == "file":
            downloads.write_bytes(b"not a folder\n")
        if not case.program_files:
            self.unix_path(PROGRAM_FILES).rename(hidden)

    def snapshot(self):
        """Every path outside Wine's own folders, with its kind, mode and content."""
        state = {}
        for root, dirs, files in os.walk(self.drive_c):
            if Path(root) == self.drive_c:
                dirs[:] = [d for d in dirs if d not in ("windows", "users")]
            for name in dirs + files:
                path = Path(root, name)
                info = path.lstat()
                digest = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else ""
                state[str(path.relative_to(self.drive_c))] = (oct(info.st_mode), digest)
        return state


def view_root(view):
    return "Software\\Wow6432Node" if view == 32 else "Software"


TRACE = re.compile(r"^[0-9a-f]+:trace:advapi:(GetNamedSecurityInfoW|SetNamedSecurityInfoW) L\"(.*?)\" (.*)$")
WINE_DEBUG_LINE = re.compile(r"^[0-9a-f]+:(trace|fixme|err|warn):")


def security_calls(stderr):
    """The traced security calls, pointers shown only as null or set."""
    calls = []
    for line in stderr.decode("utf-8", "replace").splitlines():
        match = TRACE.match(line)
        if match:
            function, path, rest = match.groups()
            fields = rest.split()
            pointers = ["null" if int(p, 16) == 0 else "set" for p in fields[2:]]
            calls.append(" ".join([function, path.replace("\\\\", "\\"), *fields[:2], *pointers]))
    return calls


def own_stderr(stderr):
    return b"".join(line for line in stderr.splitlines(keepends=True)
                    if not WINE_DEBUG_LINE.match(line.decode("utf-8", "replace")))


def expected_calls(case):
    if not case.repaired:
        return []
    return [f"GetNamedSecurityInfoW {PROGRAM_FILES} 1 4 null null set null set",
            f"SetNamedSecurityInfoW {case.repaired} 1 4 null null null null",
            f"SetNamedSecurityInfoW {case.repaired} 1 4 null null set null"]


def run_case(machine, case, exe, helper):
    machine.prepare(case)
    before = machine.snapshot()
    problems = []
    for run in range(case.runs):
        result = machine.wine(exe, *case.args, debug="-all,trace+advapi")
        seen = {"stdout": result.stdout, "stderr": own_stderr(result.stderr), "exit status": result.returncode,
                "security calls": security_calls(result.stderr)}
        wanted = {"stdout": case.out, "stderr": b"", "exit status": case.status,
                  "security calls": expected_calls(case)}
        problems += [f"run {run + 1}: {what}: got {seen[what]!r}, want {wanted[what]!r}"
                     for what in wanted if seen[what] != wanted[what]]

    after = machine.snapshot()
    if case.repaired:
        # Only the repaired folder's access list (kept by Wine as its mode) may change.
        changed = machine.unix_path(case.repaired).relative_to(machine.drive_c)
        before.pop(str(changed))
        after.pop(str(changed))
        lists = machine.wine(helper, "show", PROGRAM_FILES, case.repaired)
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
        shutil.rmtree(machine.prefix, ignore_errors=True)
        return machine.wine("cmd", "/c", "exit").returncode
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
