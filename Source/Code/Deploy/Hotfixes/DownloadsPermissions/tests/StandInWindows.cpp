#include "StandInWindows.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Sddl.h"

namespace stand_in {
namespace {

HKEY const kAgentKey = reinterpret_cast<HKEY>(std::uintptr_t{0xA6});
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(std::uintptr_t{0xC32});
HMODULE const kNtdll = reinterpret_cast<HMODULE>(std::uintptr_t{0x1D11});
HANDLE const kProcess = reinterpret_cast<HANDLE>(~std::uintptr_t{0});  // the pseudo-handle Windows hands out
HANDLE const kToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x70});
constexpr std::uintptr_t kFirstHandle = 0x100;

std::string Text(const wchar_t* text) {
    if (!text)
        return "null";
    std::string quoted = "\"";
    for (; *text; ++text) {
        if (*text >= 0x20 && *text < 0x7F) {
            quoted += static_cast<char>(*text);
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*text));
            quoted += escaped;
        }
    }
    return quoted + "\"";
}

std::string Hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

// Handles are named by the order they were opened in: handle#1, handle#2...
std::size_t HandleIndex(const void* handle) { return reinterpret_cast<std::uintptr_t>(handle) - kFirstHandle; }
bool IsOpenedHandle(const void* handle) { return HandleIndex(handle) < Machine().opened.size(); }

std::string Pointer(const void* pointer) {
    if (!pointer)
        return "null";
    if (pointer == kAgentKey)
        return "agent-key";
    if (pointer == HKEY_LOCAL_MACHINE)
        return "HKLM";
    if (pointer == kToken)
        return Machine().openHandles.count(kToken) ? "token" : "closed-token";
    if (IsOpenedHandle(pointer)) {
        const bool open = Machine().openHandles.count(const_cast<void*>(pointer)) == 1;
        return (open ? "handle#" : "closed-handle#") + std::to_string(HandleIndex(pointer) + 1);
    }
    return Hex(reinterpret_cast<std::uintptr_t>(pointer));
}

// Out-parameters are recorded by whether the caller asked for them.
std::string Out(const void* pointer) { return pointer ? "out" : "null"; }

// Records one call as "Function(argument, argument, ...)".
template <typename... Arguments>
void Record(const char* function, const Arguments&... arguments) {
    std::string call = std::string(function) + "(";
    const char* separator = "";
    ((call += separator, call += arguments, separator = ", "), ...);
    Machine().calls.push_back(call + ")");
}

const std::wstring& OpenedPath(HANDLE handle) { return Machine().opened.at(HandleIndex(handle)).path; }

// The entries of a DACL in the tests' SDDL that Windows did not mark
// inherited, in order.
std::string OwnEntries(const std::string& dacl) {
    std::string own;
    for (std::size_t at = dacl.find('('); at != std::string::npos; at = dacl.find('(', at + 1)) {
        const std::string entry = dacl.substr(at, dacl.find(')', at) + 1 - at);
        if (entry.substr(0, entry.find(';', entry.find(';') + 1)).find("ID") == std::string::npos)
            own += entry;
    }
    return own;
}

// Which list a DACL in the tests' SDDL is, by its own entries.
std::string ListName(const std::string& dacl) {
    const std::string own = OwnEntries(dacl);
    return own.empty() ? "empty" : own == sddl::AclText(sddl::Acl(kSourceList).data()) ? "source" : "other";
}

// The file ID the stand-in gives a path: its place among those handed out.
LONGLONG FileIdOf(const std::wstring& path) {
    auto& ids = Machine().fileIds;
    const auto found = std::find(ids.begin(), ids.end(), path);
    if (found != ids.end())
        return found - ids.begin() + 1;
    ids.push_back(path);
    return static_cast<LONGLONG>(ids.size());
}

DWORD MissingError(const std::wstring& path) {
    const auto found = Machine().missingErrors.find(path);
    return found == Machine().missingErrors.end() ? ERROR_FILE_NOT_FOUND : found->second;
}

template <typename Function>
FARPROC Exported(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

MachineState& Machine() {
    static MachineState machine;
    return machine;
}

MachineState& ResetMachine() { return Machine() = MachineState{}; }

MachineState& NextRun() {
    MachineState& machine = Machine();
    const MachineState fresh;
    machine.calls = fresh.calls;
    machine.opened = fresh.opened;
    machine.listed = fresh.listed;
    machine.hiddenFromListing = fresh.hiddenFromListing;
    machine.openHandles = fresh.openHandles;
    machine.examined = fresh.examined;
    machine.read = fresh.read;
    machine.released = fresh.released;
    machine.writes = fresh.writes;
    machine.handedOut = fresh.handedOut;
    machine.lastError = fresh.lastError;
    machine.enabledPrivileges = fresh.enabledPrivileges;
    return machine;
}

DWORD AttributesOf(const std::wstring& path) {
    const auto found = Machine().attributes.find(path);
    return found == Machine().attributes.end() ? Machine().otherAttributes : found->second;
}

DWORD AttributesOnceOpened(const std::wstring& path) {
    const auto swapped = Machine().attributesOnceOpened.find(path);
    return swapped == Machine().attributesOnceOpened.end() ? AttributesOf(path) : swapped->second;
}

// A path scripted for the item itself, else for the nearest folder above
// it that has one (a link there leads everything below along), else "\\?\"
// and the path.
std::wstring FinalPathOf(const std::wstring& path) {
    const auto& scripted = Machine().finalPaths;
    if (const auto itself = scripted.find(path); itself != scripted.end())
        return itself->second;
    for (std::size_t cut = path.rfind(L'\\'); cut != std::wstring::npos; cut = path.rfind(L'\\', cut - 1)) {
        // The folder above, named without its backslash or (a root) with it.
        for (const std::wstring& above : {path.substr(0, cut), path.substr(0, cut + 1)}) {
            const auto found = scripted.find(above);
            if (found == scripted.end() || found->second.empty())
                continue;
            const std::wstring& base = found->second;
            return base + path.substr(base.back() == L'\\' ? cut + 1 : cut);
        }
        if (cut == 0)
            break;
    }
    return L"\\\\?\\" + path;
}

namespace {

std::string SecurityTextOf(const std::wstring& path) {
    const auto found = Machine().security.find(path);
    return found == Machine().security.end() ? kOrdinaryItem : found->second;
}

std::vector<BYTE> SecurityOf(const std::wstring& path) { return sddl::Descriptor(SecurityTextOf(path)); }

}  // namespace

std::string DaclOf(const std::wstring& path) { return sddl::DaclText(SecurityOf(path).data()); }

std::string ListOf(const std::wstring& path) {
    const auto found = Machine().security.find(path);
    return found == Machine().security.end() ? "" : ListName(DaclOf(path));
}

std::wstring Below(const std::wstring& folder, const std::wstring& name) {
    return folder + (!folder.empty() && folder.back() == L'\\' ? L"" : L"\\") + name;
}

std::vector<std::wstring> ChildrenOf(const std::wstring& folder) {
    const std::wstring prefix = !folder.empty() && folder.back() == L'\\' ? folder : folder + L'\\';
    std::vector<std::wstring> children;
    for (const auto& [path, attributes] : Machine().attributes)
        if (attributes != INVALID_FILE_ATTRIBUTES && path.size() > prefix.size() &&
            path.compare(0, prefix.size(), prefix) == 0 && path.find(L'\\', prefix.size()) == std::wstring::npos)
            children.push_back(path);
    return children;
}

std::wstring FoldAscii(std::wstring text) {
    for (wchar_t& unit : text)
        if (unit >= L'a' && unit <= L'z')
            unit = static_cast<wchar_t>(unit - L'a' + L'A');
    return text;
}

std::vector<BYTE> TextBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

}  // namespace stand_in

using namespace stand_in;

LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result) {
    Record("RegOpenKeyExW", Pointer(key), Text(subKey), std::to_string(options), Hex(access));
    if (Machine().openStatus != ERROR_SUCCESS)
        return Machine().openStatus;
    *result = kAgentKey;
    Machine().openHandles.insert(kAgentKey);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, const wchar_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
    Record("RegQueryValueExW", Pointer(key), Text(valueName), "reserved=" + Pointer(reserved),
           "type=" + Out(type), "data=" + Out(data), "size=" + std::to_string(*dataSize));
    const auto& value = Machine().agentPathValue;
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    const DWORD available = *dataSize;
    *dataSize = static_cast<DWORD>(value->size());
    if (value->size() > available)
        return ERROR_MORE_DATA;  // as documented, the buffer's contents are then undefined
    std::copy(value->begin(), value->end(), data);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    Record("RegCloseKey", Pointer(key));
    Machine().openHandles.erase(key);
    return ERROR_SUCCESS;
}

HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path) {
    Record("SHGetFolderPathW", Pointer(owner), Hex(folder), Pointer(token), std::to_string(flags));
    const Folder& answer = folder == CSIDL_PROGRAM_FILESX86 ? Machine().programFilesX86 : Machine().commonAppData;
    if (answer.result != S_OK)
        return answer.result;
    const std::size_t copied = std::min(answer.path.size(), kFolderBufferChars);
    std::copy_n(answer.path.begin(), copied, path);
    if (copied < kFolderBufferChars)
        path[copied] = L'\0';
    return S_OK;
}

DWORD GetFileAttributesW(const wchar_t* path) {
    Record("GetFileAttributesW", Text(path));
    Machine().examined.push_back(path);
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        Machine().lastError = MissingError(path);
    return attributes;
}

namespace stand_in {
namespace {

// Opens path as CreateFileW and NtCreateFile do; INVALID_HANDLE_VALUE and the
// error where it fails. A list that admits nobody is passed only with both
// privileges and backup semantics.
HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
    MachineState& machine = Machine();
    const auto refused = machine.openErrors.find(path);
    // With backup semantics, the backup privilege grants reading and the
    // restore privilege the rest, whatever the list says.
    constexpr DWORD kReading = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    const bool backup = machine.enabledPrivileges.count(kBackup) == 1;
    const bool restore = machine.enabledPrivileges.count(kRestore) == 1;
    const bool overridesLists = (flags & FILE_FLAG_BACKUP_SEMANTICS) && (backup || !(access & kReading)) &&
                                (restore || !(access & ~kReading));
    const std::string dacl = DaclOf(path);
    const bool admitsNobody = dacl == "D:" || dacl == "D:AI" || dacl == "D:PAI";
    bool opens = false;
    DWORD error = ERROR_SUCCESS;
    if (AttributesOf(path) == INVALID_FILE_ATTRIBUTES)
        error = MissingError(path);
    else if (refused != machine.openErrors.end())
        error = refused->second;
    else if (admitsNobody && !overridesLists)
        error = ERROR_ACCESS_DENIED;
    else
        opens = true;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!opens) {
        machine.lastError = error;
    } else {
        handle = reinterpret_cast<HANDLE>(kFirstHandle + machine.opened.size());
        machine.opened.push_back({path, access, share, flags, machine.enabledPrivileges});
        machine.openHandles.insert(handle);
    }
    return handle;
}

}  // namespace
}  // namespace stand_in

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    const auto alias = Machine().opensAs.find(path);
    const HANDLE handle = Open(alias == Machine().opensAs.end() ? path : alias->second, access, share, flags);
    Record("CreateFileW", Text(path), Hex(access), Hex(share), Pointer(security), std::to_string(disposition),
           Hex(flags), Pointer(templateFile));
    Machine().calls.back() += " = " + (handle != INVALID_HANDLE_VALUE ? Pointer(handle) : "INVALID_HANDLE_VALUE");
    return handle;
}

// Lists a folder's children after "." and "..", as many whole entries as
// fit, each at an 8-byte boundary; ERROR_NO_MORE_FILES after the last.
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* buffer, DWORD bufferSize) {
    Record("GetFileInformationByHandleEx", Pointer(file), std::to_string(infoClass), Out(buffer),
           std::to_string(bufferSize));
    MachineState& machine = Machine();
    if (infoClass != FileIdBothDirectoryInfo && infoClass != FileIdBothDirectoryRestartInfo) {
        machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::wstring& folder = OpenedPath(file);
    const Opened& how = machine.opened.at(HandleIndex(file));
    const auto refused = machine.listErrors.find(folder);
    if ((AttributesOnceOpened(folder) & FILE_ATTRIBUTE_DIRECTORY) == 0 || !(how.access & FILE_LIST_DIRECTORY) ||
        refused != machine.listErrors.end()) {
        machine.lastError = refused != machine.listErrors.end() ? refused->second
                            : (how.access & FILE_LIST_DIRECTORY) ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED;
        return FALSE;
    }
    std::size_t& next = machine.listed[file];
    std::set<std::wstring>& hidden = machine.hiddenFromListing[file];
    if (infoClass == FileIdBothDirectoryRestartInfo) {
        next = 0;
        hidden.clear();
        for (const std::wstring& child : ChildrenOf(folder))
            if (machine.unlisted[child] > 0 && machine.unlisted[child]--)
                hidden.insert(child);
    }
    std::vector<std::wstring> entries = {L".", L".."};
    for (const std::wstring& child : ChildrenOf(folder))
        if (!hidden.count(child))
            entries.push_back(child);
    if (next >= entries.size()) {
        machine.lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    BYTE* const start = static_cast<BYTE*>(buffer);
    FILE_ID_BOTH_DIR_INFO* previous = nullptr;
    std::size_t used = 0;
    for (; next < entries.size(); ++next) {
        const std::wstring& path = entries[next];
        const std::wstring name = next < 2 ? path : path.substr(path.rfind(L'\\') + 1);
        const std::size_t size = offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + name.size() * sizeof(wchar_t);
        const std::size_t at = (used + 7) / 8 * 8;
        if (at + size > bufferSize)
            break;
        auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(start + at);
        std::memset(entry, 0, size);
        const DWORD attributes = next < 2 ? FILE_ATTRIBUTE_DIRECTORY : AttributesOf(path);
        entry->FileAttributes = attributes;
        entry->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            const auto tag = machine.reparseTags.find(path);
            entry->EaSize = tag == machine.reparseTags.end() ? IO_REPARSE_TAG_MOUNT_POINT : tag->second;
        }
        entry->FileId.QuadPart = next < 2 ? 0 : FileIdOf(path);
        std::memcpy(entry->FileName, name.data(), name.size() * sizeof(wchar_t));
        if (previous)
            previous->NextEntryOffset = static_cast<DWORD>(start + at - reinterpret_cast<BYTE*>(previous));
        previous = entry;
        used = at + size;
    }
    if (!previous) {
        machine.lastError = ERROR_MORE_DATA;
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
    Record("GetFileInformationByHandle", Pointer(file), Out(information));
    const std::wstring& path = OpenedPath(file);
    const DWORD attributes = AttributesOnceOpened(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Machine().lastError = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
    *information = {};
    information->dwFileAttributes = attributes;
    const auto names = Machine().names.find(path);
    information->nNumberOfLinks = names == Machine().names.end() ? 1 : names->second;
    information->dwVolumeSerialNumber = 0x43000000;
    information->nFileIndexLow = static_cast<DWORD>(FileIdOf(path));
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Record("CloseHandle", Pointer(handle));
    Machine().listed.erase(handle);
    return Machine().openHandles.erase(handle) == 1 ? TRUE : FALSE;
}

DWORD GetLastError() { return Machine().lastError; }

HMODULE GetModuleHandleW(const wchar_t* moduleName) {
    const std::wstring name = moduleName ? moduleName : L"";
    return name == L"kernel32.dll" ? kKernel32 : name == L"ntdll.dll" ? kNtdll : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (Machine().missingFunctions.count(name))
        return nullptr;
    static const std::map<std::string, FARPROC> kKernel32Newer = {
        {"SetDefaultDllDirectories", Exported(&SetDefaultDllDirectories)},
        {"GetFinalPathNameByHandleW", Exported(&GetFinalPathNameByHandleW)},
        {"CompareStringOrdinal", Exported(&CompareStringOrdinal)},
        {"GetFileInformationByHandleEx", Exported(&GetFileInformationByHandleEx)},
        {"GetVolumeInformationByHandleW", Exported(&GetVolumeInformationByHandleW)},
    };
    static const std::map<std::string, FARPROC> kNtdllExports = {
        {"NtCreateFile", Exported(&NtCreateFile)},
        {"NtQueryInformationFile", Exported(&NtQueryInformationFile)},
        {"RtlNtStatusToDosError", Exported(&RtlNtStatusToDosError)},
    };
    const auto& exports = module == kKernel32 ? kKernel32Newer : kNtdllExports;
    if (module != kKernel32 && module != kNtdll)
        return nullptr;
    const auto found = exports.find(name);
    return found == exports.end() ? nullptr : found->second;
}

DWORD GetNamedSecurityInfoW(const wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    Record("GetNamedSecurityInfoW", Text(objectName), std::to_string(objectType), Hex(info), "owner=" + Out(owner),
           "group=" + Out(group), "dacl=" + Out(dacl), "sacl=" + Out(sacl), "descriptor=" + Out(descriptor));
    MachineState& machine = Machine();
    machine.read.push_back(objectName);
    if (machine.readStatus != ERROR_SUCCESS)
        return machine.readStatus;
    const std::vector<BYTE> source =
        sddl::Descriptor(machine.sourceHasDacl ? std::string("D:PAI") + kSourceList : std::string("O:BA"));
    *descriptor = LocalAlloc(LMEM_FIXED, source.size());
    std::memcpy(*descriptor, source.data(), source.size());
    std::uint32_t offset;
    std::memcpy(&offset, source.data() + 16, 4);
    *dacl = offset ? reinterpret_cast<PACL>(static_cast<BYTE*>(*descriptor) + offset) : nullptr;
    machine.handedOut = *descriptor;
    return ERROR_SUCCESS;
}

BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             DWORD* lengthNeeded) {
    Record("GetKernelObjectSecurity", Pointer(handle), Hex(info), Out(descriptor), std::to_string(length));
    MachineState& machine = Machine();
    const std::wstring& path = OpenedPath(handle);
    const auto refused = machine.readErrors.find(path);
    const std::vector<BYTE> security = SecurityOf(path);
    DWORD error = ERROR_SUCCESS;
    if (refused != machine.readErrors.end())
        error = refused->second;
    else if (!(machine.opened.at(HandleIndex(handle)).access & READ_CONTROL))
        error = ERROR_ACCESS_DENIED;
    else if (security.size() > length)
        error = ERROR_INSUFFICIENT_BUFFER;
    *lengthNeeded = static_cast<DWORD>(security.size());
    if (error != ERROR_SUCCESS) {
        machine.lastError = error;
        return FALSE;
    }
    std::memcpy(descriptor, security.data(), security.size());
    return TRUE;
}

BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    Record("SetKernelObjectSecurity", Pointer(handle), Hex(info), Out(descriptor));
    MachineState& machine = Machine();
    const std::wstring& path = OpenedPath(handle);
    // The owner and group it has, and the DACL written.
    const std::string dacl = sddl::DaclText(static_cast<const BYTE*>(descriptor));
    const std::string old = SecurityTextOf(path);
    const std::string whole = old.substr(0, old.find("D:")) + dacl;
    std::set<std::wstring> held;
    for (const HANDLE open : machine.openHandles)
        if (IsOpenedHandle(open) && !(machine.opened.at(HandleIndex(open)).share & FILE_SHARE_DELETE))
            held.insert(OpenedPath(open));
    machine.writes.push_back(
        {path, machine.openHandles.count(handle) == 1, ListName(dacl), machine.enabledPrivileges, held});
    std::size_t writesHere = 0;
    for (const Written& write : machine.writes)
        writesHere += write.path == path;
    const auto errors = machine.writeErrors.find(path);
    DWORD error = errors != machine.writeErrors.end() && writesHere <= errors->second.size()
                      ? errors->second[writesHere - 1]
                      : ERROR_SUCCESS;
    if (!(machine.opened.at(HandleIndex(handle)).access & WRITE_DAC) || info != DACL_SECURITY_INFORMATION)
        error = ERROR_ACCESS_DENIED;
    machine.writes.back().error = error;
    if (error == ERROR_SUCCESS)
        machine.security[path] = whole;
    const auto after = machine.attributesAfterWrites.find(path);
    if (after != machine.attributesAfterWrites.end() && writesHere <= after->second.size())
        machine.attributesOnceOpened[path] = after->second[writesHere - 1];
    machine.lastError = error;
    return error == ERROR_SUCCESS;
}

HLOCAL LocalAlloc(DWORD flags, SIZE_T bytes) {
    Record("LocalAlloc", Hex(flags), std::to_string(bytes));
    void* const memory = std::malloc(bytes);
    Machine().allocated.insert(memory);
    return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree", Pointer(memory));
    MachineState& machine = Machine();
    machine.released += memory != nullptr && memory == machine.handedOut;
    if (machine.allocated.erase(memory) == 1)
        std::free(memory);
    return nullptr;
}

HANDLE GetCurrentProcess() { return kProcess; }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    Record("OpenProcessToken", process == kProcess ? "current-process" : Pointer(process), Hex(access));
    if (!Machine().tokenOpens) {
        Machine().lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *token = kToken;
    Machine().tokenAccess = access;
    Machine().openHandles.insert(kToken);
    return TRUE;
}

// The LUIDs Windows gives the privileges the stand-in knows.
const std::map<std::wstring, DWORD> kLuids = {{kBackup, 17}, {kRestore, 18}, {kChangeNotify, 23}};

BOOL LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, LUID* luid) {
    Record("LookupPrivilegeValueW", Text(systemName), Text(name), Out(luid));
    const auto found = kLuids.find(name);
    if (found == kLuids.end()) {
        Machine().lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    *luid = LUID{found->second, 0};
    return TRUE;
}

// As documented: the token must have been opened for adjusting (and for
// querying, to be told the previous state); "disable all" switches off every
// privilege and ignores the new state; an entry switches its privilege on
// with SE_PRIVILEGE_ENABLED and off without it; success even where the token
// lacks one, which then stays off, and GetLastError tells
// ERROR_NOT_ALL_ASSIGNED.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD length,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
    Record("AdjustTokenPrivileges", Pointer(token), std::to_string(disableAll), std::to_string(length),
           Out(previousState), Out(returnLength));
    MachineState& machine = Machine();
    const DWORD needed = TOKEN_ADJUST_PRIVILEGES | (previousState ? TOKEN_QUERY : 0);
    if (token != kToken || machine.openHandles.count(kToken) == 0) {
        machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if ((machine.tokenAccess & needed) != needed || machine.adjustsGranted-- <= 0) {
        machine.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    std::set<std::wstring> enabled;
    machine.lastError = ERROR_SUCCESS;
    if (!disableAll) {
        enabled = machine.enabledPrivileges;
        const DWORD count = newState ? newState->PrivilegeCount : 0;
        if (!newState || length < sizeof(DWORD) + count * sizeof(LUID_AND_ATTRIBUTES)) {
            machine.lastError = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        for (DWORD i = 0; i < count; ++i) {
            std::wstring name;
            for (const auto& [privilege, luid] : kLuids)
                if (newState->Privileges[i].Luid.LowPart == luid && newState->Privileges[i].Luid.HighPart == 0)
                    name = privilege;
            if (!machine.heldPrivileges.count(name))
                machine.lastError = ERROR_NOT_ALL_ASSIGNED;
            else if (newState->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
                enabled.insert(name);
            else
                enabled.erase(name);
        }
    }
    machine.enabledPrivileges = enabled;
    return TRUE;
}

BOOL GetVolumeInformationByHandleW(HANDLE file, wchar_t* volumeName, DWORD volumeNameChars, DWORD* serialNumber,
                                   DWORD* maximumComponentLength, DWORD* fileSystemFlags, wchar_t* fileSystemName,
                                   DWORD fileSystemNameChars) {
    Record("GetVolumeInformationByHandleW", Pointer(file), Out(volumeName), std::to_string(volumeNameChars),
           Out(serialNumber), Out(maximumComponentLength), Out(fileSystemFlags), Out(fileSystemName),
           std::to_string(fileSystemNameChars));
    const std::wstring& name = Machine().fileSystem;
    if (!IsOpenedHandle(file) || !fileSystemName || name.size() + 1 > fileSystemNameChars) {
        Machine().lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::copy(name.begin(), name.end(), fileSystemName);
    fileSystemName[name.size()] = L'\0';
    return TRUE;
}

BOOL SetDefaultDllDirectories(DWORD directoryFlags) {
    Record("SetDefaultDllDirectories", Hex(directoryFlags));
    return TRUE;
}


DWORD GetFinalPathNameByHandleW(HANDLE file, wchar_t* path, DWORD pathChars, DWORD flags) {
    Record("GetFinalPathNameByHandleW", Pointer(file), Out(path), std::to_string(pathChars), Hex(flags));
    const std::wstring final = FinalPathOf(OpenedPath(file));
    if (final.empty())
        return 0;
    if (final.size() + 1 > pathChars)
        return static_cast<DWORD>(final.size() + 1);  // the size needed, terminator included
    std::copy(final.begin(), final.end(), path);
    path[final.size()] = L'\0';
    return static_cast<DWORD>(final.size());
}

// Folds ASCII letters only, which is all the tests compare.
int CompareStringOrdinal(const wchar_t* first, int firstChars, const wchar_t* second, int secondChars,
                         BOOL ignoreCase) {
    // Either text may be a listed name, with no terminator.
    std::wstring a(first, firstChars), b(second, secondChars);
    Record("CompareStringOrdinal", Text(a.c_str()), std::to_string(firstChars), Text(b.c_str()),
           std::to_string(secondChars), std::to_string(ignoreCase));
    if (ignoreCase) {
        a = FoldAscii(a);
        b = FoldAscii(b);
    }
    return a < b ? CSTR_LESS_THAN : a == b ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

// Opens the name relative to the root folder's handle, as the documented
// call does: the item the folder holds under that name, never resolved from
// a path again.
NTSTATUS NtCreateFile(HANDLE* file, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                      LARGE_INTEGER*, ULONG, ULONG share, ULONG disposition, ULONG options, void*, ULONG) {
    MachineState& machine = Machine();
    const std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    const bool rooted = IsOpenedHandle(attributes->RootDirectory) && machine.openHandles.count(attributes->RootDirectory);
    DWORD flags = 0;
    if (options & FILE_OPEN_FOR_BACKUP_INTENT)
        flags |= FILE_FLAG_BACKUP_SEMANTICS;
    if (options & FILE_OPEN_REPARSE_POINT)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const std::wstring path = rooted ? Below(OpenedPath(attributes->RootDirectory), name) : name;
    if (machine.oplocked.count(path) && !(options & FILE_COMPLETE_IF_OPLOCKED))
        machine.waited = true;
    // An item whose name here was removed once it was opened: found only the first time.
    const bool gone = machine.onlyName.count(path) &&
                      std::any_of(machine.opened.begin(), machine.opened.end(),
                                  [&](const Opened& earlier) { return earlier.path == path; });
    if (gone)
        machine.lastError = ERROR_FILE_NOT_FOUND;
    else if (rooted && disposition == FILE_OPEN && name.find(L'\\') == std::wstring::npos)
        handle = Open(path, access, share, flags);
    else
        machine.lastError = ERROR_INVALID_PARAMETER;
    Record("NtCreateFile", Pointer(attributes->RootDirectory), Text(name.c_str()), Hex(access), Hex(share),
           Hex(options));
    machine.calls.back() += " = " + (handle != INVALID_HANDLE_VALUE ? Pointer(handle) : "failed");
    if (handle == INVALID_HANDLE_VALUE)
        return io->Status = static_cast<NTSTATUS>(0xC0000000 | machine.lastError);  // an error status carrying its Win32 error
    *file = handle;
    io->Status = 0;
    return 0;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) { return static_cast<ULONG>(status) & 0xFFFF; }

// Every name of the item the handle holds, each as its folder's file ID and
// the name there, as NTFS gives them (FILE_LINKS_INFORMATION): its own, or
// the one scripted, and a name elsewhere for each further one it has.
NTSTATUS NtQueryInformationFile(HANDLE file, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                FILE_INFORMATION_CLASS infoClass) {
    Record("NtQueryInformationFile", Pointer(file), Out(buffer), std::to_string(length), std::to_string(infoClass));
    MachineState& machine = Machine();
    if (machine.namesUnknown || infoClass != FileHardLinkInformation)
        return io->Status = static_cast<NTSTATUS>(0xC0000002);  // STATUS_NOT_IMPLEMENTED
    const std::wstring& path = OpenedPath(file);
    const auto scripted = machine.onlyName.find(path);
    const auto count = machine.names.find(path);
    std::vector<std::wstring> names = {scripted == machine.onlyName.end() ? path : scripted->second};
    for (DWORD more = count == machine.names.end() ? 1 : count->second; more > 1; --more)
        names.push_back(L"C:\\Elsewhere\\other");
    BYTE* const out = static_cast<BYTE*>(buffer);
    ULONG used = 8;
    ULONG returned = 0;
    BYTE* previous = nullptr;
    for (const std::wstring& name : names) {
        const std::size_t cut = name.rfind(L'\\');
        const std::wstring last = name.substr(cut + 1);
        const ULONG at = (used + 7) / 8 * 8;
        const ULONG size = 20 + static_cast<ULONG>(last.size() * sizeof(wchar_t));
        if (at + size > length)
            break;
        const LONGLONG parent = FileIdOf(name.substr(0, cut));
        const ULONG next = 0;
        const ULONG chars = static_cast<ULONG>(last.size());
        std::memcpy(out + at, &next, 4);
        std::memcpy(out + at + 8, &parent, 8);
        std::memcpy(out + at + 16, &chars, 4);
        std::memcpy(out + at + 20, last.data(), last.size() * sizeof(wchar_t));
        if (previous) {
            const ULONG offset = static_cast<ULONG>(out + at - previous);
            std::memcpy(previous, &offset, 4);
        }
        previous = out + at;
        used = at + size;
        ++returned;
    }
    std::memcpy(out + 4, &returned, 4);
    return io->Status = returned == names.size() ? 0 : static_cast<NTSTATUS>(0x80000005);  // STATUS_BUFFER_OVERFLOW
}
