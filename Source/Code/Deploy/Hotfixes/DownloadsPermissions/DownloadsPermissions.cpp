// Gives the device agent's Downloads folder the access list (DACL) of the
// 32-bit program-files folder, and what lies inside it the lists that
// follow from it. One straight run that ends with status 0 only when
// Downloads and everything inside it carry their new lists, or there is
// nothing to repair (no agent, no special folder, no program-files folder,
// or no Downloads, on two looks, at the end of a way of plain folders). Any
// other status is told in one line on standard error; the docs list them
// all. Every write goes through a handle on one item, opened as itself
// where its folder listed it and judged on that handle, and sets that item
// alone: Windows is handed no tree to walk.
#include "DownloadsPermissions.h"

#include "Inheritance.h"

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
constexpr wchar_t kThroughLink[] = L"the way to it is a link";
constexpr wchar_t kUnverifiable[] = L"the way to it cannot be verified";
constexpr wchar_t kHeldOpen[] = L"it is held open by another program";
constexpr wchar_t kWayHeldOpen[] = L"a folder on the way to it is held open by another program";
constexpr wchar_t kUnopenable[] = L"it cannot be opened";
constexpr wchar_t kNotAFolder[] = L"it is not a folder";
constexpr wchar_t kMoved[] = L"it moved during the run";
constexpr wchar_t kBecameLink[] = L"it became a link while it was written";
constexpr wchar_t kNoSourceList[] = L"the program-files folder has no access list";
constexpr wchar_t kUnworkable[] = L"its list cannot be worked out";
// A listing failed (what that means depends on whose), or the walk was
// abandoned: never printed.
constexpr wchar_t kUnlistable[] = L"unlistable";
constexpr wchar_t kAbandoned[] = L"abandoned";
// Why an item inside Downloads was left as it was. The first four mean the
// item is, or may be, also somewhere else: 681.
constexpr wchar_t kItemLink[] = L"a link";
constexpr wchar_t kItemReparsePoint[] = L"a reparse point";
constexpr wchar_t kItemOtherNames[] = L"a file with more than one name";
constexpr wchar_t kItemElsewhere[] = L"not where it was listed";
constexpr wchar_t kItemMoved[] = L"moved or vanished since it was listed";
constexpr wchar_t kItemHeldOpen[] = L"held open by another program";
constexpr wchar_t kItemUnopenable[] = L"cannot be opened";
constexpr wchar_t kItemUnreadable[] = L"its list cannot be read";
constexpr wchar_t kItemUnworkable[] = L"its list cannot be worked out";
constexpr wchar_t kItemUnwritable[] = L"its list cannot be written";
constexpr wchar_t kItemUnlistable[] = L"what it holds cannot be listed";
constexpr wchar_t kItemTooDeep[] = L"too deep";
// Folders below Downloads that the walk enters, one listing buffer each on
// the stack; what lies deeper is left as it is.
constexpr int kMaxDepth = 128;
constexpr DWORD kListingBytes = 2048;  // holds at least one entry: a name has at most 255 units
// How the way is opened to be listed: list and read attributes; SYNCHRONIZE,
// as CreateFileW adds it, for a synchronous listing.
constexpr DWORD kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// How each item inside Downloads is opened: to read and change its list, to
// list it (a folder) or read it (a file: the same right, 0x1), through which
// sharing binds, so that while it is held no name of it can be removed or
// renamed.
constexpr DWORD kItemAccess = READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Room for any descriptor a read returns: two SIDs and the largest DACL.
constexpr DWORD kDescriptorBytes = 0x10200;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Held folders share everything but deleting: no rename or removal while held.
constexpr DWORD kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The item itself, never what a link there points to; backup semantics
// open folders, and, with the backup and restore privileges, what shuts the
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

// Functions that Windows 5.2 lacks, and ntdll's, are looked up at run time
// in a library every process has loaded, so that the executable still loads
// there; null where this Windows has none.
template <typename Function>
Function LookUp(const wchar_t* library, const char* name) {
    const HMODULE module = GetModuleHandleW(library);
    if (!module)
        return nullptr;
    // void (*)() converts to and from any function pointer type.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Libraries that the shell-folder lookup and the security functions load by
// name come only from System32, never from the tool's own folder; where
// this Windows cannot say so, the run goes on.
void HardenProcess() {
    if (const auto setDefaultDllDirectories =
            LookUp<decltype(&SetDefaultDllDirectories)>(L"kernel32.dll", "SetDefaultDllDirectories"))
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
// that asks for backup semantics. They are switched on only to open (the
// way and Downloads, and each item inside, whatever their lists say, so that
// what an interrupted run or a user closed is still repaired), and off
// before anything is read or written: each item is judged on the handle
// such an open gave, and each write only uses the access that handle holds.
// Switching them on may fail (a token without them): the opens then tell.
// Switching them off must succeed, whatever they were when the process
// started, or nothing more is written.
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

// What the way and the walk are checked with: listing a folder and opening
// what it holds through handles, where a handle really leads, and names
// compared as the file system compares them. Windows 5.2 has none of them,
// and there nothing can be verified.
struct ByHandle {
    decltype(&GetFileInformationByHandleEx) list =
        LookUp<decltype(list)>(L"kernel32.dll", "GetFileInformationByHandleEx");
    decltype(&OpenFileById) open = LookUp<decltype(open)>(L"kernel32.dll", "OpenFileById");
    decltype(&GetFinalPathNameByHandleW) finalPath =
        LookUp<decltype(finalPath)>(L"kernel32.dll", "GetFinalPathNameByHandleW");
    decltype(&CompareStringOrdinal) compare = LookUp<decltype(compare)>(L"kernel32.dll", "CompareStringOrdinal");
    decltype(&GetVolumeInformationByHandleW) volume =
        LookUp<decltype(volume)>(L"kernel32.dll", "GetVolumeInformationByHandleW");
    // Opens a name relative to a folder's handle (NtCreateFile with that
    // folder as the root): the one item the folder holds under that name.
    decltype(&NtCreateFile) openRelative = LookUp<decltype(openRelative)>(L"ntdll.dll", "NtCreateFile");
    decltype(&RtlNtStatusToDosError) errorOf = LookUp<decltype(errorOf)>(L"ntdll.dll", "RtlNtStatusToDosError");
    explicit operator bool() const {
        return list && open && finalPath && compare && volume && openRelative && errorOf;
    }

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

// One line on standard error, and status as the exit status.
int ReportNotRepaired(const wchar_t* downloadsPath, Stop stop) {
    wchar_t shown[kPathChars];
    Printable(downloadsPath, shown);
    fwprintf(stderr, L"%ls was not repaired: %ls. Error %d\n", shown, stop.reason, stop.status);
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
            return error == ERROR_NO_MORE_FILES ? Stop{} : Stop{kUnlistable, FailureStatus(error)};
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

// What a reparse point a listing shows is. A directory listing gives a
// reparse point's tag in place of its extended attributes' size ([MS-FSA]
// 2.1.5.6.3); a tag with the name-surrogate bit (0x20000000) names another
// item: a junction, a symbolic link. Any other is "a reparse point", and is
// left as it is all the same.
const wchar_t* ReparseReason(const FILE_ID_BOTH_DIR_INFO& entry) {
    return (entry.EaSize & 0x20000000) != 0 ? kItemLink : kItemReparsePoint;
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
    return stop.reason == kUnlistable ? Stop{kUnverifiable, kStoppedOnLink} : stop;
}

// Downloads could not be opened: gone since it was listed, it moved; a
// sharing conflict or no right to change the folder above all is a repair
// that did not happen. A folder on the way held open by another program is
// that; one that cannot be opened otherwise is a way that cannot be
// verified.
Stop WhenNotOpened(DWORD error, bool isDownloads) {
    if (!isDownloads)
        return error == ERROR_SHARING_VIOLATION ? Stop{kWayHeldOpen, ERROR_SHARING_VIOLATION}
                                                : Stop{kUnverifiable, kStoppedOnLink};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return {kMoved, static_cast<int>(error)};
    return {error == ERROR_SHARING_VIOLATION ? kHeldOpen : kUnopenable, FailureStatus(error)};
}

// Opens and holds the way to Downloads, and Downloads, each folder as
// itself through the one above it, by the file ID that folder lists, and
// checked as a plain folder lying where it belongs; way.missing where one is
// not there. Held, none can be renamed or removed until the run ends. The
// agent's folder is also opened to read its list, which Downloads inherits
// from; Downloads to read and change its own, and with the list right, so
// that sharing binds and the folder can be listed.
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
        const DWORD access = isDownloads ? READ_CONTROL | WRITE_DAC | kListAccess
                             : i == 1    ? READ_CONTROL | kListAccess
                                         : kListAccess;
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

// A place below Downloads, kept as a path: Enter adds a name, Leave takes
// it off again. Enter refuses a name that would not fit.
struct Trail {
    wchar_t path[kPathChars];
    size_t chars = 0;
    Trail() { path[0] = L'\0'; }
    bool Enter(const wchar_t* name, size_t nameChars, size_t& before) {
        before = chars;
        const size_t separator = chars != 0;
        if (chars + separator + nameChars + 1 > kPathChars)
            return false;
        if (separator)
            path[chars++] = L'\\';
        std::wmemcpy(path + chars, name, nameChars);
        chars += nameChars;
        path[chars] = L'\0';
        return true;
    }
    void Leave(size_t before) { path[chars = before] = L'\0'; }
};

// What an item carries, read through its handle into buffer: owner, group
// and DACL. ERROR_SUCCESS, or why not.
DWORD ReadSecurity(HANDLE item, BYTE* buffer, DWORD bytes, inheritance::Parts& parts) {
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(item, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION,
                                 buffer, bytes, &needed))
        return FailureStatus(GetLastError());
    return inheritance::ReadDescriptor(buffer, bytes, parts) ? ERROR_SUCCESS : ERROR_INVALID_SECURITY_DESCR;
}

// An item's new descriptor, in memory of its own. ERROR_SUCCESS, or why not.
DWORD BuildSecurity(const inheritance::NewList& list, UniqueLocalMemory& descriptor) {
    const size_t bytes = inheritance::BuildDescriptor(list, nullptr, 0);
    if (bytes == 0)
        return ERROR_INVALID_ACL;
    descriptor.reset(LocalAlloc(LMEM_FIXED, bytes));
    if (!descriptor)
        return ERROR_NOT_ENOUGH_MEMORY;
    inheritance::BuildDescriptor(list, static_cast<BYTE*>(descriptor.get()), bytes);
    return ERROR_SUCCESS;
}

const BYTE* DaclOf(const UniqueLocalMemory& descriptor) {
    return inheritance::DaclOf(static_cast<const BYTE*>(descriptor.get()));
}

// Sets the DACL of descriptor on the item the handle holds, and on nothing
// else: SetKernelObjectSecurity hands the descriptor to the object itself,
// while Windows' walk over a folder's children runs inside SetSecurityInfo
// and SetNamedSecurityInfo ("Automatic Propagation of Inheritable ACEs"),
// which is why Microsoft points file writers to those. A descriptor that
// carries no DACL would let everyone in, and is never written.
DWORD WriteSecurity(HANDLE item, const UniqueLocalMemory& descriptor) {
    if (!DaclOf(descriptor))
        return ERROR_INVALID_SECURITY_DESCR;
    return SetKernelObjectSecurity(item, DACL_SECURITY_INFORMATION, descriptor.get()) ? ERROR_SUCCESS
                                                                                      : FailureStatus(GetLastError());
}

// The two lists Downloads gets, each through its held handle, each
// Downloads alone: first what it inherits from the agent's folder and
// nothing else (nothing at all where its list is protected), so that it is
// never open to more than it was; then the program-files folder's entries,
// every one as its own, ahead of what it inherits. Its protection stays as
// it is. Downloads is looked at again right before each write and after the
// last: status 0 only when the second write landed on a folder that stayed
// plain throughout, else its error or 681. written: the second list, which
// what lies inside inherits from.
int RepairDownloads(const wchar_t* downloadsPath, HANDLE agentFolder, HANDLE downloads, const BYTE* source,
                    UniqueLocalMemory& written) {
    const UniqueLocalMemory parentBuffer(LocalAlloc(LMEM_FIXED, kDescriptorBytes));
    const UniqueLocalMemory ownBuffer(LocalAlloc(LMEM_FIXED, kDescriptorBytes));
    if (!parentBuffer || !ownBuffer)
        return ReportFailedCall(L"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    inheritance::Parts parent;
    inheritance::Parts own;
    if (const DWORD error = ReadSecurity(agentFolder, static_cast<BYTE*>(parentBuffer.get()), kDescriptorBytes, parent))
        return ReportFailedCall(L"GetKernelObjectSecurity", static_cast<int>(error));
    if (const DWORD error = ReadSecurity(downloads, static_cast<BYTE*>(ownBuffer.get()), kDescriptorBytes, own))
        return ReportFailedCall(L"GetKernelObjectSecurity", static_cast<int>(error));
    const bool isProtected = (own.control & inheritance::kDaclProtected) != 0;
    UniqueLocalMemory inheritedOnly;
    if (const DWORD error =
            BuildSecurity({nullptr, false, parent.dacl, isProtected, true, own.owner, own.group}, inheritedOnly))
        return ReportNotRepaired(downloadsPath, {kUnworkable, static_cast<int>(error)});
    if (const DWORD error = BuildSecurity({source, true, parent.dacl, isProtected, true, own.owner, own.group}, written))
        return ReportNotRepaired(downloadsPath, {kUnworkable, static_cast<int>(error)});

    if (BecameALink(downloads))
        return ReportNotRepaired(downloadsPath, {kThroughLink, kStoppedOnLink});
    WriteSecurity(downloads, inheritedOnly);
    if (BecameALink(downloads))
        return ReportNotRepaired(downloadsPath, {kBecameLink, kStoppedOnLink});
    if (const DWORD error = WriteSecurity(downloads, written))
        return ReportFailedCall(L"SetKernelObjectSecurity", static_cast<int>(error));
    return BecameALink(downloads) ? ReportNotRepaired(downloadsPath, {kBecameLink, kStoppedOnLink}) : 0;
}

// The walk inside Downloads: where it is, and what it left as it was.
struct Walk {
    Walk(const ByHandle& functions, Privileges& switches, BYTE* readBuffer)
        : byHandle(functions), privileges(switches), buffer(readBuffer) {}
    const ByHandle& byHandle;
    Privileges& privileges;
    BYTE* buffer;       // where each item's descriptor is read
    Trail inside;       // the item's path below Downloads, for the line
    Trail where;        // where the folder being walked really lies
    wchar_t expected[kPathChars];  // scratch for WhyNotPlain, kept off the stack of every level
    wchar_t actual[kPathChars];
    unsigned long left = 0;
    Stop first;         // the first item left, and why
    wchar_t firstPath[kPathChars] = {};
    Stop firstLink;     // the first left for being, or maybe being, also elsewhere (681)
    wchar_t firstLinkPath[kPathChars] = {};
    bool abandoned = false;  // the privileges could not be switched off: nothing more is done

    void Leave(Stop why) {
        ++left;
        if (!first)
            Keep(first, firstPath, why);
        if (!firstLink && why.status == kStoppedOnLink)
            Keep(firstLink, firstLinkPath, why);
    }
    void Keep(Stop& stop, wchar_t (&path)[kPathChars], Stop why) {
        stop = why;
        std::wmemcpy(path, inside.path, inside.chars + 1);
    }
};

// An item that could not be opened: gone or renamed since it was listed,
// held by another program, or refused.
Stop WhenItemNotOpened(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return {kItemMoved, static_cast<int>(error)};
    if (error == ERROR_SHARING_VIOLATION)
        return {kItemHeldOpen, ERROR_SHARING_VIOLATION};
    return {kItemUnopenable, FailureStatus(error)};
}

// Opens the item a folder lists under name as itself: relative to the
// folder's handle, so that nothing above it is resolved again, and without
// following a reparse point there. Held, sharing reading and writing but
// not deleting, so that no name of it can be removed or renamed until it is
// closed. The privileges are on for this call alone.
DWORD OpenItem(Walk& walk, HANDLE folder, const FILE_ID_BOTH_DIR_INFO& entry, UniqueHandle& item) {
    const USHORT nameBytes = static_cast<USHORT>(entry.FileNameLength);
    UNICODE_STRING name = {nameBytes, nameBytes, const_cast<PWSTR>(entry.FileName)};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = folder;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io = {};
    HANDLE opened = nullptr;
    walk.privileges.Set(true, true);
    const NTSTATUS status = walk.byHandle.openRelative(
        &opened, kItemAccess, &attributes, &io, nullptr, 0, kShareHeld, FILE_OPEN,
        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status >= 0)
        item.reset(opened);
    walk.abandoned = !walk.privileges.Set(false, false);
    return status >= 0 ? ERROR_SUCCESS : FailureStatus(walk.byHandle.errorOf(status));
}

// Why an opened item may not be written, or no reason: it must be no
// reparse point, a file must have no other name ([MS-FSCC] 2.4.41:
// nNumberOfLinks counts a file's names), and it must really lie where its
// folder listed it, which also holds where another name was removed
// between the open and this look. isFolder: what the handle shows.
Stop WhyNotPlain(Walk& walk, HANDLE item, const FILE_ID_BOTH_DIR_INFO& entry, bool& isFolder) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(item, &information))
        return {kItemUnopenable, FailureStatus(GetLastError())};
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return {kItemReparsePoint, kStoppedOnLink};
    isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isFolder && information.nNumberOfLinks > 1)
        return {kItemOtherNames, kStoppedOnLink};
    wchar_t* const expected = walk.expected;
    const size_t nameChars = entry.FileNameLength / sizeof(wchar_t);
    if (walk.where.chars + 1 + nameChars + 1 > kPathChars)
        return {kItemTooDeep, kTooLong};
    std::wmemcpy(expected, walk.where.path, walk.where.chars);
    expected[walk.where.chars] = L'\\';
    std::wmemcpy(expected + walk.where.chars + 1, entry.FileName, nameChars);
    const size_t expectedChars = walk.where.chars + 1 + nameChars;
    const size_t actualChars = walk.byHandle.FinalPath(item, walk.actual);
    if (actualChars == 0 || !walk.byHandle.SameIgnoringCase(expected, expectedChars, walk.actual, actualChars))
        return {kItemElsewhere, kStoppedOnLink};
    return {};
}

Stop RepairInside(Walk& walk, HANDLE folder, const BYTE* folderDacl, int depth);

// One item the folder listed: opened as itself, judged on that handle, its
// new list worked out from the folder's new list and written through the
// same handle, then, a folder, walked in turn. Anything else leaves it as
// it is, and what lies below it, and the walk goes on. An item whose list is
// protected keeps it, and what lies below it is left as it is, as Windows'
// own propagation leaves them. Stops only where the privileges could not
// be switched off.
Stop RepairItem(Walk& walk, HANDLE folder, const FILE_ID_BOTH_DIR_INFO& entry, const BYTE* folderDacl,
                int depth) {
    const size_t nameChars = entry.FileNameLength / sizeof(wchar_t);
    if ((entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        walk.Leave({ReparseReason(entry), kStoppedOnLink});
        return {};
    }
    if (depth > kMaxDepth) {
        walk.Leave({kItemTooDeep, kTooLong});
        return {};
    }
    // One name, opened where the folder is: never a path, nor a stream.
    if (std::wmemchr(entry.FileName, L'\\', nameChars) || std::wmemchr(entry.FileName, L':', nameChars)) {
        walk.Leave({kItemUnopenable, ERROR_INVALID_NAME});
        return {};
    }
    UniqueHandle item;
    const DWORD openError = OpenItem(walk, folder, entry, item);
    if (walk.abandoned)
        return {kAbandoned, 0};
    if (openError) {
        walk.Leave(WhenItemNotOpened(openError));
        return {};
    }
    bool isFolder = false;
    if (const Stop why = WhyNotPlain(walk, item.get(), entry, isFolder)) {
        walk.Leave(why);
        return {};
    }
    inheritance::Parts parts;
    if (const DWORD error = ReadSecurity(item.get(), walk.buffer, kDescriptorBytes, parts)) {
        walk.Leave({kItemUnreadable, static_cast<int>(error)});
        return {};
    }
    if ((parts.control & inheritance::kDaclProtected) != 0)
        return {};
    UniqueLocalMemory descriptor;
    if (const DWORD error =
            BuildSecurity({parts.dacl, false, folderDacl, false, isFolder, parts.owner, parts.group}, descriptor)) {
        walk.Leave({kItemUnworkable, static_cast<int>(error)});
        return {};
    }
    if (const DWORD error = WriteSecurity(item.get(), descriptor)) {
        walk.Leave({kItemUnwritable, static_cast<int>(error)});
        return {};
    }
    if (!isFolder)
        return {};
    size_t before = 0;
    walk.where.Enter(entry.FileName, nameChars, before);  // fits: WhyNotPlain measured it
    const Stop stop = RepairInside(walk, item.get(), DaclOf(descriptor), depth + 1);
    walk.where.Leave(before);
    return stop;
}

// Each item a folder holds, depth first, the folder held while they are.
// depth: how many folders below Downloads its items lie.
Stop RepairInside(Walk& walk, HANDLE folder, const BYTE* folderDacl, int depth) {
    const Stop stop = ForEachEntry(walk.byHandle, folder, [&](const FILE_ID_BOTH_DIR_INFO& entry) -> Stop {
        size_t before = 0;
        if (!walk.inside.Enter(entry.FileName, entry.FileNameLength / sizeof(wchar_t), before)) {
            walk.Leave({kItemTooDeep, kTooLong});
            return {};
        }
        const Stop why = RepairItem(walk, folder, entry, folderDacl, depth);
        walk.inside.Leave(before);
        return why;
    });
    if (stop.reason == kUnlistable && !walk.abandoned) {
        walk.Leave({kItemUnlistable, stop.status});  // named by the folder itself
        return {};
    }
    return stop;
}

// The line for a run that left items inside Downloads as they were, and
// its status: 681 where one of them is, or may be, also elsewhere, and the
// line names the first such; else the first one's error, and it is named.
int ReportPartlyRepaired(const wchar_t* downloadsPath, const Walk& walk) {
    const bool elsewhere = static_cast<bool>(walk.firstLink);
    const Stop& named = elsewhere ? walk.firstLink : walk.first;
    wchar_t shown[kPathChars];
    wchar_t item[kPathChars];
    Printable(downloadsPath, shown);
    Printable(elsewhere ? walk.firstLinkPath : walk.firstPath, item);
    const wchar_t* const separator = item[0] != L'\0' ? L"\\" : L"";  // Downloads itself, where it cannot be listed
    if (walk.left == 1)
        fwprintf(stderr, L"%ls was partly repaired: 1 item inside it was left as it was, %ls%ls%ls (%ls). Error %d\n",
                 shown, shown, separator, item, named.reason, named.status);
    else
        fwprintf(stderr,
                 L"%ls was partly repaired: %lu items inside it were left as they were, the first %ls%ls%ls (%ls). "
                 L"Error %d\n",
                 shown, walk.left, shown, separator, item, named.reason, named.status);
    return named.status;
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
    HANDLE const agentFolder = way.folders[1].get();
    HANDLE const downloads = way.folders[2].get();
    if (const Stop stop = WhyPathLeadsElsewhere(downloadsPath, downloads))
        return ReportNotRepaired(downloadsPath, stop);
    const UniqueLocalMemory buffer(LocalAlloc(LMEM_FIXED, kDescriptorBytes));
    if (!buffer)
        return ReportFailedCall(L"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    Walk walk(byHandle, privileges, static_cast<BYTE*>(buffer.get()));
    walk.where.chars = byHandle.FinalPath(downloads, walk.where.path);
    if (walk.where.chars == 0)
        return ReportNotRepaired(downloadsPath, {kUnverifiable, kStoppedOnLink});

    // Both off before anything is read or written; on again only for each
    // open inside Downloads.
    if (!privileges.Set(false, false))
        return privileges.ReportFailure();
    PACL sourceDacl = nullptr;
    PSECURITY_DESCRIPTOR sourceDescriptor = nullptr;
    const DWORD readStatus = GetNamedSecurityInfoW(source, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, &sourceDacl, nullptr, &sourceDescriptor);
    if (readStatus != ERROR_SUCCESS)
        return ReportFailedCall(L"GetNamedSecurityInfo", FailureStatus(readStatus));
    const UniqueLocalMemory sourceSecurity(sourceDescriptor);  // sourceDacl points into it
    // No list at all would open Downloads, and all it holds, to everyone.
    if (!sourceDacl)
        return ReportNotRepaired(downloadsPath, {kNoSourceList, kNoSecurity});
    UniqueLocalMemory written;
    if (const int status =
            RepairDownloads(downloadsPath, agentFolder, downloads, reinterpret_cast<const BYTE*>(sourceDacl), written))
        return status;

    RepairInside(walk, downloads, DaclOf(written), 1);
    if (walk.abandoned)
        return privileges.ReportFailure();
    return walk.left == 0 ? 0 : ReportPartlyRepaired(downloadsPath, walk);
}
