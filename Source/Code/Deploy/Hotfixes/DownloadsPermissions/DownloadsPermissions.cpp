// Gives the device agent's Downloads folder the access list (DACL) of the
// 32-bit program-files folder. One straight run: every examined step that
// fails ends it with status 0, leaving the machine as it was.
#include "DownloadsPermissions.h"

#include <iterator>

namespace {

constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Morvane Security\\Dovrix\\Kelto Agent";
constexpr wchar_t kAgentPathValue[] = L"Path";
// The agent registers itself as a 32-bit program, so only that view counts.
constexpr REGSAM kAgentKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
constexpr wchar_t kDownloadsSuffix[] = L"Morvane Security\\Morvane Devices Agent\\Downloads";
constexpr size_t kDownloadsSuffixChars = std::size(kDownloadsSuffix) - 1;

bool IsExistingFolder(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Length of the path a folder lookup left in its buffer; 0 when there is no
// usable path: empty, or no terminator that later steps could stop at.
size_t PathLength(const wchar_t (&path)[kPathChars]) {
    const wchar_t* end = std::wmemchr(path, L'\0', kPathChars);
    return end ? static_cast<size_t>(end - path) : 0;
}

}  // namespace

bool IsAgentInstalled() {
    HKEY openedKey = nullptr;
    const LSTATUS openStatus =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, kAgentKeyAccess, &openedKey);
    if (openStatus != ERROR_SUCCESS) {
        wprintf(L"RegOpenKeyEx() failed. Error %d\n", static_cast<int>(openStatus));
        return false;
    }
    const UniqueKey agentKey(openedKey);

    // One zeroed code unit past what the query may fill, so the value reads as
    // text even when the registry hands it back without a terminator.
    wchar_t agentPath[kPathChars + 1] = {};
    DWORD size = kPathChars * sizeof(wchar_t);
    if (RegQueryValueExW(agentKey.get(), kAgentPathValue, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(agentPath), &size) != ERROR_SUCCESS)
        return false;
    return IsExistingFolder(agentPath);
}

extern "C" int wmain(int, wchar_t*[], wchar_t*[]) {
    if (!IsAgentInstalled())
        return 0;

    wchar_t source[kPathChars];
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, source) != S_OK)
        return 0;
    if (PathLength(source) == 0 || !IsExistingFolder(source))
        return 0;

    wchar_t target[kPathChars];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, target) != S_OK)
        return 0;
    size_t targetChars = PathLength(target);
    if (targetChars == 0)
        return 0;
    const bool needsSeparator = target[targetChars - 1] != L'\\';
    if (targetChars + needsSeparator + kDownloadsSuffixChars + 1 > kPathChars)
        return 0;
    if (needsSeparator)
        target[targetChars++] = L'\\';
    std::wmemcpy(target + targetChars, kDownloadsSuffix, kDownloadsSuffixChars + 1);
    // The agent owns this folder; where it is missing there is nothing to repair.
    if (!IsExistingFolder(target))
        return 0;

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(source, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return 0;
    const UniqueLocalMemory sourceSecurity(descriptor);  // dacl points into it

    const DWORD clearStatus = SetNamedSecurityInfoW(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                    nullptr, nullptr, nullptr, nullptr);
    const DWORD copyStatus = SetNamedSecurityInfoW(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                   nullptr, nullptr, dacl, nullptr);
    // A folder with no access list is open to everyone: if only the first
    // write landed, the machine is less safe than before and must not report
    // success. When both fail the account simply lacks the rights.
    if (clearStatus == ERROR_SUCCESS && copyStatus != ERROR_SUCCESS) {
        fwprintf(stderr, L"SetNamedSecurityInfo() failed. Error %d\n", static_cast<int>(copyStatus));
        return static_cast<int>(copyStatus);
    }
    return 0;
}
