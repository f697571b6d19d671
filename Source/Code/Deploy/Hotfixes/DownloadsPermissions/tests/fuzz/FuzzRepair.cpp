// Drives a whole run of the tool through the stand-in with whatever the
// platform might answer: registry bytes of any size, folder paths of any
// length, real paths of any kind behind the handles, functions missing as on
// older Windows, any status from any call. Sanitizers catch memory faults;
// the checks below catch a run that breaks the tool's promises.
#include "../../DownloadsPermissions.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <optional>
#include <set>
#include <string>

namespace {

const std::wstring kSuffix = L"Morvane Security\\Morvane Devices Agent\\Downloads";

void Require(bool promise, int line = __builtin_LINE()) {
    if (!promise) {
        std::fprintf(stderr, "broken promise at FuzzRepair.cpp:%d\n", line);
        std::abort();
    }
}

int32_t TakeStatus(FuzzedDataProvider& data) {
    return data.ConsumeBool() ? 0 : data.ConsumeIntegral<int32_t>();
}

// A path of any length around the buffer's, from a few units of input.
std::wstring TakePath(FuzzedDataProvider& data) {
    const size_t length = data.ConsumeIntegralInRange<size_t>(0, kPathChars + 16);
    std::wstring path;
    for (size_t units = data.ConsumeIntegralInRange<size_t>(0, 8); units > 0; --units)
        path += static_cast<wchar_t>(data.ConsumeIntegral<uint16_t>());
    path.resize(length, data.ConsumeBool() ? L'\\' : L'a');
    return path;
}

// Registry bytes of any length up to three times the value buffer's, from a
// few bytes of input: some drawn, the rest one repeated byte (a NUL makes a
// terminated text, anything else one that fills the buffer).
std::vector<BYTE> TakeValue(FuzzedDataProvider& data) {
    const size_t length = data.ConsumeIntegralInRange<size_t>(0, 3 * kPathChars * sizeof(wchar_t));
    std::vector<BYTE> value = data.ConsumeBytes<BYTE>(data.ConsumeIntegralInRange<size_t>(0, 64));
    value.resize(std::max(length, value.size()), data.ConsumeIntegral<BYTE>());
    return value;
}

// base, a separator where it has none, and the first suffixChars of the suffix.
std::wstring WithSuffix(const std::wstring& base, size_t suffixChars = kSuffix.size()) {
    return base + (!base.empty() && base.back() == L'\\' ? L"" : L"\\") + kSuffix.substr(0, suffixChars);
}

// Where a handle on path is scripted to lead: the path itself, nowhere, a
// case-changed copy, anything at all, or the same place on another drive.
void ScriptFinalPath(FuzzedDataProvider& data, stand_in::MachineState& machine, const std::wstring& path) {
    switch (data.ConsumeIntegralInRange<int>(0, 4)) {
    case 1: machine.finalPaths[path] = L""; break;
    case 2: machine.finalPaths[path] = L"\\\\?\\" + stand_in::FoldAscii(path); break;
    case 3: machine.finalPaths[path] = TakePath(data); break;
    case 4: machine.finalPaths[path] = L"\\\\?\\D:" + path.substr(std::min<size_t>(path.size(), 2)); break;
    default: break;
    }
}

// An error a real machine gives for a path: mostly the ones the tool tells
// apart, sometimes anything.
DWORD TakeError(FuzzedDataProvider& data) {
    static constexpr DWORD kTold[] = {ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                                      ERROR_SHARING_VIOLATION, ERROR_UNTRUSTED_MOUNT_POINT, 1920};
    return data.ConsumeIntegralInRange<int>(0, 3) != 0 ? data.PickValueInArray(kTold) : data.ConsumeIntegral<DWORD>();
}

// What a folder on the way, or Downloads, is: mostly a folder, else missing
// (with why), a file, a link, or any attributes at all.
void ScriptObject(FuzzedDataProvider& data, stand_in::MachineState& machine, const std::wstring& path) {
    switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 1: machine.attributes[path] = INVALID_FILE_ATTRIBUTES; machine.missingErrors[path] = TakeError(data); break;
    case 2: machine.attributes[path] = FILE_ATTRIBUTE_ARCHIVE; break;
    case 3: machine.attributes[path] = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT; break;
    case 4: machine.attributes[path] = data.ConsumeIntegral<DWORD>(); break;
    default: machine.attributes[path] = FILE_ATTRIBUTE_DIRECTORY; break;
    }
    if (data.ConsumeIntegralInRange<int>(0, 5) == 0)
        machine.openErrors[path] = TakeError(data);
    if (data.ConsumeIntegralInRange<int>(0, 5) == 0)
        machine.attributesOnceOpened[path] = data.ConsumeIntegral<DWORD>();
    ScriptFinalPath(data, machine, path);
}

// The real path a handle on path leads to, as GetFinalPathNameByHandleW
// hands it over to the tool's buffer; empty when it cannot.
std::wstring FinalPath(const std::wstring& path) {
    const std::wstring final = stand_in::FinalPathOf(path);
    return final.size() < kPathChars ? final : L"";
}

// Whether the tool can enable both privileges that open any folder.
bool FullAccess(const stand_in::MachineState& machine) {
    return machine.tokenOpens && machine.heldPrivileges.count(stand_in::kBackup) &&
           machine.heldPrivileges.count(stand_in::kRestore);
}

// Why an open of path fails, as the stand-in decides it on the machine as
// scripted; nullopt when it opens.
std::optional<DWORD> OpenError(const stand_in::MachineState& machine, const std::wstring& path) {
    if (stand_in::AttributesOf(path) == INVALID_FILE_ATTRIBUTES)
        return machine.missingErrors.count(path) ? machine.missingErrors.at(path) : ERROR_FILE_NOT_FOUND;
    if (machine.openErrors.count(path))
        return machine.openErrors.at(path);
    const auto list = machine.lists.find(path);
    if (list != machine.lists.end() && list->second == "empty" && !FullAccess(machine))
        return ERROR_ACCESS_DENIED;
    return std::nullopt;
}

// Whether a handle on path shows the folder itself, where it really belongs:
// below the application-data folder's real path, followed by the first
// suffixChars of the suffix.
bool ProvesTheRealFolder(const stand_in::MachineState& machine, const std::wstring& path,
                         const std::wstring& appDataPath, size_t suffixChars) {
    if (machine.missingFunctions.count("GetFinalPathNameByHandleW") ||
        machine.missingFunctions.count("CompareStringOrdinal") || OpenError(machine, appDataPath))
        return false;
    const DWORD attributes = stand_in::AttributesOnceOpened(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const std::wstring appDataFinal = FinalPath(appDataPath);
    const std::wstring final = FinalPath(path);
    const std::wstring expected = WithSuffix(appDataFinal, suffixChars);
    return !appDataFinal.empty() && expected.size() < kPathChars && !final.empty() &&
           stand_in::FoldAscii(expected) == stand_in::FoldAscii(final);
}

int Failure(DWORD error) { return error == 0 ? 1 : static_cast<int>(error); }

// The status for Downloads missing: 0 only on a way of plain folders.
int ExpectedWhenMissing(const stand_in::MachineState& machine, const std::wstring& appDataPath) {
    for (const size_t suffixChars : {size_t{16}, size_t{38}}) {
        const std::wstring way = WithSuffix(appDataPath, suffixChars);
        if (way.size() >= kPathChars)
            return 681;
        if (const auto error = OpenError(machine, way))
            return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? 0 : 681;
        if (!ProvesTheRealFolder(machine, way, appDataPath, suffixChars))
            return 681;
    }
    return 0;
}

int ExpectedWhenNotReached(const stand_in::MachineState& machine, const std::wstring& appDataPath, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return ExpectedWhenMissing(machine, appDataPath);
    return error == ERROR_UNTRUSTED_MOUNT_POINT ? 681 : Failure(error);
}

// The status a run must end with, once the tool has built the Downloads
// path and examined it: worked out from the machine alone.
int ExpectedStatus(const stand_in::MachineState& machine, const std::wstring& appDataPath,
                   const std::wstring& downloadsPath) {
    const DWORD attributes = stand_in::AttributesOf(downloadsPath);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ExpectedWhenNotReached(machine, appDataPath, *OpenError(machine, downloadsPath));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return attributes & FILE_ATTRIBUTE_REPARSE_POINT ? 681 : 267;
    if (const auto error = OpenError(machine, downloadsPath))
        return ExpectedWhenNotReached(machine, appDataPath, *error);
    if (!ProvesTheRealFolder(machine, downloadsPath, appDataPath, kSuffix.size()))
        return 681;
    if (machine.readStatus != ERROR_SUCCESS)
        return Failure(machine.readStatus);
    if (!machine.sourceDacl)
        return 1350;
    if (!machine.aclInitializes)
        return Failure(machine.aclError);
    return static_cast<int>(machine.copyStatus);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    stand_in::MachineState& machine = stand_in::ResetMachine();
    for (const char* function : {"SetDefaultDllDirectories", "SetProcessMitigationPolicy",
                                 "GetFinalPathNameByHandleW", "CompareStringOrdinal"})
        if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
            machine.missingFunctions.insert(function);
    machine.openStatus = TakeStatus(data);
    if (data.ConsumeBool())
        machine.agentPathValue = TakeValue(data);
    machine.programFilesX86 = {TakeStatus(data), TakePath(data)};
    machine.commonAppData = {TakeStatus(data), TakePath(data)};
    machine.otherAttributes = data.ConsumeBool() ? FILE_ATTRIBUTE_DIRECTORY : data.ConsumeIntegral<DWORD>();

    // What the folders the tool should arrive at are, and answer once opened.
    const std::wstring appData = machine.commonAppData.path.substr(0, kPathChars);
    const std::wstring appDataPath = appData.substr(0, appData.find(L'\0'));
    const std::wstring downloadsPath = WithSuffix(appDataPath);
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.openErrors[appDataPath] = TakeError(data);
    ScriptFinalPath(data, machine, appDataPath);
    for (const std::wstring& path : {WithSuffix(appDataPath, 16), WithSuffix(appDataPath, 38), downloadsPath})
        ScriptObject(data, machine, path);
    // Downloads left closed to everyone, and a token that may lack what opens it.
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        machine.lists[downloadsPath] = "empty";
    machine.tokenOpens = data.ConsumeIntegralInRange<int>(0, 7) != 0;
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        machine.heldPrivileges = {data.ConsumeBool() ? stand_in::kBackup : stand_in::kRestore};

    machine.readStatus = static_cast<DWORD>(TakeStatus(data));
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.sourceDacl = nullptr;
    machine.aclInitializes = data.ConsumeIntegralInRange<int>(0, 15) != 0;
    machine.closeStatus = static_cast<DWORD>(TakeStatus(data));
    machine.copyStatus = static_cast<DWORD>(TakeStatus(data));

    const stand_in::MachineState scripted = machine;
    wchar_t program[] = L"DownloadsPermissions.exe";
    wchar_t* argv[] = {program, nullptr};
    const int status = wmain(1, argv, argv + 1);

    for (const std::string& call : machine.calls)
        Require(call.rfind("SetNamedSecurityInfoW(", 0) != 0);
    Require(machine.openHandles.empty());
    const bool readSucceeded = machine.read.size() == 1 && machine.readStatus == ERROR_SUCCESS;
    Require(machine.read.size() <= 1 && machine.released == (readSucceeded ? 1 : 0));

    // The tool looked at Downloads only once it had the agent, both special
    // folders and a path that fits; until then it opens nothing.
    const bool examined =
        std::find(machine.examined.begin(), machine.examined.end(), downloadsPath) != machine.examined.end();
    if (!examined) {
        Require(status == 0 && machine.opened.empty() && machine.read.empty() && machine.writes.empty());
        return 0;
    }
    Require(status == ExpectedStatus(scripted, appDataPath, downloadsPath));

    // Only Downloads, the folders on the way and the application-data folder
    // are ever opened; Downloads with both privileges where the token has them.
    std::set<std::wstring> privileges;
    for (const std::wstring& name : {std::wstring(stand_in::kBackup), std::wstring(stand_in::kRestore)})
        if (machine.tokenOpens && machine.heldPrivileges.count(name))
            privileges.insert(name);
    for (const stand_in::Opened& opened : machine.opened) {
        Require(opened.path == downloadsPath || opened.path == appDataPath ||
                opened.path == WithSuffix(appDataPath, 16) || opened.path == WithSuffix(appDataPath, 38));
        Require(opened.path != downloadsPath || opened.privileges == privileges);
    }

    // Writes come in one pair, only through the verified handle on Downloads
    // while it is open, after the read: first the empty list, then the one read.
    Require(machine.writes.empty() || machine.writes.size() == 2);
    if (!machine.writes.empty()) {
        Require(readSucceeded && machine.sourceDacl && !machine.opened.empty() &&
                machine.opened[0].path == downloadsPath &&
                ProvesTheRealFolder(scripted, downloadsPath, appDataPath, kSuffix.size()));
        Require(machine.writes[0] == stand_in::Written{downloadsPath, true, "empty"});
        Require(machine.writes[1] == stand_in::Written{downloadsPath, true, "source"});
    }
    // Status 0 means Downloads carries the new list, or the tool did nothing.
    if (status == 0) {
        const auto carried = machine.lists.find(downloadsPath);
        Require((!machine.writes.empty() && carried != machine.lists.end() && carried->second == "source") ||
                (machine.writes.empty() && machine.read.empty() &&
                 (machine.opened.empty() || machine.opened[0].path != downloadsPath)));
    }
    return 0;
}
