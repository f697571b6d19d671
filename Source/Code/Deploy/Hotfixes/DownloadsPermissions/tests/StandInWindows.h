#pragma once

// A scriptable stand-in for the few Windows calls the tool makes. Types and
// constants carry the values the Windows SDK gives them; each call is
// recorded with its arguments and answered from stand_in::Machine().
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using CCHAR = char;
using WCHAR = wchar_t;
using BOOL = int;
using SIZE_T = std::size_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using ULONGLONG = std::uint64_t;
using PWSTR = wchar_t*;
using NTSTATUS = LONG;
using ACCESS_MASK = DWORD;
using LSTATUS = LONG;
using HRESULT = LONG;
using REGSAM = DWORD;
using SECURITY_INFORMATION = DWORD;
using HKEY = struct HKEY__*;
using HWND = struct HWND__*;
using HMODULE = struct HINSTANCE__*;
using HANDLE = void*;
using HLOCAL = void*;
using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
using FARPROC = std::intptr_t (*)();
struct SECURITY_ATTRIBUTES;
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
using PACL = ACL*;
union LARGE_INTEGER {
    LONGLONG QuadPart;
};
struct FILE_ID_BOTH_DIR_INFO {
    DWORD NextEntryOffset;
    DWORD FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    DWORD FileAttributes;
    DWORD FileNameLength;
    DWORD EaSize;
    CCHAR ShortNameLength;
    WCHAR ShortName[12];
    LARGE_INTEGER FileId;
    WCHAR FileName[1];
};
enum FILE_INFO_BY_HANDLE_CLASS { FileIdBothDirectoryInfo = 10, FileIdBothDirectoryRestartInfo = 11 };
enum FILE_INFORMATION_CLASS { FileHardLinkInformation = 46 };
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING* ObjectName;
    ULONG Attributes;
    void* SecurityDescriptor;
    void* SecurityQualityOfService;
};
struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        void* Pointer;
    };
    std::uintptr_t Information;
};
enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1, SE_REGISTRY_KEY = 4 };

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
constexpr LSTATUS ERROR_INVALID_FUNCTION = 1;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LSTATUS ERROR_NO_MORE_FILES = 18;
constexpr LSTATUS ERROR_SHARING_VIOLATION = 32;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_INVALID_NAME = 123;
constexpr LSTATUS ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr LSTATUS ERROR_DIRECTORY = 267;
constexpr LSTATUS ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr LSTATUS ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr LSTATUS ERROR_INVALID_ACL = 1336;
constexpr LSTATUS ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr LSTATUS ERROR_NO_SECURITY_ON_OBJECT = 1350;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr int CSIDL_COMMON_APPDATA = 0x23;
constexpr int CSIDL_PROGRAM_FILESX86 = 0x2A;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_LIST_DIRECTORY = 0x1;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr DWORD READ_CONTROL = 0x20000;
constexpr DWORD WRITE_DAC = 0x40000;
constexpr DWORD SYNCHRONIZE = 0x100000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_NAME_NORMALIZED = 0x0;
constexpr DWORD VOLUME_NAME_DOS = 0x0;
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;
constexpr DWORD LMEM_FIXED = 0;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr ULONG FILE_COMPLETE_IF_OPLOCKED = 0x100;
constexpr ULONG FILE_OPEN_FOR_BACKUP_INTENT = 0x4000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x00200000;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;
constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x1;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x2;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;
constexpr DWORD TOKEN_QUERY = 0x8;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x20;
constexpr DWORD IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;
constexpr DWORD IO_REPARSE_TAG_DEDUP = 0x80000013;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x2;
#define SE_BACKUP_NAME L"SeBackupPrivilege"
#define SE_RESTORE_NAME L"SeRestorePrivilege"
#define SE_CHANGE_NOTIFY_NAME L"SeChangeNotifyPrivilege"

LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegQueryValueExW(HKEY key, const wchar_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize);
LSTATUS RegCloseKey(HKEY key);
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);
DWORD GetFileAttributesW(const wchar_t* path);
HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
HMODULE GetModuleHandleW(const wchar_t* moduleName);
FARPROC GetProcAddress(HMODULE module, const char* name);
DWORD GetNamedSecurityInfoW(const wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             DWORD* lengthNeeded);
BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
HLOCAL LocalAlloc(DWORD flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD length,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);

// Newer than Windows 5.2: reached only through GetProcAddress, which finds
// them unless the machine is scripted as one that lacks them.
BOOL SetDefaultDllDirectories(DWORD directoryFlags);
DWORD GetFinalPathNameByHandleW(HANDLE file, wchar_t* path, DWORD pathChars, DWORD flags);
int CompareStringOrdinal(const wchar_t* first, int firstChars, const wchar_t* second, int secondChars,
                         BOOL ignoreCase);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* buffer, DWORD bufferSize);
BOOL GetVolumeInformationByHandleW(HANDLE file, wchar_t* volumeName, DWORD volumeNameChars, DWORD* serialNumber,
                                   DWORD* maximumComponentLength, DWORD* fileSystemFlags, wchar_t* fileSystemName,
                                   DWORD fileSystemNameChars);
// ntdll's, reached the same way.
NTSTATUS NtCreateFile(HANDLE* file, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                      LARGE_INTEGER* allocationSize, ULONG fileAttributes, ULONG share, ULONG disposition,
                      ULONG options, void* eaBuffer, ULONG eaLength);
NTSTATUS NtQueryInformationFile(HANDLE file, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                FILE_INFORMATION_CLASS infoClass);
ULONG RtlNtStatusToDosError(NTSTATUS status);

namespace stand_in {

// Largest text a folder lookup hands back whole; a longer scripted folder is
// written truncated and unterminated, as a misbehaving platform might.
constexpr std::size_t kFolderBufferChars = 2048;

// The program-files folder's list, and what every other item carries unless
// scripted, in the tests' SDDL: a folder under ProgramData, inheriting.
inline const char kSourceList[] = "(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;;FX;;;BU)(A;OICIIO;GRGE;;;BU)";
inline const char kOrdinaryItem[] = "O:BAG:SYD:AI(A;OICIID;FA;;;SY)(A;CIID;FW;;;BU)";
inline const wchar_t kAgentFolder[] = L"C:\\Program Files (x86)\\Kelto Agent";
inline const wchar_t kProgramFilesX86[] = L"C:\\Program Files (x86)";
inline const wchar_t kCommonAppData[] = L"C:\\ProgramData";
inline const wchar_t kVendorFolder[] = L"C:\\ProgramData\\Morvane Security";
inline const wchar_t kAgentDataFolder[] = L"C:\\ProgramData\\Morvane Security\\Morvane Devices Agent";
inline const wchar_t kDownloads[] = L"C:\\ProgramData\\Morvane Security\\Morvane Devices Agent\\Downloads";
inline const wchar_t kBackup[] = SE_BACKUP_NAME;
inline const wchar_t kRestore[] = SE_RESTORE_NAME;
inline const wchar_t kChangeNotify[] = SE_CHANGE_NOTIFY_NAME;  // on in every token: only a "disable all" takes it

// The bytes of text as the registry holds it: one wchar_t per code unit.
std::vector<BYTE> TextBytes(const std::wstring& text);

struct Folder {
    HRESULT result = S_OK;
    std::wstring path;
};

// A handle the tool opened: on what, how, and with which privileges enabled.
struct Opened {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD flags;
    std::set<std::wstring> privileges;
};

// A write of an item's list: through a handle on which path, whether that
// handle was still open, and which list: "empty" (no entries of its own),
// "source" (the program-files folder's as its own) or "other"; and, as they
// stood then, the privileges enabled and the paths held by an open handle
// that shares no deleting.
struct Written {
    std::wstring path;
    bool open;
    std::string list;
    std::set<std::wstring> privileges = {};
    std::set<std::wstring> held = {};
    DWORD error = ERROR_SUCCESS;  // what the write answered
    bool operator==(const Written& other) const {
        return path == other.path && open == other.open && list == other.list;
    }
};

// What the machine answers. The defaults describe a machine where the agent
// is installed, nothing is a link, and a repair succeeds.
struct MachineState {
    LSTATUS openStatus = ERROR_SUCCESS;
    std::optional<std::vector<BYTE>> agentPathValue = TextBytes(std::wstring(kAgentFolder) + L'\0');  // nullopt: none
    Folder programFilesX86{S_OK, kProgramFilesX86};
    Folder commonAppData{S_OK, kCommonAppData};

    // What a path is: what GetFileAttributesW answers, what its folder's
    // listing shows, and what a handle opened on it sees (opens fail where it
    // is INVALID_FILE_ATTRIBUTES). A folder lists the paths directly below it.
    std::map<std::wstring, DWORD> attributes = {
        {kAgentFolder, FILE_ATTRIBUTE_DIRECTORY},
        {kProgramFilesX86, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY},
        {kCommonAppData, FILE_ATTRIBUTE_DIRECTORY},
        {kVendorFolder, FILE_ATTRIBUTE_DIRECTORY},
        {kAgentDataFolder, FILE_ATTRIBUTE_DIRECTORY},
        {kDownloads, FILE_ATTRIBUTE_DIRECTORY},
    };
    DWORD otherAttributes = INVALID_FILE_ATTRIBUTES;  // for every path not listed
    std::map<std::wstring, DWORD> names;       // a file's number of names; 1 where not given
    // The one name an item has, where not its own path (as when its name
    // in the folder was removed after it was opened, and another remains).
    std::map<std::wstring, std::wstring> onlyName;
    bool namesUnknown = false;  // NtQueryInformationFile does not know FileHardLinkInformation, as on Wine
    std::map<std::wstring, int> unlisted;  // left out of that many listings of its folder
    // Items another program holds an oplock on and never gives up: an open
    // that would wait for it holds the run up for good (waited says so).
    std::set<std::wstring> oplocked;
    bool waited = false;
    std::map<std::wstring, DWORD> reparseTags;  // IO_REPARSE_TAG_MOUNT_POINT where not given
    std::map<std::wstring, DWORD> listErrors;   // listing this folder fails with that error
    // What a handle on a path shows after each write of its list, in turn,
    // as when a user makes it a junction meanwhile.
    std::map<std::wstring, std::vector<DWORD>> attributesAfterWrites;
    std::wstring fileSystem = L"NTFS";  // of every volume
    // Why a path has no attributes (GetLastError after the folder test, and
    // after an open); ERROR_FILE_NOT_FOUND for every path not listed.
    std::map<std::wstring, DWORD> missingErrors;
    // What a handle shows where the object was swapped after the folder test;
    // INVALID_FILE_ATTRIBUTES makes GetFileInformationByHandle fail.
    std::map<std::wstring, DWORD> attributesOnceOpened;
    std::map<std::wstring, DWORD> openErrors;  // CreateFileW refuses these paths with that error
    // Where a handle opened on a path really leads; by default "\\?\" and the
    // path itself. An empty one makes GetFinalPathNameByHandleW fail.
    std::map<std::wstring, std::wstring> finalPaths;
    std::map<std::wstring, std::wstring> opensAs;  // CreateFileW by this path opens that item, as a case-sensitive folder may
    std::set<std::string> missingFunctions;  // names GetProcAddress does not find, as on older Windows
    // The descriptor each item carries, in the tests' SDDL; kOrdinaryItem
    // where not given. An item whose DACL has no entries admits nobody:
    // opening it needs the privileges.
    std::map<std::wstring, std::string> security;
    bool tokenOpens = true;
    DWORD tokenAccess = 0;  // what the token was opened for
    std::set<std::wstring> heldPrivileges = {kBackup, kRestore, kChangeNotify};  // only these can be enabled
    std::set<std::wstring> enabledPrivileges = {kChangeNotify};
    int adjustsGranted = 1000;  // AdjustTokenPrivileges calls that succeed; later ones are refused

    DWORD readStatus = ERROR_SUCCESS;
    bool sourceHasDacl = true;  // what a successful read of the program-files folder hands back
    std::map<std::wstring, DWORD> readErrors;  // GetKernelObjectSecurity refuses these
    // What each write to an item answers, in turn; success where not given.
    std::map<std::wstring, std::vector<DWORD>> writeErrors;

    // What the tool did.
    std::vector<std::string> calls;       // each call, as text
    std::vector<Opened> opened;           // each handle on a file, in the order opened
    std::map<HANDLE, std::size_t> listed;  // how far each folder's listing has gone
    std::map<HANDLE, std::set<std::wstring>> hiddenFromListing;  // left out of the listing under way
    std::vector<std::wstring> fileIds;    // a file ID is its path's place here, plus one
    std::set<HANDLE> openHandles;         // not closed yet (files and the token)
    std::vector<std::wstring> examined;   // each path given to GetFileAttributesW
    std::vector<std::wstring> read;       // each path whose list was read
    std::set<void*> allocated;            // LocalAlloc's, not yet given back
    void* handedOut = nullptr;            // the descriptor the read of the program-files folder returned
    int released = 0;                     // descriptors the read handed out, given back with LocalFree
    std::vector<Written> writes;
    DWORD lastError = ERROR_SUCCESS;      // what GetLastError answers
};

MachineState& Machine();
// Starts a fresh machine with its default answers and no recorded calls.
MachineState& ResetMachine();
// The same machine, as the last run left it, for another run: what the tool
// did is forgotten, and the process starts with no privilege enabled.
MachineState& NextRun();

// What the machine answers for a path: its attributes by name, its
// attributes seen through a handle, where a handle on it really leads.
DWORD AttributesOf(const std::wstring& path);
DWORD AttributesOnceOpened(const std::wstring& path);
std::wstring FinalPathOf(const std::wstring& path);
// The DACL an item carries, in the tests' SDDL.
std::string DaclOf(const std::wstring& path);
// Which list an item carries ("empty", "source" or "other", as a write is
// named), or "" where nothing was scripted or written there.
std::string ListOf(const std::wstring& path);
// A name in a folder, as a path.
std::wstring Below(const std::wstring& folder, const std::wstring& name);
// The paths a folder lists: those directly below it.
std::vector<std::wstring> ChildrenOf(const std::wstring& folder);
// Upper-cases ASCII letters: the case folding the ordinal comparison does.
std::wstring FoldAscii(std::wstring text);

}  // namespace stand_in
