// Gives the device agent's Downloads folder the access list (DACL) of the
// 32-bit program-files folder. One straight run that ends with status 0 only
// when the folder carries the new list or there is nothing to repair (no
// agent, no special folder, no program-files folder, or no Downloads at the
// end of a way of plain folders), leaving the machine as it was wherever a
// step fails. Any other status is a repair that did not happen:
//   681 (ERROR_STOPPED_ON_SYMLINK): the way to Downloads is a link, or it
//       cannot be verified; nothing was written;
//   267 (ERROR_DIRECTORY): Downloads is not a folder; nothing was written;
//   the error opening Downloads (32: another program holds it in a way that
//       conflicts; 5: the account may not change it); nothing was written;
//   the error reading the source list, 1350 (ERROR_NO_SECURITY_ON_OBJECT)
//       when the source has none; nothing was written;
//   the second write's error: the folder may be closed, or not carry the
//       new list everywhere inside it.
// Each ends with one line on standard error.
#include "DownloadsPermissions.h"

#include <iterator>

namespace {

constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Morvane Security\\Dovrix\\Kelto Agent";
constexpr wchar_t kAgentPathValue[] = L"Path";
// The agent registers itself as a 32-bit program, so only that view counts.
constexpr REGSAM kAgentKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
constexpr wchar_t kDownloadsSuffix[] = L"Morvane Security\\Morvane Devices Agent\\Downloads";
constexpr size_t kDownloadsSuffixChars = std::size(kDownloadsSuffix) - 1;
// The folders on the way, as lengths of the suffix: "Morvane Security" and
// "Morvane Security\Morvane Devices Agent".
constexpr size_t kWayChars[] = {16, 38};
static_assert(kDownloadsSuffix[kWayChars[0]] == L'\\' && kDownloadsSuffix[kWayChars[1]] == L'\\',
              "each folder on the way ends where the suffix has a backslash");
constexpr int kStoppedOnLink = 681;       // ERROR_STOPPED_ON_SYMLINK
constexpr int kNotADirectory = 267;       // ERROR_DIRECTORY
constexpr int kNoSecurity = 1350;         // ERROR_NO_SECURITY_ON_OBJECT
constexpr DWORD kUntrustedMountPoint = 448;  // ERROR_UNTRUSTED_MOUNT_POINT: Redirection Guard refused a junction
constexpr wchar_t kThroughLink[] = L"the way to it is a link";
constexpr wchar_t kUnverifiable[] = L"the way to it cannot be verified";
constexpr wchar_t kHeldOpen[] = L"it is held open by another program";
constexpr wchar_t kUnopenable[] = L"it cannot be opened";
constexpr wchar_t kNotAFolder[] = L"it is not a folder";
constexpr wchar_t kNoSourceList[] = L"the program-files folder has no access list";

bool IsExistingFolder(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The current path of a special folder; its length, or 0 when the lookup
// fails or leaves no usable path: empty, or no terminator that later steps
// could stop at.
size_t FindSpecialFolder(int folder, wchar_t (&path)[kPathChars]) {
    if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return 0;
    const wchar_t* end = std::wmemchr(path, L'\0', kPathChars);
    return end ? static_cast<size_t>(end - path) : 0;
}

// Functions that Windows 5.2 lacks are looked up at run time, so that the
// executable still loads there; null where this Windows has none.
template <typename Function>
Function LookUpKernel32(const char* name) {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (!kernel32)
        return nullptr;
    // void (*)() converts to and from any function pointer type.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

// Libraries that the shell-folder lookup and the security functions load by
// name come only from System32, never from the tool's own folder; Redirection
// Guard stops the process following junctions made by non-administrators,
// also inside Windows' walk over the folder's children. Older Windows has
// neither; the run is the same without them, so failures are not examined.
void HardenProcess() {
    if (const auto setDefaultDllDirectories =
            LookUpKernel32<decltype(&SetDefaultDllDirectories)>("SetDefaultDllDirectories"))
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (const auto setMitigationPolicy =
            LookUpKernel32<decltype(&SetProcessMitigationPolicy)>("SetProcessMitigationPolicy")) {
        PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY redirectionTrust = {};
        redirectionTrust.EnforceRedirectionTrust = 1;
        setMitigationPolicy(ProcessRedirectionTrustPolicy, &redirectionTrust, sizeof redirectionTrust);
    }
}

// base, then one backslash unless base already ends in one, then the first
// suffixChars of the Downloads suffix (all of it by default). Its length, or
// 0 when base is empty or the result would not fit.
size_t AppendDownloadsSuffix(const wchar_t* base, size_t baseChars, wchar_t (&path)[kPathChars],
                             size_t suffixChars = kDownloadsSuffixChars) {
    if (baseChars == 0)
        return 0;
    const bool needsSeparator = base[baseChars - 1] != L'\\';
    if (baseChars + needsSeparator + suffixChars + 1 > kPathChars)
        return 0;
    std::wmemcpy(path, base, baseChars);
    if (needsSeparator)
        path[baseChars++] = L'\\';
    std::wmemcpy(path + baseChars, kDownloadsSuffix, suffixChars);
    path[baseChars + suffixChars] = L'\0';
    return baseChars + suffixChars;
}

// Backup and restore privileges, where the account holds them, make Windows
// grant an open that asks for backup semantics (as OpenDownloads does)
// whatever the folder's own list says: a folder left closed by an
// interrupted run, or closed to SYSTEM by whoever could change its list, is
// still repaired. A token without them is left as it is; the open then tells.
void EnableBackupAndRestore() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &opened))
        return;
    const UniqueHandle token(opened);
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES privilege = {};
        privilege.PrivilegeCount = 1;
        privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // Succeeds, with ERROR_NOT_ALL_ASSIGNED, where the token lacks it.
        if (LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid))
            AdjustTokenPrivileges(token.get(), FALSE, &privilege, sizeof privilege, nullptr, nullptr);
    }
}

// The one handle both writes go through: the folder itself, never what a
// link there points to, with the rights the writes need (MAXIMUM_ALLOWED
// would make Windows skip propagation to children) and no delete sharing.
// Sharing binds only opens that ask for data access, so the list right is
// asked for too: with it, no open for delete (rename, removal) succeeds
// while the handle is held, and an earlier open that holds delete access
// or does not share reading makes this one fail. Backup semantics, with the
// privileges enabled, grant these rights whatever the folder's list says.
UniqueHandle OpenDownloads(const wchar_t* path) {
    return TakeHandle(CreateFileW(path, READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Where a handle really leads, every link resolved. Its length, or 0 when
// the platform cannot tell or the path does not fit.
size_t GetFinalPath(HANDLE handle, wchar_t (&path)[kPathChars]) {
    const auto getFinalPathNameByHandle =
        LookUpKernel32<decltype(&GetFinalPathNameByHandleW)>("GetFinalPathNameByHandleW");
    if (!getFinalPathNameByHandle)
        return 0;
    // A result as large as the buffer is the size it would have needed.
    const DWORD chars = getFinalPathNameByHandle(handle, path, kPathChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (chars == 0 || chars >= kPathChars)
        return 0;
    path[chars] = L'\0';
    return chars;
}

// Why a handle is not the real folder, or null when it is: a folder and no
// link, lying really where the application-data folder really lies, followed
// by the first suffixChars of the suffix. Links at or above the
// application-data folder are the administrator's and count as followed.
const wchar_t* WhyNotTheRealFolder(HANDLE folder, const wchar_t* appDataPath,
                                   size_t suffixChars = kDownloadsSuffixChars) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(folder, &information))
        return kUnverifiable;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return kThroughLink;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return kUnverifiable;  // swapped for something else since the folder test

    const UniqueHandle appData =
        TakeHandle(CreateFileW(appDataPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!appData)
        return kUnverifiable;
    wchar_t appDataFinal[kPathChars];
    wchar_t expected[kPathChars];
    wchar_t actual[kPathChars];
    const size_t appDataFinalChars = GetFinalPath(appData.get(), appDataFinal);
    const size_t expectedChars = AppendDownloadsSuffix(appDataFinal, appDataFinalChars, expected, suffixChars);
    if (expectedChars == 0)
        return kUnverifiable;
    const size_t actualChars = GetFinalPath(folder, actual);
    if (actualChars == 0)
        return kUnverifiable;
    const auto compareStringOrdinal = LookUpKernel32<decltype(&CompareStringOrdinal)>("CompareStringOrdinal");
    if (!compareStringOrdinal)
        return kUnverifiable;
    // Whole lengths as reported, so that no stray terminator cuts either short.
    const bool same = compareStringOrdinal(expected, static_cast<int>(expectedChars), actual,
                                           static_cast<int>(actualChars), TRUE) == CSTR_EQUAL;
    return same ? nullptr : kThroughLink;
}

// A failure the platform reported without saying why still ends the run
// with a status that is not success.
int FailureStatus(DWORD error) { return error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : static_cast<int>(error); }

// One line on standard error, and status as the exit status. The path is
// shown in printable ASCII, '?' for anything else: in the default locale the
// C runtime would end the line at the first character it cannot convert, and
// the line must always be whole.
int ReportNotRepaired(const wchar_t* downloadsPath, const wchar_t* reason, int status) {
    wchar_t shown[kPathChars];
    size_t chars = 0;
    for (; downloadsPath[chars] != L'\0'; ++chars) {
        const wchar_t unit = downloadsPath[chars];
        shown[chars] = unit >= 0x20 && unit < 0x7F ? unit : L'?';
    }
    shown[chars] = L'\0';
    fwprintf(stderr, L"%ls was not repaired: %ls. Error %d\n", shown, reason, status);
    return status;
}

// Why Downloads, which cannot be found, is not simply missing, or null when
// it is: each folder on the way to it from the application-data folder,
// opened as itself, is a plain folder where it belongs, up to one that does
// not exist. A link on the way that leads nowhere is tampering all the same.
const wchar_t* WhyNotSimplyMissing(const wchar_t* appDataPath) {
    wchar_t way[kPathChars];
    for (const size_t suffixChars : kWayChars) {
        if (AppendDownloadsSuffix(appDataPath, std::wcslen(appDataPath), way, suffixChars) == 0)
            return kUnverifiable;
        const UniqueHandle folder =
            TakeHandle(CreateFileW(way, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
        if (!folder) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return nullptr;
            return error == kUntrustedMountPoint ? kThroughLink : kUnverifiable;
        }
        if (const wchar_t* reason = WhyNotTheRealFolder(folder.get(), appDataPath, suffixChars))
            return reason;
    }
    return nullptr;
}

// Downloads could not be found or opened with error. Not found is for the
// way to tell; a junction Redirection Guard refused is a link; anything else,
// a sharing conflict or no right to change the folder above all, is a repair
// that did not happen.
int WhenNotReached(const wchar_t* downloadsPath, const wchar_t* appDataPath, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        const wchar_t* reason = WhyNotSimplyMissing(appDataPath);
        return reason ? ReportNotRepaired(downloadsPath, reason, kStoppedOnLink) : 0;
    }
    if (error == kUntrustedMountPoint)
        return ReportNotRepaired(downloadsPath, kThroughLink, kStoppedOnLink);
    return ReportNotRepaired(downloadsPath, error == ERROR_SHARING_VIOLATION ? kHeldOpen : kUnopenable,
                             FailureStatus(error));
}

// Downloads failed its folder test: gone or never there, or something that
// is no folder (a link to a file is a link).
int WhenNotAFolder(const wchar_t* downloadsPath, const wchar_t* appDataPath, DWORD attributes, DWORD error) {
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return WhenNotReached(downloadsPath, appDataPath, error);
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return ReportNotRepaired(downloadsPath, kThroughLink, kStoppedOnLink);
    return ReportNotRepaired(downloadsPath, kNotAFolder, kNotADirectory);
}

// One line on standard error naming the call that failed, and status as the
// exit status.
int ReportFailedCall(const wchar_t* call, int status) {
    fwprintf(stderr, L"%ls() failed. Error %d\n", call, status);
    return status;
}

// First an empty list, which closes the folder to everyone, then the
// source's list: the folder is never open, and the second write is still a
// real change that Windows propagates to the children. Only the second
// write's result tells whether the folder carries the new list: status 0
// when it does, else its error (the folder may be left closed, or not
// everything inside it may carry the list).
int WriteAccessList(HANDLE downloads, PACL dacl) {
    ACL closed = {};
    if (!InitializeAcl(&closed, sizeof closed, ACL_REVISION))
        return ReportFailedCall(L"InitializeAcl", FailureStatus(GetLastError()));
    SetSecurityInfo(downloads, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &closed, nullptr);
    const DWORD copyStatus =
        SetSecurityInfo(downloads, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    return copyStatus == ERROR_SUCCESS ? 0 : ReportFailedCall(L"SetSecurityInfo", static_cast<int>(copyStatus));
}

// Reads the source folder's list and writes it through the Downloads
// handle. A list that cannot be read leaves the folder as it is, and so
// does a source with no list at all, which would open the folder to
// everyone; both are repairs that did not happen.
int CopyAccessList(const wchar_t* sourcePath, const wchar_t* downloadsPath, HANDLE downloads) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD readStatus = GetNamedSecurityInfoW(sourcePath, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, &dacl, nullptr, &descriptor);
    if (readStatus != ERROR_SUCCESS)
        return ReportFailedCall(L"GetNamedSecurityInfo", FailureStatus(readStatus));
    const UniqueLocalMemory sourceSecurity(descriptor);  // dacl points into it
    if (!dacl)
        return ReportNotRepaired(downloadsPath, kNoSourceList, kNoSecurity);
    return WriteAccessList(downloads, dacl);
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
    HardenProcess();
    if (!IsAgentInstalled())
        return 0;

    wchar_t source[kPathChars];
    if (FindSpecialFolder(CSIDL_PROGRAM_FILESX86, source) == 0 || !IsExistingFolder(source))
        return 0;

    wchar_t appData[kPathChars];
    wchar_t downloadsPath[kPathChars];
    const size_t appDataChars = FindSpecialFolder(CSIDL_COMMON_APPDATA, appData);
    if (AppendDownloadsSuffix(appData, appDataChars, downloadsPath) == 0)
        return 0;

    EnableBackupAndRestore();
    // The agent makes this folder; the tool never does.
    const DWORD attributes = GetFileAttributesW(downloadsPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return WhenNotAFolder(downloadsPath, appData, attributes, GetLastError());

    const UniqueHandle downloads = OpenDownloads(downloadsPath);
    if (!downloads)
        return WhenNotReached(downloadsPath, appData, GetLastError());
    if (const wchar_t* reason = WhyNotTheRealFolder(downloads.get(), appData))
        return ReportNotRepaired(downloadsPath, reason, kStoppedOnLink);
    return CopyAccessList(source, downloadsPath, downloads.get());
}
