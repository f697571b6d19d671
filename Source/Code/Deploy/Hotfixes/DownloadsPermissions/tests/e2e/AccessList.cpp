// Test helper, never shipped: shows or sets a folder's access list in SDDL.
//   AccessList show PATH...      one line per path: the DACL as SDDL
//   AccessList set PATH SDDL     replaces the DACL with the one in SDDL
//   AccessList hold PATH ACCESS SHARE   opens the folder with those rights
//                                and sharing (hexadecimal), says "held", and
//                                keeps it open until standard input ends
#include "../../Platform.h"

#include <sddl.h>

namespace {

int Fail(const wchar_t* what, DWORD status) {
    fwprintf(stderr, L"%ls failed: %lu\n", what, status);
    return 1;
}

int Show(const wchar_t* path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return Fail(L"GetNamedSecurityInfoW", status);
    const UniqueLocalMemory owned(descriptor);
    wchar_t* sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &sddl, nullptr))
        return Fail(L"ConvertSecurityDescriptorToStringSecurityDescriptorW", GetLastError());
    const UniqueLocalMemory ownedText(sddl);
    wprintf(L"%ls\n", sddl);
    return 0;
}

int Set(wchar_t* path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return Fail(L"ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
    const UniqueLocalMemory owned(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return Fail(L"GetSecurityDescriptorDacl", GetLastError());
    const DWORD status = SetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               dacl, nullptr);
    return status == ERROR_SUCCESS ? 0 : Fail(L"SetNamedSecurityInfoW", status);
}

int Hold(const wchar_t* path, const wchar_t* access, const wchar_t* share) {
    const UniqueHandle held = TakeHandle(CreateFileW(path, wcstoul(access, nullptr, 16), wcstoul(share, nullptr, 16),
                                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!held)
        return Fail(L"CreateFileW", GetLastError());
    wprintf(L"held\n");
    fflush(stdout);
    while (getwchar() != WEOF) {
    }
    return 0;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t* argv[]) {
    if (argc >= 3 && wcscmp(argv[1], L"show") == 0) {
        int status = 0;
        for (int i = 2; i < argc; ++i)
            status |= Show(argv[i]);
        return status;
    }
    if (argc == 4 && wcscmp(argv[1], L"set") == 0)
        return Set(argv[2], argv[3]);
    if (argc == 5 && wcscmp(argv[1], L"hold") == 0)
        return Hold(argv[2], argv[3], argv[4]);
    fwprintf(stderr, L"usage: AccessList show PATH... | set PATH SDDL | hold PATH ACCESS SHARE\n");
    return 2;
}
