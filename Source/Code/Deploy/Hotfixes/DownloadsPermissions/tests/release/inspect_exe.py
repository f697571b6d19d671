#!/usr/bin/python3
"""Reads the built executable as Windows will and checks what it declares.

  inspect_exe.py EXE VERSION    (VERSION as the project declares it: 1.2.3.4)
"""
import sys
import xml.etree.ElementTree as ElementTree

import pefile

SYSTEM_LIBRARIES = {"kernel32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
# Every system function the executable may import: all are on Windows 5.2.
# Anything newer must be looked up at run time, or the executable would not
# even start there.
ON_WINDOWS_5_2 = {
    "kernel32.dll": {"CloseHandle", "CreateFileW", "DeleteCriticalSection", "EnterCriticalSection",
                     "GetCurrentProcess", "GetFileAttributesW", "GetFileInformationByHandle", "GetLastError", "GetModuleHandleW",
                     "GetProcAddress", "GetStartupInfoW", "InitializeCriticalSection", "LeaveCriticalSection",
                     "LocalAlloc", "LocalFree", "SetUnhandledExceptionFilter", "Sleep", "TlsGetValue", "VirtualProtect",
                     "VirtualQuery", "__C_specific_handler"},
    "advapi32.dll": {"AdjustTokenPrivileges", "GetKernelObjectSecurity", "GetNamedSecurityInfoW",
                     "LookupPrivilegeValueW", "OpenProcessToken", "RegCloseKey", "RegOpenKeyExW", "RegQueryValueExW",
                     "SetKernelObjectSecurity"},
    "shell32.dll": {"SHGetFolderPathW"},
}
RT_MANIFEST, RT_VERSION = 24, 16
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def resources(pe, kind):
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id == kind:
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    yield pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def main(path, version):
    pe = pefile.PE(path)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    manifests = list(resources(pe, RT_MANIFEST))
    manifest = ElementTree.fromstring(manifests[0]) if len(manifests) == 1 else None
    execution = manifest.find(f".//{ASM_V3}requestedExecutionLevel") if manifest is not None else None
    identity = manifest.find(f"{ASM_V1}assemblyIdentity") if manifest is not None else None
    numbers = [int(part) for part in version.split(".")]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    strings = version_strings(pe)
    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    too_new = sorted(f"{entry.dll.decode()}!{symbol.name.decode()}" for entry in pe.DIRECTORY_ENTRY_IMPORT
                     if entry.dll.decode().lower() in ON_WINDOWS_5_2 for symbol in entry.imports
                     if symbol.name and symbol.name.decode() not in ON_WINDOWS_5_2[entry.dll.decode().lower()])
    runtime = {symbol.name.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll.lower() == b"msvcrt.dll"
               for symbol in entry.imports if symbol.name}

    checks = [
        ("machine", header.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]),
        ("PE32+", optional.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
        ("subsystem", optional.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]),
        ("operating-system version", (optional.MajorOperatingSystemVersion,
                                      optional.MinorOperatingSystemVersion), (5, 2)),
        ("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), (5, 2)),
        ("manifest resources", len(manifests), 1),
        ("execution level", execution is not None and execution.get("level"), "asInvoker"),
        ("uiAccess", execution is not None and execution.get("uiAccess"), "false"),
        ("manifest version", identity is not None and identity.get("version"), version),
        ("binary file version", fixed and (fixed.FileVersionMS, fixed.FileVersionLS),
         (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])),
        ("binary product version", fixed and (fixed.ProductVersionMS, fixed.ProductVersionLS),
         (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])),
        ("file version text", strings.get("FileVersion"), version),
        ("product version text", strings.get("ProductVersion"), version),
        ("descriptive strings present", all(strings.get(k) for k in
                                            ("CompanyName", "ProductName", "FileDescription", "LegalCopyright")),
         True),
        ("imports outside Windows", sorted(imports - SYSTEM_LIBRARIES), []),
        ("imports newer than Windows 5.2", too_new, []),
        # The system C runtime formats the messages, not a copy linked in.
        ("system wprintf and fwprintf", {"wprintf", "fwprintf"} <= runtime, True),
        ("debug directory", optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]].Size,
         0),
        ("debug sections", [s.Name.rstrip(b"\0").decode() for s in pe.sections if s.Name.startswith(b".debug")],
         []),
        ("symbol table", (header.PointerToSymbolTable, header.NumberOfSymbols), (0, 0)),
        ("link timestamp (reproducible)", header.TimeDateStamp, 0),
    ]
    failed = [(name, got, want) for name, got, want in checks if got != want]
    for name, got, want in failed:
        print(f"{name}: got {got!r}, want {want!r}")
    print(f"{path}: {len(checks) - len(failed)} of {len(checks)} properties as they should be")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
