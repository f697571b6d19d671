#include "StandInWindows.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace stand_in {
namespace {

ACL* const kSourceDacl = reinterpret_cast<ACL*>(std::uintptr_t{0xDAC1});
void* const kSourceDescriptor = reinterpret_cast<void*>(std::uintptr_t{0x5D});
HKEY const kAgentKey = reinterpret_cast<HKEY>(std::uintptr_t{0xA6});

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

}  // namespace

MachineState& Machine() {
    static MachineState machine;
    return machine;
}

MachineState& ResetMachine() {
    MachineState& machine = Machine();
    machine = MachineState{};
    machine.agentPathValue = TextBytes(std::wstring(L"C:\\Program Files (x86)\\Kelto Agent") + L'\0');
    machine.sourceDacl = kSourceDacl;
    machine.attributes = {
        {L"C:\\Program Files (x86)\\Kelto Agent", FILE_ATTRIBUTE_DIRECTORY},
        {L"C:\\Program Files (x86)", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY},
        {L"C:\\ProgramData\\Morvane Security\\Morvane Devices Agent\\Downloads", FILE_ATTRIBUTE_DIRECTORY},
    };
    return machine;
}

std::vector<BYTE> TextBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

PACL SourceDacl() { return kSourceDacl; }
PSECURITY_DESCRIPTOR SourceDescriptor() { return kSourceDescriptor; }

}  // namespace stand_in

using namespace stand_in;

LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result) {
    Record("RegOpenKeyExW", Pointer(key), Text(subKey), std::to_string(options), Hex(access));
    if (Machine().openStatus != ERROR_SUCCESS)
        return Machine().openStatus;
    *result = kAgentKey;
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
    const auto found = Machine().attributes.find(path);
    return found == Machine().attributes.end() ? Machine().otherAttributes : found->second;
}

DWORD GetNamedSecurityInfoW(const wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    Record("GetNamedSecurityInfoW", Text(objectName), std::to_string(objectType), Hex(info), "owner=" + Out(owner),
           "group=" + Out(group), "dacl=" + Out(dacl), "sacl=" + Out(sacl), "descriptor=" + Out(descriptor));
    if (Machine().readStatus != ERROR_SUCCESS)
        return Machine().readStatus;
    *dacl = Machine().sourceDacl;
    *descriptor = kSourceDescriptor;
    return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoW(wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID owner, PSID group, PACL dacl, PACL sacl) {
    Record("SetNamedSecurityInfoW", Text(objectName), std::to_string(objectType), Hex(info),
           "owner=" + Pointer(owner), "group=" + Pointer(group), "dacl=" + Pointer(dacl), "sacl=" + Pointer(sacl));
    const auto writes = std::count_if(Machine().calls.begin(), Machine().calls.end(), [](const std::string& call) {
        return call.rfind("SetNamedSecurityInfoW(", 0) == 0;
    });
    return writes == 1 ? Machine().clearStatus : Machine().copyStatus;
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree", Pointer(memory));
    return nullptr;
}
