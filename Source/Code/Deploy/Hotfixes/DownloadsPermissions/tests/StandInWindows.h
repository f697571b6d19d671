#pragma once

// A scriptable stand-in for the few Windows calls the tool makes. Types and
// constants carry the values the Windows SDK gives them; each call is
// recorded with its arguments and answered from stand_in::Machine().
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

using BYTE = unsigned char;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using HRESULT = LONG;
using REGSAM = DWORD;
using SECURITY_INFORMATION = DWORD;
using HKEY = struct HKEY__*;
using HWND = struct HWND__*;
using HANDLE = void*;
using HLOCAL = void*;
using PSID = void*;
using PACL = struct ACL*;
using PSECURITY_DESCRIPTOR = void*;
enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1, SE_REGISTRY_KEY = 4 };

constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
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
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;

LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegQueryValueExW(HKEY key, const wchar_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize);
LSTATUS RegCloseKey(HKEY key);
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);
DWORD GetFileAttributesW(const wchar_t* path);
DWORD GetNamedSecurityInfoW(const wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD SetNamedSecurityInfoW(wchar_t* objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                            PSID owner, PSID group, PACL dacl, PACL sacl);
HLOCAL LocalFree(HLOCAL memory);

namespace stand_in {

// Largest text a folder lookup hands back whole; a longer scripted folder is
// written truncated and unterminated, as a misbehaving platform might.
constexpr std::size_t kFolderBufferChars = 2048;

struct Folder {
    HRESULT result = S_OK;
    std::wstring path;
};

// What the machine answers. Defaults describe a machine where the agent is
// installed and a repair succeeds.
struct MachineState {
    LSTATUS openStatus = ERROR_SUCCESS;
    std::optional<std::vector<BYTE>> agentPathValue;  // nullopt: no "Path" value
    Folder programFilesX86{S_OK, L"C:\\Program Files (x86)"};
    Folder commonAppData{S_OK, L"C:\\ProgramData"};
    std::map<std::wstring, DWORD> attributes;  // path -> its attributes
    DWORD otherAttributes = INVALID_FILE_ATTRIBUTES;  // for every path not listed
    DWORD readStatus = ERROR_SUCCESS;
    PACL sourceDacl = nullptr;                  // what a successful read hands back
    DWORD clearStatus = ERROR_SUCCESS;          // first write, no DACL
    DWORD copyStatus = ERROR_SUCCESS;           // second write, the DACL read
    std::vector<std::string> calls;             // each call, as text
};

MachineState& Machine();
// Starts a fresh machine with its default answers and no recorded calls.
MachineState& ResetMachine();

// The bytes of text as the registry holds it: one wchar_t per code unit.
std::vector<BYTE> TextBytes(const std::wstring& text);
PACL SourceDacl();                                      // the DACL a read returns by default
PSECURITY_DESCRIPTOR SourceDescriptor();                // the descriptor that holds it

}  // namespace stand_in
