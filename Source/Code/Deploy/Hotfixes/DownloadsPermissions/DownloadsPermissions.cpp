// Gives the device agent's Downloads folder the access list (DACL) of the
// 32-bit program-files folder. One straight run that ends with status 0 only
// when the folder carries the new list or there is nothing to repair (no
// agent, no special folder, no program-files folder, or no Downloads, on two
// looks, at the end of a way of plain folders), leaving the machine as it was
// wherever a step fails. Any other status is a repair that did not happen,
// told in one line on standard error; the docs list them all. Nothing is
// written unless the way to Downloads is held, Downloads is opened as itself
// through it, and nothing inside Downloads is a link, a reparse point or a
// file with more than one name.
#include "DownloadsPermissions.h"

#include <iterator>

namespace {

constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Morvane Security\\Dovrix\\Kelto Agent";
constexpr wchar_t kAgentPathValue[] = L"Path";
// The agent registers itself as a 32-bit program, so only that view counts.
constexpr REGSAM kAgentKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
constexpr wchar_t kDownloadsSuffix[] = L"Morvane Security\\Morvane Devices Agent\\Downloads";
constexpr size_t kDownloadsSuffixChars = std::size(kDownloadsSuffix) - 1;
// The three names below the application-data folder, as they end in the
// suffix: "Morvane Security", "Morvane Devices Agent", "Downloads".
constexpr size_t kNameEnds[] = {16, 38, kDownloadsSuffixChars};
static_assert(kDownloadsSuffix[kNameEnds[0]] == L'\\' && kDownloadsSuffix[kNameEnds[1]] == L'\\',
              "each folder on the way ends where the suffix has a backslash");
constexpr int kStoppedOnLink = 681;       // ERROR_STOPPED_ON_SYMLINK
constexpr int kNotADirectory = 267;       // ERROR_DIRECTORY
constexpr int kNoSecurity = 1350;         // ERROR_NO_SECURITY_ON_OBJECT
constexpr int kTooLong = 206;             // ERROR_FILENAME_EXCED_RANGE
constexpr DWORD kUntrustedMountPoint = 448;  // ERROR_UNTRUSTED_MOUNT_POINT: Redirection Guard refused a junction
constexpr wchar_t kThroughLink[] = L"the way to it is a link";
constexpr wchar_t kUnverifiable[] = L"the way to it cannot be verified";
constexpr wchar_t kHeldOpen[] = L"it is held open by another program";
constexpr wchar_t kUnopenable[] = L"it cannot be opened";
constexpr wchar_t kNotAFolder[] = L"it is not a folder";
constexpr wchar_t kMoved[] = L"it moved during the run";
constexpr wchar_t kBecameLink[] = L"it became a link while it was written";
constexpr wchar_t kNoSourceList[] = L"the program-files folder has no access list";
constexpr wchar_t kLinkInside[] = L"a link lies inside it";
constexpr wchar_t kReparsePointInside[] = L"a reparse point lies inside it";
constexpr wchar_t kOtherNamesInside[] = L"a file inside it has more than one name";
constexpr wchar_t kUnexaminableInside[] = L"an item inside it cannot be examined";
constexpr wchar_t kChangedInside[] = L"an item inside it changed while it was checked";
constexpr wchar_t kTooDeepInside[] = L"the tree inside it is too deep to check";
// Folders below Downloads that the look inside follows, one listing buffer
// each on the stack; a deeper tree is not checked, so not written.
constexpr int kMaxDepth = 128;
constexpr DWORD kListingBytes = 2048;  // holds at least one entry: a name has at most 255 units
// How the way and the folders inside are opened to be listed: list and read
// attributes; SYNCHRONIZE, as CreateFileW adds it, for a synchronous listing.
constexpr DWORD kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Held folders share everything but deleting: no rename or removal while held.
constexpr DWORD kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The item itself, never what a link there points to; backup semantics
// open folders, and, with the backup privilege, list and read what shuts the
// account out.
constexpr DWORD kAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Why a run stops without writing, and its exit status; no reason: go on.
struct Stop {
    const wchar_t* reason = nullptr;
    int status = 0;
    explicit operator bool() const { return reason != nullptr; }
};

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
// name come only from System32, never from the tool's own folder. Redirection
// Guard stops the process following junctions made by non-administrators,
// also inside Windows' walk over the folder's children, where the build
// enforces it; a build that does not know the policy refuses it. Where either
// is missing or refused, the run goes on: the tool's own opens never follow
// a link, and the look inside Downloads before writing does not depend on
// the build.
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

// A failure the platform reported without saying why still ends the run
// with a status that is not success.
int FailureStatus(DWORD error) { return error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : static_cast<int>(error); }

// One line on standard error naming the call that failed, and status as the
// exit status.
int ReportFailedCall(const wchar_t* call, int status) {
    fwprintf(stderr, L"%ls() failed. Error %d\n", call, status);
    return status;
}

// The backup and restore privileges override the access check of an open
// that asks for backup semantics. They are switched on only to look (to
// open the way and Downloads whatever their lists say, so that a folder
// closed by an interrupted run or by whoever could change its list is still
// repaired), and off before anything is written, so that the writes and
// Windows' walk over Downloads' children run with the account's own rights.
// Switching them on may fail (a token without them): the opens then tell.
// Switching them off must succeed, whatever they were when the process
// started, or nothing is written.
class Privileges {
public:
    Privileges() {
        HANDLE opened = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &opened)) {
            Fail(L"OpenProcessToken");
            return;
        }
        token_.reset(opened);
        if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &state_.Privileges[0].Luid) ||
            !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &state_.Privileges[1].Luid))
            Fail(L"LookupPrivilegeValue");
    }
    // Sets both; false when they could not be set. Where the token lacks
    // one, it stays off and the change still succeeds.
    bool Set(bool backup, bool restore) {
        if (failedCall_)
            return false;
        state_.Privileges[0].Attributes = backup ? SE_PRIVILEGE_ENABLED : 0;
        state_.Privileges[1].Attributes = restore ? SE_PRIVILEGE_ENABLED : 0;
        if (!AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&state_), sizeof state_,
                                   nullptr, nullptr))
            Fail(L"AdjustTokenPrivileges");
        return !failedCall_;
    }
    // The line and status for the first call that failed.
    int ReportFailure() const { return ReportFailedCall(failedCall_, FailureStatus(error_)); }

private:
    void Fail(const wchar_t* call) {
        failedCall_ = call;
        error_ = GetLastError();
    }
    UniqueHandle token_;
    const wchar_t* failedCall_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
    struct {
        DWORD PrivilegeCount = 2;
        LUID_AND_ATTRIBUTES Privileges[2] = {};  // backup, restore
    } state_;
};

// What the way is checked with: listing a folder and opening what it holds
// through handles, where a handle really leads, and names compared as the
// file system compares them. Windows 5.2 has none of them, and there nothing
// can be verified.
struct ByHandle {
    decltype(&GetFileInformationByHandleEx) list = LookUpKernel32<decltype(list)>("GetFileInformationByHandleEx");
    decltype(&OpenFileById) open = LookUpKernel32<decltype(open)>("OpenFileById");
    decltype(&GetFinalPathNameByHandleW) finalPath =
        LookUpKernel32<decltype(finalPath)>("GetFinalPathNameByHandleW");
    decltype(&CompareStringOrdinal) compare = LookUpKernel32<decltype(compare)>("CompareStringOrdinal");
    decltype(&GetVolumeInformationByHandleW) volume =
        LookUpKernel32<decltype(volume)>("GetVolumeInformationByHandleW");
    explicit operator bool() const { return list && open && finalPath && compare && volume; }

    // Where a handle really leads, every link resolved. Its length, or 0 when
    // the platform cannot tell or the path does not fit.
    size_t FinalPath(HANDLE handle, wchar_t (&path)[kPathChars]) const {
        // A result as large as the buffer is the size it would have needed.
        const DWORD chars = finalPath(handle, path, kPathChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (chars == 0 || chars >= kPathChars)
            return 0;
        path[chars] = L'\0';
        return chars;
    }
    bool SameIgnoringCase(const wchar_t* first, size_t firstChars, const wchar_t* second, size_t secondChars) const {
        return compare(first, static_cast<int>(firstChars), second, static_cast<int>(secondChars), TRUE) == CSTR_EQUAL;
    }
};

// Why a handle is not the real folder, or no reason when it is: a folder and
// no link, lying really where the application-data folder really lies
// (appDataFinal), followed by the first suffixChars of the suffix. Links at
// or above the application-data folder are the administrator's and count as
// followed.
Stop WhyNotTheRealFolder(const ByHandle& byHandle, HANDLE folder, const wchar_t* appDataFinal,
                         size_t appDataFinalChars, size_t suffixChars) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(folder, &information))
        return {kUnverifiable, kStoppedOnLink};
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return {kThroughLink, kStoppedOnLink};
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return {kUnverifiable, kStoppedOnLink};  // swapped for something else since it was listed

    wchar_t expected[kPathChars];
    wchar_t actual[kPathChars];
    const size_t expectedChars = AppendDownloadsSuffix(appDataFinal, appDataFinalChars, expected, suffixChars);
    const size_t actualChars = byHandle.FinalPath(folder, actual);
    if (expectedChars == 0 || actualChars == 0)
        return {kUnverifiable, kStoppedOnLink};
    // Whole lengths as reported, so that no stray terminator cuts either short.
    if (!byHandle.SameIgnoringCase(expected, expectedChars, actual, actualChars))
        return {kThroughLink, kStoppedOnLink};
    return {};
}

// text in printable ASCII, '?' for anything else: in the default locale the
// C runtime would end the line at the first character it cannot convert,
// and the line must always be whole.
void Printable(const wchar_t* text, wchar_t (&shown)[kPathChars]) {
    size_t chars = 0;
    for (; text[chars] != L'\0' && chars + 1 < kPathChars; ++chars)
        shown[chars] = text[chars] >= 0x20 && text[chars] < 0x7F ? text[chars] : L'?';
    shown[chars] = L'\0';
}

// One line on standard error, and status as the exit status; where an item
// inside Downloads is the reason, its path (below Downloads) is named too.
int ReportNotRepaired(const wchar_t* downloadsPath, Stop stop, const wchar_t* inside = nullptr) {
    wchar_t shown[kPathChars];
    Printable(downloadsPath, shown);
    if (inside) {
        wchar_t item[kPathChars];
        Printable(inside, item);
        fwprintf(stderr, L"%ls was not repaired: %ls (%ls\\%ls). Error %d\n", shown, stop.reason, shown, item,
                 stop.status);
    } else {
        fwprintf(stderr, L"%ls was not repaired: %ls. Error %d\n", shown, stop.reason, stop.status);
    }
    return stop.status;
}

bool IsDotEntry(const FILE_ID_BOTH_DIR_INFO& entry) {
    const size_t chars = entry.FileNameLength / sizeof(wchar_t);
    return entry.FileName[0] == L'.' && (chars == 1 || (chars == 2 && entry.FileName[1] == L'.'));
}

// Calls visit with each entry of the folder, "." and ".." left out, as the
// folder's own handle lists it; stops at the first reason visit gives.
// Listing fails with why, or with error 18 (ERROR_NO_MORE_FILES) at its end.
template <typename Visit>
Stop ForEachEntry(const ByHandle& byHandle, HANDLE folder, Visit visit) {
    alignas(8) BYTE listing[kListingBytes];
    for (FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;; next = FileIdBothDirectoryInfo) {
        if (!byHandle.list(folder, next, listing, sizeof listing)) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? Stop{} : Stop{kUnexaminableInside, FailureStatus(error)};
        }
        for (DWORD offset = 0;;) {
            const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing + offset);
            if (!IsDotEntry(entry))
                if (const Stop stop = visit(entry))
                    return stop;
            if (entry.NextEntryOffset == 0)
                break;
            offset += entry.NextEntryOffset;
        }
    }
}

// Opens what a listing entry names by its file ID, as itself: no path that
// could have been swapped since the listing is walked again.
UniqueHandle OpenEntry(const ByHandle& byHandle, HANDLE folder, LARGE_INTEGER fileId, DWORD access, DWORD share) {
    FILE_ID_DESCRIPTOR id = {};
    id.dwSize = sizeof id;
    id.Type = FileIdType;
    id.FileId = fileId;
    return TakeHandle(byHandle.open(folder, &id, access, share, nullptr, kAsItself));
}

// Why a reparse point a listing shows stops the run. A directory listing
// gives a reparse point's tag in place of its extended attributes' size
// ([MS-FSA] 2.1.5.6.3); a tag with the name-surrogate bit (0x20000000) names
// another item: a junction, a symbolic link. Any other point reads as "a
// reparse point", and stops the run all the same.
const wchar_t* ReparseReason(const FILE_ID_BOTH_DIR_INFO& entry) {
    return (entry.EaSize & 0x20000000) != 0 ? kLinkInside : kReparsePointInside;
}

// The way from the application-data folder to Downloads, each folder opened
// as itself through the one above it and held until the run ends.
struct Way {
    UniqueHandle appData;
    UniqueHandle folders[std::size(kNameEnds)];  // "Morvane Security", its agent folder, Downloads
    bool missing = false;                        // one of them is not there
};

// The entry a folder lists under the name from nameStart to nameEnd of the
// suffix, matched ignoring case as Windows matches it; found stays false
// where there is none. A name listed twice (in a case-sensitive folder) or a
// reparse point under it is a link on the way.
struct Listed {
    bool found = false;
    LARGE_INTEGER id = {};
    DWORD attributes = 0;
};
Stop FindEntry(const ByHandle& byHandle, HANDLE parent, size_t nameStart, size_t nameEnd, Listed& listed) {
    const Stop stop = ForEachEntry(byHandle, parent, [&](const FILE_ID_BOTH_DIR_INFO& entry) -> Stop {
        if (!byHandle.SameIgnoringCase(kDownloadsSuffix + nameStart, nameEnd - nameStart, entry.FileName,
                                       entry.FileNameLength / sizeof(wchar_t)))
            return {};
        if (listed.found || (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return {kThroughLink, kStoppedOnLink};
        listed = {true, entry.FileId, entry.FileAttributes};
        return {};
    });
    return stop.reason == kUnexaminableInside ? Stop{kUnverifiable, kStoppedOnLink} : stop;
}

// Downloads could not be opened: a junction Redirection Guard refused is a
// link; gone since it was listed, it moved; a sharing conflict or no right
// to change the folder above all is a repair that did not happen. A folder
// on the way that cannot be opened is a way that cannot be verified.
Stop WhenNotOpened(DWORD error, bool isDownloads) {
    if (error == kUntrustedMountPoint)
        return {kThroughLink, kStoppedOnLink};
    if (!isDownloads)
        return {kUnverifiable, kStoppedOnLink};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return {kMoved, static_cast<int>(error)};
    return {error == ERROR_SHARING_VIOLATION ? kHeldOpen : kUnopenable, FailureStatus(error)};
}

// Opens and holds the way to Downloads, and Downloads, each folder as
// itself through the one above it, by the file ID that folder lists, and
// checked as a plain folder lying where it belongs; way.missing where one is
// not there. Held, none can be renamed or removed until the run ends.
// Downloads is opened with what the writes need (MAXIMUM_ALLOWED would make
// Windows skip propagation to children) and the list right, so that sharing
// binds and the folder can be listed.
Stop HoldWay(const ByHandle& byHandle, const wchar_t* appDataPath, Way& way) {
    way.appData = TakeHandle(CreateFileW(appDataPath, kListAccess, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!way.appData) {
        const DWORD error = GetLastError();
        way.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return way.missing ? Stop{} : Stop{kUnverifiable, kStoppedOnLink};
    }
    // A 64-bit file ID names one item only on NTFS; ReFS does not promise it
    // (BY_HANDLE_FILE_INFORMATION), so an open by ID there proves nothing.
    wchar_t fileSystem[8];
    if (!byHandle.volume(way.appData.get(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                         static_cast<DWORD>(std::size(fileSystem))) ||
        std::wcscmp(fileSystem, L"NTFS") != 0)
        return {kUnverifiable, kStoppedOnLink};
    wchar_t appDataFinal[kPathChars];
    const size_t appDataFinalChars = byHandle.FinalPath(way.appData.get(), appDataFinal);
    if (appDataFinalChars == 0)
        return {kUnverifiable, kStoppedOnLink};
    HANDLE parent = way.appData.get();
    size_t nameStart = 0;
    for (size_t i = 0; i < std::size(kNameEnds); ++i) {
        const bool isDownloads = i + 1 == std::size(kNameEnds);
        Listed listed;
        if (const Stop stop = FindEntry(byHandle, parent, nameStart, kNameEnds[i], listed))
            return stop;
        if (!listed.found) {
            way.missing = true;
            return {};
        }
        if ((listed.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return isDownloads ? Stop{kNotAFolder, kNotADirectory} : Stop{kUnverifiable, kStoppedOnLink};
        const DWORD access = isDownloads ? READ_CONTROL | WRITE_DAC | kListAccess : kListAccess;
        way.folders[i] = OpenEntry(byHandle, parent, listed.id, access, kShareHeld);
        if (!way.folders[i])
            return WhenNotOpened(GetLastError(), isDownloads);
        if (const Stop stop =
                WhyNotTheRealFolder(byHandle, way.folders[i].get(), appDataFinal, appDataFinalChars, kNameEnds[i]))
            return stop;
        parent = way.folders[i].get();
        nameStart = kNameEnds[i] + 1;
    }
    return {};
}

// Why the path to Downloads, as Windows resolves it, does not lead to the
// folder held, or no reason when it does: the same volume and file ID. Names
// are matched in listings ignoring case; in a case-sensitive folder, the
// path may name another folder, or none.
Stop WhyPathLeadsElsewhere(const wchar_t* downloadsPath, HANDLE downloads) {
    const UniqueHandle byPath = TakeHandle(CreateFileW(downloadsPath, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                                       OPEN_EXISTING, kAsItself, nullptr));
    BY_HANDLE_FILE_INFORMATION named = {};
    BY_HANDLE_FILE_INFORMATION held = {};
    if (!byPath || !GetFileInformationByHandle(byPath.get(), &named) || !GetFileInformationByHandle(downloads, &held) ||
        named.dwVolumeSerialNumber != held.dwVolumeSerialNumber || named.nFileIndexHigh != held.nFileIndexHigh ||
        named.nFileIndexLow != held.nFileIndexLow)
        return {kUnverifiable, kStoppedOnLink};
    return {};
}

// The path below Downloads of the item being checked, for the line that
// names it; cut short where it does not fit.
struct Inside {
    wchar_t path[kPathChars];
    size_t chars = 0;
    Inside() { path[0] = L'\0'; }
    size_t Enter(const FILE_ID_BOTH_DIR_INFO& entry) {
        const size_t before = chars;
        if (chars != 0 && chars + 1 < kPathChars)
            path[chars++] = L'\\';
        for (size_t i = 0; i < entry.FileNameLength / sizeof(wchar_t) && chars + 1 < kPathChars; ++i)
            path[chars++] = entry.FileName[i];
        path[chars] = L'\0';
        return before;
    }
    void Leave(size_t before) { path[chars = before] = L'\0'; }
};

// Why the tree inside folder may not be handed to Windows' walk, or no
// reason. Every item is opened as itself by its file ID, through the folder
// that lists it: files with read attributes alone (and SYNCHRONIZE), which
// takes no part in sharing, so a file another program holds does not stop
// the look.
// BY_HANDLE_FILE_INFORMATION.nNumberOfLinks is the number of names the file
// has ([MS-FSCC] 2.4.41, NumberOfLinks); more than one is the same file
// elsewhere, which the walk would change there too.
// depth: how many folders below Downloads folder lies.
Stop CheckInside(const ByHandle& byHandle, HANDLE folder, Inside& inside, int depth) {
    if (depth > kMaxDepth)
        return {kTooDeepInside, kTooLong};
    return ForEachEntry(byHandle, folder, [&](const FILE_ID_BOTH_DIR_INFO& entry) -> Stop {
        const size_t parentChars = inside.Enter(entry);
        if ((entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return {ReparseReason(entry), kStoppedOnLink};
        const bool listedAsFolder = (entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const UniqueHandle item = OpenEntry(byHandle, folder, entry.FileId,
                                            listedAsFolder ? kListAccess : FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll);
        BY_HANDLE_FILE_INFORMATION information = {};
        if (!item || !GetFileInformationByHandle(item.get(), &information))
            return {kUnexaminableInside, FailureStatus(GetLastError())};
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return {kLinkInside, kStoppedOnLink};
        if (((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != listedAsFolder)
            return {kChangedInside, kStoppedOnLink};
        if (!listedAsFolder && information.nNumberOfLinks > 1)
            return {kOtherNamesInside, kStoppedOnLink};
        if (listedAsFolder)
            if (const Stop stop = CheckInside(byHandle, item.get(), inside, depth + 1))
                return stop;
        inside.Leave(parentChars);
        return {};
    });
}

// Whether Downloads, seen through its handle, is no longer a plain folder.
// Held, it cannot be renamed or removed, but while it is empty a user who
// opened it to write before the run can still make it a junction: setting a
// reparse point asks only for write data or write attributes ([MS-FSA]
// 2.1.5.10.37), and such an open is not refused by the tool's sharing.
bool BecameALink(HANDLE downloads) {
    BY_HANDLE_FILE_INFORMATION information = {};
    return !GetFileInformationByHandle(downloads, &information) ||
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// First an empty list, then the source's list: the folder is never open to
// everyone, and the second write is still a real change that Windows
// propagates to the children. Neither write changes the folder's inheritance:
// what it inherits stays beside each list, so only a folder that inherits
// nothing is closed to every account between the two. Downloads is looked at
// again right before each write and after the last: status 0 only when the
// second write landed on a folder that stayed plain throughout, else its
// error or 681 (the folder may be left closed, or not everything inside it
// may carry the list).
int WriteAccessList(const wchar_t* downloadsPath, HANDLE downloads, PACL dacl) {
    ACL closed = {};
    if (!InitializeAcl(&closed, sizeof closed, ACL_REVISION))
        return ReportFailedCall(L"InitializeAcl", FailureStatus(GetLastError()));
    if (BecameALink(downloads))
        return ReportNotRepaired(downloadsPath, {kThroughLink, kStoppedOnLink});
    SetSecurityInfo(downloads, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &closed, nullptr);
    if (BecameALink(downloads))
        return ReportNotRepaired(downloadsPath, {kBecameLink, kStoppedOnLink});
    const DWORD copyStatus =
        SetSecurityInfo(downloads, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    if (copyStatus != ERROR_SUCCESS)
        return ReportFailedCall(L"SetSecurityInfo", static_cast<int>(copyStatus));
    return BecameALink(downloads) ? ReportNotRepaired(downloadsPath, {kBecameLink, kStoppedOnLink}) : 0;
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
        return ReportNotRepaired(downloadsPath, {kNoSourceList, kNoSecurity});
    return WriteAccessList(downloadsPath, downloads, dacl);
}

// The first look at Downloads, by its path: why it is no folder, or no
// reason when it is a folder or is not there (missing). Not there is for the
// held way to confirm.
Stop LookAtDownloads(const wchar_t* downloadsPath, bool& missing) {
    const DWORD attributes = GetFileAttributesW(downloadsPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? Stop{} : WhenNotOpened(error, true);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return {kThroughLink, kStoppedOnLink};
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return {kNotAFolder, kNotADirectory};
    return {};
}

}  // namespace

bool IsAgentInstalled(LSTATUS* keyStatus) {
    HKEY openedKey = nullptr;
    const LSTATUS openStatus =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, kAgentKeyAccess, &openedKey);
    if (keyStatus)
        *keyStatus = openStatus;
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
    LSTATUS keyStatus = ERROR_SUCCESS;
    if (!IsAgentInstalled(&keyStatus)) {
        // Only a key that is not there means no agent. One that is there but
        // refuses (a protected agent, an account without the rights) is a
        // repair that did not happen, on the machines that need attention.
        if (keyStatus == ERROR_SUCCESS || keyStatus == ERROR_FILE_NOT_FOUND)
            return 0;
        return ReportFailedCall(L"RegOpenKeyEx", FailureStatus(static_cast<DWORD>(keyStatus)));
    }

    wchar_t source[kPathChars];
    if (FindSpecialFolder(CSIDL_PROGRAM_FILESX86, source) == 0 || !IsExistingFolder(source))
        return 0;

    wchar_t appData[kPathChars];
    wchar_t downloadsPath[kPathChars];
    const size_t appDataChars = FindSpecialFolder(CSIDL_COMMON_APPDATA, appData);
    if (AppendDownloadsSuffix(appData, appDataChars, downloadsPath) == 0)
        return 0;

    Privileges privileges;
    privileges.Set(true, true);
    // The agent makes this folder; the tool never does.
    bool missingAtFirst = false;
    if (const Stop stop = LookAtDownloads(downloadsPath, missingAtFirst))
        return ReportNotRepaired(downloadsPath, stop);

    const ByHandle byHandle;
    if (!byHandle)
        return ReportNotRepaired(downloadsPath, {kUnverifiable, kStoppedOnLink});
    Way way;
    if (const Stop stop = HoldWay(byHandle, appData, way))
        return ReportNotRepaired(downloadsPath, stop);
    // Missing on both looks, the second with the way held: nothing to repair.
    // There at the first and gone at the second: moved away during the run.
    if (way.missing)
        return missingAtFirst ? 0 : ReportNotRepaired(downloadsPath, {kMoved, ERROR_FILE_NOT_FOUND});
    HANDLE const downloads = way.folders[std::size(kNameEnds) - 1].get();
    if (const Stop stop = WhyPathLeadsElsewhere(downloadsPath, downloads))
        return ReportNotRepaired(downloadsPath, stop);

    // The look inside only reads: backup alone. Both off before any write.
    if (!privileges.Set(true, false))
        return privileges.ReportFailure();
    Inside inside;
    if (const Stop stop = CheckInside(byHandle, downloads, inside, 0))
        return ReportNotRepaired(downloadsPath, stop, inside.path);
    if (!privileges.Set(false, false))
        return privileges.ReportFailure();
    return CopyAccessList(source, downloadsPath, downloads);
}
