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

std::wstring WithSuffix(const std::wstring& base) {
    return base + (!base.empty() && base.back() == L'\\' ? L"" : L"\\") + kSuffix;
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

// The real path a handle on path leads to, as GetFinalPathNameByHandleW
// hands it over to the tool's buffer; empty when it cannot.
std::wstring FinalPath(const std::wstring& path) {
    const std::wstring final = stand_in::FinalPathOf(path);
    return final.size() < kPathChars ? final : L"";
}

// Whether a handle opened first (Downloads) and one opened next (the
// application-data folder) show the folder itself, where it really belongs.
bool ProvesTheRealFolder(const stand_in::MachineState& machine) {
    if (machine.opened.size() != 2 || machine.missingFunctions.count("GetFinalPathNameByHandleW") ||
        machine.missingFunctions.count("CompareStringOrdinal"))
        return false;
    const std::wstring& downloads = machine.opened[0];
    const DWORD attributes = stand_in::AttributesOnceOpened(downloads);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const std::wstring appDataFinal = FinalPath(machine.opened[1]);
    const std::wstring downloadsFinal = FinalPath(downloads);
    const std::wstring expected = WithSuffix(appDataFinal);
    return !appDataFinal.empty() && expected.size() < kPathChars && !downloadsFinal.empty() &&
           stand_in::FoldAscii(expected) == stand_in::FoldAscii(downloadsFinal);
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

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
        machine.agentPathValue =
            data.ConsumeBytes<BYTE>(data.ConsumeIntegralInRange<size_t>(0, 3 * kPathChars * sizeof(wchar_t)));
    machine.programFilesX86 = {TakeStatus(data), TakePath(data)};
    machine.commonAppData = {TakeStatus(data), TakePath(data)};
    machine.otherAttributes = data.ConsumeBool() ? FILE_ATTRIBUTE_DIRECTORY : data.ConsumeIntegral<DWORD>();

    // What the folders the tool should arrive at answer once opened.
    const std::wstring appData = machine.commonAppData.path.substr(0, kPathChars);
    const std::wstring appDataPath = appData.substr(0, appData.find(L'\0'));
    const std::wstring downloadsPath = WithSuffix(appDataPath);
    for (const std::wstring& path : {appDataPath, downloadsPath}) {
        if (data.ConsumeIntegralInRange<int>(0, 15) == 0)
            machine.openErrors[path] = static_cast<DWORD>(TakeStatus(data));
        ScriptFinalPath(data, machine, path);
    }
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        machine.attributesOnceOpened[downloadsPath] = data.ConsumeIntegral<DWORD>();

    machine.readStatus = static_cast<DWORD>(TakeStatus(data));
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.sourceDacl = nullptr;
    machine.aclInitializes = data.ConsumeIntegralInRange<int>(0, 15) != 0;
    machine.closeStatus = static_cast<DWORD>(TakeStatus(data));
    machine.copyStatus = static_cast<DWORD>(TakeStatus(data));

    wchar_t program[] = L"DownloadsPermissions.exe";
    wchar_t* argv[] = {program, nullptr};
    const int status = wmain(1, argv, argv + 1);

    int reads = 0, releases = 0;
    std::vector<std::string> writes;
    for (const std::string& call : machine.calls) {
        reads += StartsWith(call, "GetNamedSecurityInfoW(");
        releases += StartsWith(call, "LocalFree(");
        if (StartsWith(call, "SetSecurityInfo("))
            writes.push_back(call);
        Require(!StartsWith(call, "SetNamedSecurityInfoW("));
    }
    const bool readSucceeded = reads == 1 && machine.readStatus == ERROR_SUCCESS;
    const bool verified = ProvesTheRealFolder(machine);
    // Opened Downloads with the rights the writes need, on the folder itself;
    // or tried to, and failed.
    const std::string openDownloads = ", 0x60001, 0x3, null, 3, 0x2200000, null) = ";
    const auto triedWith = [&](const std::string& result) {
        return std::any_of(machine.calls.begin(), machine.calls.end(), [&](const std::string& c) {
            return StartsWith(c, "CreateFileW(") && c.find(openDownloads + result) != std::string::npos;
        });
    };
    const bool downloadsOpened = triedWith("handle#1");
    const bool openFailed = triedWith("INVALID_HANDLE_VALUE");

    // Writes come in one pair, only through the verified handle while it is
    // open, never with a null list: first the empty one, then the one read.
    const std::string through = "SetSecurityInfo(handle#1, 1, 0x4, owner=null, group=null, dacl=";
    Require(writes.empty() || writes.size() == 2);
    if (!writes.empty()) {
        Require(downloadsOpened && verified && readSucceeded && machine.sourceDacl);
        Require(machine.opened[0].size() >= kSuffix.size() &&
                machine.opened[0].compare(machine.opened[0].size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
        Require(writes[0] == through + "empty-acl, sacl=null)");
        Require(writes[1] == through + "source-dacl, sacl=null)");
    }
    // A refusal comes before the source is read, and writes nothing.
    const bool refused = downloadsOpened && !verified;
    Require(!refused || (reads == 0 && writes.empty()));
    // Nothing that could be done was left undone.
    if (downloadsOpened && verified && readSucceeded && machine.sourceDacl && machine.aclInitializes)
        Require(writes.size() == 2);

    // Only Downloads and then the application-data folder are ever opened.
    Require(machine.opened.size() <= 2);
    Require(machine.opened.size() < 2 || machine.opened[1] == appDataPath);
    Require(releases == (readSucceeded ? 1 : 0));
    Require(machine.openHandles.empty());
    // Status 0 only where the folder carries the new list or nothing may be
    // done: after the writes, only when the second one landed.
    Require(writes.empty() || (status == 0) == (machine.copyStatus == ERROR_SUCCESS));
    const auto failure = [](DWORD error) { return error == 0 ? 1 : static_cast<int>(error); };
    int expected = 0;
    if (refused) {
        expected = 681;
    } else if (openFailed) {
        const DWORD error = machine.openErrors.count(downloadsPath) ? machine.openErrors.at(downloadsPath) : 2;
        expected = error == 2 || error == 3 || error == 5 ? 0 : failure(error);
    } else if (!writes.empty()) {
        expected = static_cast<int>(machine.copyStatus);
    } else if (readSucceeded && machine.sourceDacl && !machine.aclInitializes) {
        expected = failure(machine.aclError);
    }
    Require(status == expected);
    return 0;
}
