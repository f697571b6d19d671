#!/usr/bin/python3
"""End-to-end cases: the shipped executable under Wine, on prepared machines.

Each case sets up one machine state in a shared Wine prefix (registry through
a .reg import, folders, Unix symbolic and hard links under drive_c), runs the
executable, and checks what the case promises:
- its exit status, and its standard output and standard error byte for byte;
- what it wrote: the SetKernelObjectSecurity calls Wine's relay channel
  shows (only the calls made from the executable itself), each through a
  handle the tool opened that leads to the real Downloads folder (its two
  writes first) or to an item inside it (each once, a folder before what it
  holds); none where the case writes nothing; and that Downloads then
  carries the program-files folder's list, as the AccessList helper reads
  both;
- that every item written now lets everyone read it, as the program-files
  folder's list passes on, where before it did not (Wine keeps a list as the
  item's Unix mode: everyone's read right is o+r);
- that nothing else on the machine changed (every path outside Wine's own
  folders, with its kind, mode, extended attributes and content);
- order only where order is the point: the privileges switched (an
  AdjustTokenPrivileges call) after each open and before anything is read
  or written.
The repair case also keeps the whole list of calls, as a record.

A handle is named by the order the tool opened it (H1, H2, ...; CreateFileW,
or NtCreateFile, whose handle the relay does not show: it is named where the
tool first uses it). The relay shows arguments, not what a call wrote back,
so where a handle leads is taken from the path GetFinalPathNameByHandleW gave
the tool for it, as the relay shows that buffer when the tool next compares
it (CompareStringOrdinal, with the length the first call returned); for
NtCreateFile, from the name and the root handle that Wine's +file channel
shows inside the call: the name, in the folder the root handle leads to.

The prefix sees only itself (W --isolated): the executable and the helper
are copied into its C:.

  run_e2e.py --list                       the case names
  run_e2e.py --wine-run W --prefix P --setup       a fresh prefix with a resident server
  run_e2e.py --wine-run W --prefix P --exe E --helper H --case NAME
  run_e2e.py --wine-run W --prefix P --cleanup
W is the project's tools/wine-run.sh.

What Wine 8 shows differently from Windows: a Unix symbolic link is listed
as a reparse point without a tag (so a link inside Downloads is left as "a
reparse point"), and opening one by path follows it even when asked to open
the link itself; a Unix hard link
counts as a second name. This Wine keeps a list only as the item's Unix mode
(which the AccessList helper reads back, every folder's entries marked to be
passed on), checks no privilege on opening a file, and the relay shows no
privilege the tool switched, only that it called AdjustTokenPrivileges and
when.
"""
import argparse
import difflib
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
VICTIM = "C:\\Victim"  # a folder that only its owner may enter, behind planted links
SECOND_NAME = VICTIM + "\\report.txt"  # the other name of a file planted inside Downloads
# The functions whose calls the cases check, traced only when the tool makes them.
WATCHED = ["kernel32." + name for name in ("SetDefaultDllDirectories", "GetFileAttributesW", "CreateFileW",
                                           "GetFileInformationByHandle",
                                           "GetFileInformationByHandleEx", "GetFinalPathNameByHandleW",
                                           "CompareStringOrdinal", "CloseHandle")]
WATCHED += ["advapi32." + name for name in ("GetNamedSecurityInfoW", "SetNamedSecurityInfoW", "SetSecurityInfo",
                                            "GetKernelObjectSecurity", "SetKernelObjectSecurity",
                                            "OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges")]
WATCHED += ["ntdll.NtCreateFile", "ntdll.NtQueryInformationFile"]


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
# Why a run ends without writing: the line's words after "<Downloads> was not
# repaired: ", and the status.
THROUGH_LINK = ("the way to it is a link", 681)
NOT_A_FOLDER = ("it is not a folder", 267)
HELD_OPEN = ("it is held open by another program", 32)
WAY_HELD_OPEN = ("a folder on the way to it is held open by another program", 32)
# What an agent leaves in Downloads, for the walk to repair: folders, then files, below Downloads.
TREE = (("logs",), ("logs\\agent.log", "setup.msi"))


# The whole run of a repair, as a record: the calls the executable makes,
# in order, on a machine with the agent and an ordinary Downloads folder.
REPAIR_RECORD = [
    # Hardening, the agent's Path (the program-files folder), the program-files folder.
    "SetDefaultDllDirectories(800) = 1",
    r"GetFileAttributesW(C:\Program Files (x86)) = 10",
    r"GetFileAttributesW(C:\Program Files (x86)) = 10",
    # Backup and restore on (both LUIDs in one change).
    "OpenProcessToken(20) = 1",
    "LookupPrivilegeValueW(0, SeBackupPrivilege) = 1",
    "LookupPrivilegeValueW(0, SeRestorePrivilege) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    # The way held: ProgramData by path (where it really lies read once), then each folder found
    # in the listing of the one above, opened by that name relative to it (NtCreateFile: not
    # following a reparse point, backup intent, synchronous, never waiting on an oplock), and
    # checked as lying where ProgramData lies plus its name; the agent's folder also to read its
    # list, Downloads also to read and change its own.
    r"CreateFileW(C:\ProgramData, 100081, 7, 0, 3, 2000000, 0) = H1",
    "GetFinalPathNameByHandleW(H1, 800, 0) = 18 characters",
    "GetFileInformationByHandleEx(H1, restart listing) = 1",
    "CompareStringOrdinal(Morvane Security, Microsoft, 1) = differ",
    "CompareStringOrdinal(Morvane Security, the same, 1) = equal",
    "GetFileInformationByHandleEx(H1, listing) = 0",
    "NtCreateFile(Morvane Security, 100081, 3, 1, 204120) = 0",
    "GetFileInformationByHandle(H2) = 1",
    r"GetFinalPathNameByHandleW(H2, 800, 0) = \\?\C:\ProgramData\Morvane Security",
    r"CompareStringOrdinal(\\?\C:\ProgramData\Morvane Security, the same, 1) = equal",
    "GetFileInformationByHandleEx(H2, restart listing) = 1",
    "CompareStringOrdinal(Morvane Devices Agent, the same, 1) = equal",
    "GetFileInformationByHandleEx(H2, listing) = 0",
    "NtCreateFile(Morvane Devices Agent, 120081, 3, 1, 204120) = 0",
    "GetFileInformationByHandle(H3) = 1",
    r"GetFinalPathNameByHandleW(H3, 800, 0) = \\?\C:\ProgramData\Morvane Security\Morvane Devices Agent",
    r"CompareStringOrdinal(\\?\C:\ProgramData\Morvane Security\Morvane Devices Agent, the same, 1) = equal",
    "GetFileInformationByHandleEx(H3, restart listing) = 1",
    "CompareStringOrdinal(Downloads, the same, 1) = equal",
    "GetFileInformationByHandleEx(H3, listing) = 0",
    "NtCreateFile(Downloads, 160081, 3, 1, 204120) = 0",
    "GetFileInformationByHandle(H4) = 1",
    r"GetFinalPathNameByHandleW(H4, 800, 0) = \\?\C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads",
    r"CompareStringOrdinal(\\?\C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads, the same, 1) = equal",
    # Downloads' path, as Windows resolves it through the folders held, must lead to the folder held: the same file.
    r"CreateFileW(C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads, 80, 7, 0, 3, 2200000, 0) = H5",
    "GetFileInformationByHandle(H5) = 1",
    "GetFileInformationByHandle(H4) = 1",
    "CloseHandle(H5) = 1",
    # Both off, then the source list read, and through their handles what the agent's folder
    # passes on and Downloads' owner.
    "AdjustTokenPrivileges(0, 1c) = 1",
    r"GetNamedSecurityInfoW(C:\Program Files (x86), 1, 4, 0, 0, 0) = 0",
    "GetKernelObjectSecurity(H3, 7) = 1",
    "GetKernelObjectSecurity(H4, 7) = 1",
    # Downloads' two lists through its handle, looked at before each write and after the last: still no link.
    "GetFileInformationByHandle(H4) = 1",
    "SetKernelObjectSecurity(H4, 4) = 1",
    "GetFileInformationByHandle(H4) = 1",
    "SetKernelObjectSecurity(H4, 4) = 1",
    "GetFileInformationByHandle(H4) = 1",
    # The walk, depth first, in the order Wine lists (by name): each item opened by its name
    # relative to its held folder, with both privileges on for the open and the look at it (a
    # folder to be listed and held, a file only to read and change its list), judged on that
    # handle: no reparse point, the kind listed, and its one name there. Wine does not answer a
    # file's names (NtQueryInformationFile, FileHardLinkInformation: not implemented), so the
    # number of names and a second open of the name, by file ID, stand in. Then its list read
    # and its new one written through it: logs, logs\agent.log, setup.msi.
    "GetFileInformationByHandleEx(H4, restart listing) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "NtCreateFile(logs, 160081, 3, 1, 204120) = 0",
    "GetFileInformationByHandle(H6) = 1",
    "NtQueryInformationFile(H6, 2e) = c0000002",
    "NtCreateFile(logs, 100080, 7, 1, 204120) = 0",
    "GetFileInformationByHandle(H7) = 1",
    "CloseHandle(H7) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "GetKernelObjectSecurity(H6, 7) = 1",
    "SetKernelObjectSecurity(H6, 4) = 1",
    "GetFileInformationByHandleEx(H6, restart listing) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "NtCreateFile(agent.log, 160080, 7, 1, 204120) = 0",
    "GetFileInformationByHandle(H8) = 1",
    "NtQueryInformationFile(H8, 2e) = c0000002",
    "NtCreateFile(agent.log, 100080, 7, 1, 204120) = 0",
    "GetFileInformationByHandle(H9) = 1",
    "CloseHandle(H9) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "GetKernelObjectSecurity(H8, 7) = 1",
    "SetKernelObjectSecurity(H8, 4) = 1",
    "CloseHandle(H8) = 1",
    "GetFileInformationByHandleEx(H6, listing) = 0",
    "CloseHandle(H6) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "NtCreateFile(setup.msi, 160080, 7, 1, 204120) = 0",
    "GetFileInformationByHandle(H10) = 1",
    "NtQueryInformationFile(H10, 2e) = c0000002",
    "NtCreateFile(setup.msi, 100080, 7, 1, 204120) = 0",
    "GetFileInformationByHandle(H11) = 1",
    "CloseHandle(H11) = 1",
    "AdjustTokenPrivileges(0, 1c) = 1",
    "GetKernelObjectSecurity(H10, 7) = 1",
    "SetKernelObjectSecurity(H10, 4) = 1",
    "CloseHandle(H10) = 1",
    "GetFileInformationByHandleEx(H4, listing) = 0",
    # Everything let go, the way last.
    "CloseHandle(H4) = 1",
    "CloseHandle(H3) = 1",
    "CloseHandle(H2) = 1",
    "CloseHandle(H1) = 1",
    "CloseHandle(other) = 1",
]


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
    case_variant_link: bool = False  # the agent folder renamed in capitals, a link under its own name to it
    link_beside: bool = False  # a link to VICTIM beside Downloads
    link_inside: str = None  # a link to VICTIM at this path below Downloads
    second_name: str = None  # a file at this path below Downloads that is also SECOND_NAME (a hard link)
    lowercase: bool = False  # the agent's folders exist with lowercase names
    held: tuple = None  # (access, share): another program holds Downloads open while the tool runs
    held_at: str = "Downloads"  # or the part of the way that is held instead
    args: tuple = ()
    runs: int = 1
    out: bytes = b""
    repaired: bool = False  # the Downloads folder's access list is rewritten, and each item's inside
    stop: tuple = None  # (reason, status): the run ends with one line and that status, nothing written
    left: tuple = None  # (item, reason): that item inside Downloads left as it was, the rest repaired
    record: list = None  # every watched call, as shown_calls shows them

    def app_data_path(self):
        return self.app_data or PROGRAM_DATA

    def downloads_path(self):
        """The Downloads folder as the tool names it."""
        return self.app_data_path().rstrip("\\") + "\\" + DOWNLOADS_SUFFIX

    def real_downloads(self):
        """Where the Downloads folder really is, links resolved."""
        base = "C:\\Data" if self.app_data_link else self.app_data_path().rstrip("\\")
        parts = [part.lower() for part in SUFFIX_PARTS] if self.lowercase else list(SUFFIX_PARTS)
        return "\\".join([base, *parts])

    def expected_stderr(self):
        downloads = self.downloads_path()
        if self.left:
            item, reason = self.left
            return (f"{downloads} was partly repaired: 1 item inside it was left as it was, "
                    f"{downloads}\\{item} ({reason}). Error 681\r\n").encode()
        if not self.stop:
            return b""
        reason, status = self.stop
        return f"{downloads} was not repaired: {reason}. Error {status}\r\n".encode()

    def expected_status(self):
        status = 681 if self.left else self.stop[1] if self.stop else 0
        return status & 0xFF  # Wine hands over only the low byte

    def writes_anything(self):
        return self.repaired or self.left is not None


CASES = [
    Case("repair", repaired=True, record=REPAIR_RECORD),
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
    Case("downloads-is-a-file", downloads="file", stop=NOT_A_FOLDER),
    Case("link-above-downloads-to-an-empty-folder-refused", moved_aside=True, stop=THROUGH_LINK),
    Case("program-files-missing", program_files=False),
    Case("app-data-without-trailing-backslash", app_data="C:\\Data", repaired=True),
    Case("app-data-with-trailing-backslash", app_data="C:\\Data\\", repaired=True),
    Case("arguments-ignored", args=("/?", "--dry-run", "C:\\Windows", "", "\u00e9t\u00e9"), repaired=True),
    Case("second-run-repeats-the-repair", runs=2, repaired=True),
    Case("link-at-downloads-refused", link_at="Downloads", stop=THROUGH_LINK),
    Case("link-at-agent-folder-refused", link_at="Morvane Devices Agent", stop=THROUGH_LINK),
    Case("link-at-vendor-folder-refused", link_at="Morvane Security", stop=THROUGH_LINK),
    Case("link-to-a-case-variant-of-the-agent-folder-refused", case_variant_link=True, stop=THROUGH_LINK),
    Case("refusal-repeats-on-a-second-run", link_at="Downloads", runs=2, stop=THROUGH_LINK),
    Case("administrators-link-to-app-data-followed", app_data="C:\\DataLink", app_data_link=True, repaired=True),
    Case("links-elsewhere-in-the-agent-folder-left-alone", link_beside=True, repaired=True),
    Case("link-inside-downloads-left-the-rest-repaired", link_inside="Shortcut", left=("Shortcut", "a reparse point")),
    Case("link-deep-inside-downloads-left-the-rest-repaired", link_inside="a\\b\\link",
         left=("a\\b\\link", "a reparse point")),
    Case("file-with-a-second-name-outside-left-the-rest-repaired", second_name="report.txt",
         left=("report.txt", "a file with more than one name")),
    Case("real-names-differ-only-in-case", lowercase=True, repaired=True),
    Case("held-open-for-delete-not-repaired", held=(DELETE, SHARE_ALL), stop=HELD_OPEN),
    Case("held-open-unshared-not-repaired", held=(FILE_LIST_DIRECTORY, 0), stop=HELD_OPEN),
    Case("agent-folder-held-open-not-repaired", held=(DELETE, SHARE_ALL), held_at="Morvane Devices Agent",
         stop=WAY_HELD_OPEN),
    Case("watched-with-list-access-repaired", held=(FILE_LIST_DIRECTORY, SHARE_ALL), repaired=True),
]


class Machine:
    """The shared Wine prefix and what a case may change in it."""

    def __init__(self, wine_run, prefix):
        self.wine_run = str(Path(wine_run).resolve())
        self.prefix = Path(prefix).resolve()
        self.drive_c = self.prefix / "drive_c"

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return self.drive_c.joinpath(*windows_path[3:].rstrip("\\").split("\\"))

    def wine(self, *command, debug="-all"):
        env = dict(os.environ, WINEDEBUG=debug)
        return subprocess.run([self.wine_run, "--isolated", str(self.prefix), *command], env=env, capture_output=True,
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

    def install(self, *programs):
        """Copies the programs into the prefix's C:\\tools; their Windows paths."""
        tools = self.drive_c / "tools"
        tools.mkdir(exist_ok=True)
        assert not (self.prefix / "dosdevices" / "z:").exists(), "the prefix still maps the host's root as Z:"
        for program in programs:
            shutil.copy(program, tools)
        return ["C:\\tools\\" + Path(program).name for program in programs]

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
            # What an agent leaves there, each item only its owner's, for the walk to repair.
            for folder in TREE[0]:
                downloads.joinpath(*folder.split("\\")).mkdir(mode=0o700)
            for file in TREE[1]:
                path = downloads.joinpath(*file.split("\\"))
                path.write_bytes(b"agent's\n")
                path.chmod(0o600)
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
        if case.case_variant_link:
            agent = downloads.parent
            agent.rename(agent.with_name(agent.name.upper()))
            agent.symlink_to(agent.name.upper())
        if case.link_beside or case.link_inside or case.second_name:
            victim.mkdir(mode=0o700)
            (victim / "kept.txt").write_bytes(b"only its owner\n")
        if case.link_beside:
            (downloads.parent / "Cache").symlink_to(victim)
        if case.link_inside:
            link = downloads.joinpath(*case.link_inside.split("\\"))
            for folder in reversed(link.relative_to(downloads).parents[:-1]):
                downloads.joinpath(folder).mkdir(mode=0o700, exist_ok=True)  # only its owner's, as the rest
            link.symlink_to(victim)
        if case.second_name:
            other = self.unix_path(SECOND_NAME)
            other.write_bytes(b"kept under two names\n")
            other.chmod(0o600)
            os.link(other, downloads.joinpath(*case.second_name.split("\\")))
        if not case.program_files:
            self.unix_path(PROGRAM_FILES).rename(hidden)

    def hold(self, helper, path, access, share):
        """Another program holding path open; it lets go when its input is closed."""
        holder = subprocess.Popen([self.wine_run, "--isolated", str(self.prefix), helper, "hold", path, f"{access:x}",
                                   f"{share:x}"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ, WINEDEBUG="-all"))
        said = holder.stdout.readline()
        assert said.strip() == b"held", f"the holder could not open {path}: {said!r}"
        return holder

    def snapshot(self):
        """Every path outside Wine's own folders, with its kind, mode, extended
        attributes (where Wine may keep an access list) and content."""
        state = {}
        for root, dirs, files in os.walk(self.drive_c):
            if Path(root) == self.drive_c:
                dirs[:] = [d for d in dirs if d not in ("windows", "users", "tools")]
            for name in dirs + files:
                path = Path(root, name)
                info = path.lstat()
                if path.is_symlink():
                    digest = os.readlink(path)
                elif path.is_file():
                    digest = hashlib.sha256(path.read_bytes()).hexdigest()
                else:
                    digest = ""
                attributes = tuple(sorted((key, os.getxattr(path, key, follow_symlinks=False))
                                          for key in os.listxattr(path, follow_symlinks=False)))
                state[str(path.relative_to(self.drive_c))] = (oct(info.st_mode), info.st_nlink, attributes, digest)
        return state


def view_root(view):
    return "Software\\Wow6432Node" if view == 32 else "Software"


RELAY = re.compile(r"^[0-9a-f]+:(Call|Ret) +(?:KERNEL32|kernel32|ADVAPI32|advapi32|ntdll)\.(\w+)\((.*)\)"
                   r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
ARGUMENT = re.compile(r'([0-9a-f]+)(?: L"((?:[^"\\]|\\.)*)")?')
ESCAPE = re.compile(r"\\(?:([0-9a-f]{4})|(.))")
UNESCAPED = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}
OPEN_TRACE = re.compile(r'^[0-9a-f]+:trace:file:NtCreateFile handle=\S+ access=\S+ name=L"((?:[^"\\]|\\.)*)" '
                        r'objattr=\S+ root=(\S+)')
OWN_LINE = re.compile(r"^[0-9a-f]+:(Call|Ret|Starting|trace|fixme|err|warn)[ :]")
OPENS = ("CreateFileW", "NtCreateFile")
WRITES = ("SetKernelObjectSecurity", "SetSecurityInfo", "SetNamedSecurityInfoW")
LISTINGS = {0xA: "listing", 0xB: "restart listing"}  # FileIdBothDirectoryInfo, FileIdBothDirectoryRestartInfo
# How each watched call is shown, one letter per argument: v its value (or
# text, for a string), d a 32-bit value (the relay shows whole registers), h a
# handle (named as follow_handles names it; "other" for one the tool did not
# open), c a GetFileInformationByHandleEx class, s a string cut to the length
# in the argument after it ("the same" when it repeats the first); - not
# shown (buffers, lengths and out-pointers: where, not what).
SHOWN = {"SetDefaultDllDirectories": "v", "GetFileAttributesW": "v", "CreateFileW": "vddvddv",
         "NtCreateFile": "-d----ddd--", "NtQueryInformationFile": "h---d", "GetFileInformationByHandle": "h-",
         "GetFileInformationByHandleEx": "hc--", "GetFinalPathNameByHandleW": "h-dd", "CompareStringOrdinal": "s-s-d",
         "CloseHandle": "h", "GetNamedSecurityInfoW": "vvvvv-v-", "SetNamedSecurityInfoW": "vvvvvvv",
         "SetSecurityInfo": "hvvvvvv", "GetKernelObjectSecurity": "hd---", "SetKernelObjectSecurity": "hd-",
         "OpenProcessToken": "-d-", "LookupPrivilegeValueW": "vv-", "AdjustTokenPrivileges": "-d-d--"}


def unescape(text):
    """A string as the relay prints it (Wine's debugstr escapes), as it was."""
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)) if m.group(1) else UNESCAPED.get(m.group(2), m.group(2)),
                      text)


@dataclass
class Call:
    """One watched call the executable itself made, as the relay shows it."""
    function: str
    arguments: list  # (value, text or None) per argument
    result: int
    handle: str = None  # what a successful open returned, or the handle GetFinalPathNameByHandleW was asked about
    final: str = None  # GetFinalPathNameByHandleW: the path it gave, as later read from its buffer
    names: dict = field(default_factory=dict)  # handle value -> name, for the handles open when it was made
    opens: tuple = None  # NtCreateFile: (the name, the root handle's value), as Wine's +file channel shows them


@dataclass
class Opened:
    """A handle the tool opened: how, and where Windows said it leads."""
    how: str
    final: str = None


def tool_calls(stderr, image):
    """The watched calls the executable itself made (their return address
    lies in its image); for NtCreateFile, also the name and root handle
    Wine's +file channel shows inside the call."""
    calls, arguments, opens, opening = [], [], None, False
    for line in stderr.decode("utf-8", "replace").splitlines():
        traced = OPEN_TRACE.match(line)
        if traced and opening:
            opens = (unescape(traced.group(1)), traced.group(2).removeprefix("0x"))
            continue
        match = RELAY.match(line)
        if not match or not image[0] <= int(match.group(5), 16) < image[1]:
            continue
        kind, function, listed, result = match.group(1, 2, 3, 4)
        if kind == "Call":
            arguments = [(value, None if text is None else unescape(text))
                         for value, text in (argument.groups() for argument in ARGUMENT.finditer(listed))]
            opening, opens = function == "NtCreateFile", None
        else:
            calls.append(Call(function, arguments, int(result, 16), opens=opens))
            opening = False
    return calls


def follow_handles(calls):
    """Names the handles the tool opened, H1, H2, ... in the order it opened
    them, and tells where each leads. Returns {name: Opened}, and fills in
    Call.handle, and Call.final of each GetFinalPathNameByHandleW call whose
    buffer the tool then compared."""
    live, opened, filled = {}, {}, {}  # filled: buffer -> the call that wrote a path there
    unnamed = None  # NtCreateFile opened a handle the tool has not used yet: that call
    for call in calls:
        first = call.arguments[0][0].lstrip("0") if call.arguments else ""
        if unnamed and SHOWN.get(call.function, "").startswith("h") and first not in live:
            # Where it leads: the name Wine was given, in the folder its root handle leads to.
            name, root = unnamed.opens or ("?", "")
            through = live.get(root.lstrip("0"))
            leads = opened[through].final if through else None
            opened[f"H{len(opened) + 1}"] = Opened(f"NtCreateFile {name} through {through or 'another handle'}",
                                                   leads and leads + "\\" + name)
            live[first] = f"H{len(opened)}"
            unnamed = None
        call.names = {value.lstrip("0"): live[value.lstrip("0")]
                      for value, _ in call.arguments if value.lstrip("0") in live}
        if call.function == "NtCreateFile":
            unnamed = call if call.result < 0x80000000 else None
        elif call.function in OPENS and call.result not in (0, 0xFFFFFFFFFFFFFFFF):
            call.handle = f"H{len(opened) + 1}"
            opened[call.handle] = Opened(f"CreateFileW {call.arguments[0][1]}")
            live[f"{call.result:x}"] = call.handle
        elif call.function == "CloseHandle":
            live.pop(call.arguments[0][0].lstrip("0"), None)
        elif call.function == "GetFinalPathNameByHandleW" and call.result:
            call.handle = call.names.get(call.arguments[0][0].lstrip("0"))
            filled[call.arguments[1][0]] = call
        elif call.function == "CompareStringOrdinal":
            strings = ((call.arguments[0], call.arguments[1]), (call.arguments[2], call.arguments[3]))
            for (pointer, text), (length, _) in strings:
                writer = filled.pop(pointer, None)
                if writer and text is not None and int(length, 16) == writer.result:
                    writer.final = text[:writer.result]
                    if writer.handle:
                        opened[writer.handle].final = writer.final
    return opened


def shown_calls(calls):
    """Each call as one line of text, handles by name."""
    lines = []
    for call in calls:
        shown = []
        arguments = call.arguments
        for index, (how, (value, text)) in enumerate(zip(SHOWN[call.function], arguments)):
            value = value.lstrip("0") or "0"
            if how == "v":
                shown.append(text if text is not None else value)
            elif how == "d":
                shown.append(f"{int(value, 16) & 0xFFFFFFFF:x}")
            elif how == "h":
                shown.append(call.names.get(value, "other"))
            elif how == "c":
                shown.append(LISTINGS.get(int(value, 16) & 0xFFFFFFFF, value))
            elif how == "s":
                text = (text or "")[:int(arguments[index + 1][0], 16)]
                shown.append("the same" if shown and text == shown[0] else text)
        result = f"{call.result:x}"
        if call.handle and call.function in OPENS:
            result = call.handle
        elif call.function == "CreateFileW" and call.result == 0xFFFFFFFFFFFFFFFF:
            result = "invalid"
        elif call.function == "CompareStringOrdinal":
            result = "equal" if call.result == 2 else "differ"  # 2: CSTR_EQUAL
        elif call.function == "GetFinalPathNameByHandleW" and call.result:
            result = call.final or f"{call.result} characters"
        if call.function == "NtCreateFile" and call.opens:
            shown.insert(0, call.opens[0])
        lines.append(f"{call.function}({', '.join(shown)}) = {result}")
    return lines


def own_stderr(stderr):
    return b"".join(line for line in stderr.splitlines(keepends=True)
                    if not OWN_LINE.match(line.decode("utf-8", "replace")))


def written(calls, opened, lines, downloads):
    """Each write as shown, its handle replaced by the item it leads to where
    the tool opened it and it leads to the real Downloads folder ("Downloads")
    or an item inside it ("Downloads\\name")."""
    writes = []
    for call, line in zip(calls, lines):
        if call.function not in WRITES:
            continue
        name = call.names.get(call.arguments[0][0].lstrip("0"))
        leads = name and opened[name].final
        if leads and (leads == "\\\\?\\" + downloads or leads.startswith("\\\\?\\" + downloads + "\\")):
            line = line.replace(f"({name},", "(Downloads" + leads[4 + len(downloads):] + ",", 1)
        elif name:
            line += f"   [{name}: {opened[name].how}, leads to {leads or 'an unknown place'}]"
        writes.append(line)
    return writes


def written_too_early(calls, lines):
    """Where a list is read or written too early: the privileges must be
    switched after each open, and before anything is read or written."""
    problems, since_open = [], None
    for index, call in enumerate(calls):
        if call.function in OPENS:
            since_open = index
        elif call.function == "AdjustTokenPrivileges" and call.result:
            since_open = None
        elif since_open is not None and call.function in ("GetNamedSecurityInfoW", "GetKernelObjectSecurity") + WRITES:
            problems.append(f"no AdjustTokenPrivileges between {lines[since_open]} and {lines[index]}")
            since_open = None
    return problems


def expected_writes(case):
    """Downloads' two writes, then each item inside it the tool repairs; a
    folder before what it holds, items in the order Wine lists them (by name)."""
    if not case.writes_anything():
        return []
    items = set(TREE[0] + TREE[1])
    for planted in (case.link_inside, case.second_name):
        if planted:
            parts = planted.split("\\")
            items |= {"\\".join(parts[:i]) for i in range(1, len(parts))}
    if case.link_inside:
        items.discard(case.link_inside)
    order = sorted(items, key=lambda item: [part.lower() for part in item.split("\\")])
    return ["SetKernelObjectSecurity(Downloads, 4) = 1"] * 2 + [
        f"SetKernelObjectSecurity(Downloads\\{item}, 4) = 1" for item in order]


def readable(value):
    """A value for a failure message: a list one item a line, else as Python writes it."""
    if isinstance(value, list):
        return "".join("\n    " + item for item in value) if value else "none"
    return repr(value)


def run_case(machine, case, exe, helper):
    machine.prepare(case)
    before = machine.snapshot()
    header = pefile.PE(exe, fast_load=True).OPTIONAL_HEADER
    image = (header.ImageBase, header.ImageBase + header.SizeOfImage)
    exe_path, helper_path = machine.install(exe, helper)
    held = case.real_downloads()
    while case.held and not held.endswith("\\" + case.held_at):
        held = held.rsplit("\\", 1)[0]
    holder = machine.hold(helper_path, held, *case.held) if case.held else None
    writes = expected_writes(case)
    problems = []
    try:
        for run in range(case.runs):
            result = machine.wine(exe_path, *case.args, debug="-all,+relay,+file")
            calls = tool_calls(result.stderr, image)
            opened = follow_handles(calls)
            lines = shown_calls(calls)
            seen = {"exit status": result.returncode, "stdout": result.stdout, "stderr": own_stderr(result.stderr),
                    "writes": written(calls, opened, lines, case.real_downloads())}
            wanted = {"exit status": case.expected_status(), "stdout": case.out, "stderr": case.expected_stderr(),
                      "writes": writes}
            problems += [f"run {run + 1}: {what}: got {readable(seen[what])}, want {readable(wanted[what])}"
                         for what in wanted if seen[what] != wanted[what]]
            problems += [f"run {run + 1}: {problem}" for problem in written_too_early(calls, lines)]
            if case.record is not None and lines != case.record:
                problems.append(f"run {run + 1}: the calls differ from the record:\n" + "\n".join(
                    difflib.unified_diff(case.record, lines, "record", "seen", lineterm="")))
    finally:
        if holder:
            holder.communicate(timeout=60)

    after = machine.snapshot()
    if writes:
        # Only the lists of what was written (kept by Wine as modes) may change:
        # each item inside now lets everyone read it, as the program-files
        # folder's list passes on, where before only its owner could.
        downloads = machine.unix_path(case.real_downloads())
        for line in writes[1:]:
            item = line[len("SetKernelObjectSecurity(Downloads"):-len(", 4) = 1")].lstrip("\\")
            changed = str(downloads.joinpath(*item.split("\\")).relative_to(machine.drive_c)) if item else None
            if not changed:
                continue
            was, now = int(before.pop(changed)[0], 8), int(after.pop(changed)[0], 8)
            if was & 0o004 or not now & 0o004:
                problems.append(f"{item}: mode {oct(was)} before, {oct(now)} after: not everyone's to read after")
        changed = str(downloads.relative_to(machine.drive_c))
        before.pop(changed)
        after.pop(changed)
        lists = machine.wine(helper_path, "show", PROGRAM_FILES, case.real_downloads())
        source, target = lists.stdout.decode().splitlines()
        if source != target:
            problems.append(f"access lists differ after the copy: {source} != {target}")
    if before != after:
        differing = sorted(set(before.items()) ^ set(after.items()))
        problems.append(f"the machine changed outside the access lists written: {differing[:6]}")
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
