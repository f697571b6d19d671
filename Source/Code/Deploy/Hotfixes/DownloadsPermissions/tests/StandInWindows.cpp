#include "StandInWindows.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace stand_in {
namespace {

HKEY const kAgentKey = reinterpret_cast<HKEY>(std::uintptr_t{0xA6});
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(std::uintptr_t{0xC32});
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
    if (pointer == kSourceDacl)
        return "source-dacl";
    if (pointer == kSourceDescriptor)
        return "source-descriptor";
    if (pointer == kAgentKey)
        return "agent-key";
    if (pointer == HKEY_LOCAL_MACHINE)
        return "HKLM";
    if (pointer == kToken)
        return Machine().openHandles.count(kToken) ? "token" : "closed-token";
    if (pointer == Machine().emptyAcl && Machine().emptyAcl->AceCount == 0)
        return "empty-acl";
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

std::string ListName(const ACL* list) {
    if (list == kSourceDacl)
        return "source";
    if (list && list == Machine().emptyAcl && list->AceCount == 0)
        return "empty";
    return "other";
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
    machine.openHandles = fresh.openHandles;
    machine.examined = fresh.examined;
    machine.read = fresh.read;
    machine.released = fresh.released;
    machine.writes = fresh.writes;
    machine.emptyAcl = fresh.emptyAcl;
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

std::wstring FinalPathOf(const std::wstring& path) {
    const auto scripted = Machine().finalPaths.find(path);
    return scripted == Machine().finalPaths.end() ? L"\\\\?\\" + path : scripted->second;
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

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    MachineState& machine = Machine();
    const auto refused = machine.openErrors.find(path);
    const bool overridesLists = (flags & FILE_FLAG_BACKUP_SEMANTICS) && machine.enabledPrivileges.count(kBackup) &&
                                machine.enabledPrivileges.count(kRestore);
    const auto list = machine.lists.find(path);
    bool opens = false;
    DWORD error = ERROR_SUCCESS;
    if (AttributesOf(path) == INVALID_FILE_ATTRIBUTES)
        error = MissingError(path);
    else if (refused != machine.openErrors.end())
        error = refused->second;
    else if (list != machine.lists.end() && list->second == "empty" && !overridesLists)
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
    Record("CreateFileW", Text(path), Hex(access), Hex(share), Pointer(security), std::to_string(disposition),
           Hex(flags), Pointer(templateFile));
    machine.calls.back() += " = " + (opens ? Pointer(handle) : "INVALID_HANDLE_VALUE");
    return handle;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
    Record("GetFileInformationByHandle", Pointer(file), Out(information));
    const DWORD attributes = AttributesOnceOpened(OpenedPath(file));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    *information = {};
    information->dwFileAttributes = attributes;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Record("CloseHandle", Pointer(handle));
    return Machine().openHandles.erase(handle) == 1 ? TRUE : FALSE;
}

DWORD GetLastError() { return Machine().lastError; }

HMODULE GetModuleHandleW(const wchar_t* moduleName) {
    return moduleName && std::wstring(moduleName) == L"kernel32.dll" ? kKernel32 : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module != kKernel32 || Machine().missingFunctions.count(name))
        return nullptr;
    const std::string function = name;
    if (function == "SetDefaultDllDirectories")
        return Exported(&SetDefaultDllDirectories);
    if (function == "SetProcessMitigationPolicy")
        return Exported(&SetProcessMitigationPolicy);
    if (function == "GetFinalPathNameByHandleW")
        return Exported(&GetFinalPathNameByHandleW);
    if (function == "CompareStringOrdinal")
        return Exported(&CompareStringOrdinal);
    return nullptr;
}

DWORD GetNamedSecurityInfoW(const wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    Record("GetNamedSecurityInfoW", Text(objectName), std::to_string(objectType), Hex(info), "owner=" + Out(owner),
           "group=" + Out(group), "dacl=" + Out(dacl), "sacl=" + Out(sacl), "descriptor=" + Out(descriptor));
    Machine().read.push_back(objectName);
    if (Machine().readStatus != ERROR_SUCCESS)
        return Machine().readStatus;
    *dacl = Machine().sourceDacl;
    *descriptor = kSourceDescriptor;
    return ERROR_SUCCESS;
}

BOOL InitializeAcl(PACL acl, DWORD aclSize, DWORD revision) {
    Record("InitializeAcl", Out(acl), std::to_string(aclSize), std::to_string(revision));
    if (!Machine().aclInitializes || aclSize < sizeof(ACL)) {
        Machine().lastError = Machine().aclError;
        return FALSE;
    }
    *acl = ACL{static_cast<BYTE>(revision), 0, static_cast<WORD>(aclSize), 0, 0};
    Machine().emptyAcl = acl;
    return TRUE;
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info, PSID owner, PSID group,
                      PACL dacl, PACL sacl) {
    Record("SetSecurityInfo", Pointer(handle), std::to_string(objectType), Hex(info), "owner=" + Pointer(owner),
           "group=" + Pointer(group), "dacl=" + Pointer(dacl), "sacl=" + Pointer(sacl));
    MachineState& machine = Machine();
    const std::string list = ListName(dacl);
    const std::wstring& path = OpenedPath(handle);
    machine.writes.push_back({path, machine.openHandles.count(handle) == 1, list});
    const DWORD status = list == "empty" ? machine.closeStatus : machine.copyStatus;
    if (status == ERROR_SUCCESS && owner == nullptr && group == nullptr && sacl == nullptr)
        machine.lists[path] = list;
    return status;
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree", Pointer(memory));
    Machine().released += memory == kSourceDescriptor;
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
    Machine().openHandles.insert(kToken);
    return TRUE;
}

// A privilege's LUID is its name's place among the two the stand-in knows.
BOOL LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, LUID* luid) {
    Record("LookupPrivilegeValueW", Text(systemName), Text(name), Out(luid));
    const std::wstring privilege = name;
    if (privilege != kBackup && privilege != kRestore) {
        Machine().lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    *luid = LUID{privilege == kBackup ? 17u : 18u, 0};
    return TRUE;
}

// As documented: success even where the token lacks a privilege, which then
// stays off, and GetLastError tells ERROR_NOT_ALL_ASSIGNED.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD length,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
    Record("AdjustTokenPrivileges", Pointer(token), std::to_string(disableAll), std::to_string(length),
           Out(previousState), Out(returnLength));
    MachineState& machine = Machine();
    if (token != kToken || machine.openHandles.count(kToken) == 0 || length < sizeof(TOKEN_PRIVILEGES)) {
        machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    machine.lastError = ERROR_SUCCESS;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        const LUID luid = newState->Privileges[i].Luid;
        const std::wstring name = luid.LowPart == 17 ? kBackup : luid.LowPart == 18 ? kRestore : L"";
        if (!machine.heldPrivileges.count(name))
            machine.lastError = ERROR_NOT_ALL_ASSIGNED;
        else if (newState->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
            machine.enabledPrivileges.insert(name);
    }
    return TRUE;
}

BOOL SetDefaultDllDirectories(DWORD directoryFlags) {
    Record("SetDefaultDllDirectories", Hex(directoryFlags));
    return TRUE;
}

BOOL SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, void* buffer, SIZE_T length) {
    DWORD flags = 0;
    std::memcpy(&flags, buffer, std::min(length, sizeof flags));
    Record("SetProcessMitigationPolicy", std::to_string(policy), "flags=" + Hex(flags), std::to_string(length));
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
    Record("CompareStringOrdinal", Text(first), std::to_string(firstChars), Text(second),
           std::to_string(secondChars), std::to_string(ignoreCase));
    std::wstring a(first, firstChars), b(second, secondChars);
    if (ignoreCase) {
        a = FoldAscii(a);
        b = FoldAscii(b);
    }
    return a < b ? CSTR_LESS_THAN : a == b ? CSTR_EQUAL : CSTR_GREATER_THAN;
}
