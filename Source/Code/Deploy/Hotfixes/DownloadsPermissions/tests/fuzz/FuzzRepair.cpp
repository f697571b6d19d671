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

// Registry bytes of any length up to three times the value buffer's, often
// within two bytes of its edge, from a few bytes of input: some drawn, the
// rest one repeated byte (a NUL makes a terminated text, anything else one
// that fills the buffer).
std::vector<BYTE> TakeValue(FuzzedDataProvider& data) {
    constexpr size_t kEdge = kPathChars * sizeof(wchar_t);
    const size_t length = data.ConsumeBool() ? data.ConsumeIntegralInRange<size_t>(kEdge - 2, kEdge + 2)
                                             : data.ConsumeIntegralInRange<size_t>(0, 3 * kEdge);
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
                                      ERROR_SHARING_VIOLATION, 1920};
    return data.ConsumeIntegralInRange<int>(0, 3) != 0 ? data.PickValueInArray(kTold) : data.ConsumeIntegral<DWORD>();
}

// What a folder on the way, or Downloads, is: mostly a folder, else missing
// (with why), a file, a link, or any attributes at all; and, sometimes, left
// out of its folder's first listings, how its listing or an open fails, or
// what a handle on it shows.
void ScriptObject(FuzzedDataProvider& data, stand_in::MachineState& machine, const std::wstring& path) {
    switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 1: machine.attributes[path] = INVALID_FILE_ATTRIBUTES; machine.missingErrors[path] = TakeError(data); break;
    case 2: machine.attributes[path] = FILE_ATTRIBUTE_ARCHIVE; break;
    case 3: machine.attributes[path] = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT; break;
    case 4: machine.attributes[path] = data.ConsumeIntegral<DWORD>(); break;
    default: machine.attributes[path] = FILE_ATTRIBUTE_DIRECTORY; break;
    }
    if (data.ConsumeIntegralInRange<int>(0, 5) == 0)
        machine.unlisted[path] = data.ConsumeIntegralInRange<int>(1, 2);
    if (data.ConsumeIntegralInRange<int>(0, 5) == 0)
        machine.openErrors[path] = TakeError(data);
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.listErrors[path] = TakeError(data);
    if (data.ConsumeIntegralInRange<int>(0, 5) == 0)
        machine.attributesOnceOpened[path] = data.ConsumeIntegral<DWORD>();
    ScriptFinalPath(data, machine, path);
}

// A few items below Downloads: plain files and folders, now and then a link,
// a file with a second name, a swap, one that lies elsewhere once opened,
// or one that cannot be opened, read, worked out or written; some protected.
void ScriptInside(FuzzedDataProvider& data, stand_in::MachineState& machine, const std::wstring& downloadsPath) {
    std::vector<std::wstring> folders = {downloadsPath};
    for (int items = data.ConsumeIntegralInRange<int>(0, 6); items > 0; --items) {
        const std::wstring path = data.PickValueInArray<std::wstring>({folders.front(), folders.back()}) + L"\\" +
                                  static_cast<wchar_t>(L'a' + data.ConsumeIntegralInRange<int>(0, 3));
        const bool folder = data.ConsumeBool();
        machine.attributes[path] = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (folder)
            folders.push_back(path);
        switch (data.ConsumeIntegralInRange<int>(0, 13)) {
        case 1: machine.attributes[path] |= FILE_ATTRIBUTE_REPARSE_POINT; break;
        case 2: machine.names[path] = data.ConsumeIntegralInRange<DWORD>(0, 3); break;
        case 3: machine.attributesOnceOpened[path] = data.ConsumeIntegral<DWORD>(); break;
        case 4: machine.openErrors[path] = TakeError(data); break;
        case 5: machine.listErrors[path] = TakeError(data); break;
        case 6: machine.security[path] = "O:U1G:SYD:AI"; break;
        case 7: machine.security[path] = "O:U1G:SYD:PAI(A;OICI;FA;;;U1)"; break;
        case 8: machine.security[path] = "O:U1G:SYD:AI(OA;OICI;FA;;;WD)(A;OICI;GA;;;CO)"; break;
        case 9: machine.onlyName[path] = L"C:\\Elsewhere\\" + path.substr(path.rfind(L'\\') + 1); break;
        case 12: machine.namesUnknown = true; break;
        case 10: machine.readErrors[path] = TakeError(data); break;
        case 11: machine.writeErrors[path] = {TakeError(data)}; break;
        default: break;
        }
    }
}

// The real path a handle on path leads to, as GetFinalPathNameByHandleW
// hands it over to the tool's buffer; empty when it cannot.
std::wstring FinalPath(const std::wstring& path) {
    const std::wstring final = stand_in::FinalPathOf(path);
    return final.size() < kPathChars ? final : L"";
}

// Whether a handle on path shows the folder itself, where it really belongs:
// below the application-data folder's real path, followed by the first
// suffixChars of the suffix.
bool ProvesTheRealFolder(const std::wstring& path, const std::wstring& appDataPath, size_t suffixChars) {
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

// Whether a handle on an item inside Downloads shows it plain and where its
// folder lists it: no reparse point, of the kind listed, one name, and that
// name the one the folder lists.
bool ProvesAPlainItem(const std::wstring& path) {
    const stand_in::MachineState& machine = stand_in::Machine();
    const DWORD attributes = stand_in::AttributesOnceOpened(path);
    const auto names = machine.names.find(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           ((attributes ^ stand_in::AttributesOf(path)) & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (names == machine.names.end() || names->second <= 1) && machine.onlyName.count(path) == 0;
}

// Whether every item below folder that a repair must reach has had its new
// list written: all but a protected item and what lies below it.
bool AllWrittenBelow(const std::wstring& folder) {
    for (const std::wstring& item : stand_in::ChildrenOf(folder)) {
        const std::string dacl = stand_in::DaclOf(item);
        if (dacl.rfind("D:P", 0) == 0)
            continue;
        const auto& writes = stand_in::Machine().writes;
        const bool written = std::any_of(writes.begin(), writes.end(), [&](const stand_in::Written& write) {
            return write.path == item && write.error == ERROR_SUCCESS;
        });
        if (!written || ((stand_in::AttributesOnceOpened(item) & FILE_ATTRIBUTE_DIRECTORY) && !AllWrittenBelow(item)))
            return false;
    }
    return true;
}

// Whether Downloads may have been missing from the listings of the way: no
// chain of folders from the application-data folder to a Downloads, each
// matched by name ignoring case, every one of which its folder lists every
// time, and the application-data folder there to be opened.
bool ListedChainFrom(const stand_in::MachineState& machine, const std::wstring& folder, int depth) {
    static const wchar_t* const kNames[] = {L"MORVANE SECURITY", L"MORVANE DEVICES AGENT", L"DOWNLOADS"};
    if (depth == 3)
        return true;
    const std::wstring prefix = folder + (!folder.empty() && folder.back() == L'\\' ? L"" : L"\\");
    for (const std::wstring& child : stand_in::ChildrenOf(folder)) {
        const auto hidden = machine.unlisted.find(child);
        if (stand_in::FoldAscii(child.substr(prefix.size())) == kNames[depth] &&
            (hidden == machine.unlisted.end() || hidden->second == 0) && ListedChainFrom(machine, child, depth + 1))
            return true;
    }
    return false;
}
bool MissingInListings(const stand_in::MachineState& machine, const std::wstring& appDataPath) {
    const auto opens = machine.openErrors.find(appDataPath);
    DWORD error = ERROR_SUCCESS;
    if (stand_in::AttributesOf(appDataPath) == INVALID_FILE_ATTRIBUTES)
        error = machine.missingErrors.count(appDataPath) ? machine.missingErrors.at(appDataPath) : ERROR_FILE_NOT_FOUND;
    else if (opens != machine.openErrors.end())
        error = opens->second;
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || !ListedChainFrom(machine, appDataPath, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    stand_in::MachineState& machine = stand_in::ResetMachine();
    for (const char* function : {"SetDefaultDllDirectories", "GetFinalPathNameByHandleW", "CompareStringOrdinal",
                                 "GetFileInformationByHandleEx", "NtCreateFile", "NtQueryInformationFile"})
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
    machine.attributes[appDataPath] = data.ConsumeIntegralInRange<int>(0, 15) != 0 ? FILE_ATTRIBUTE_DIRECTORY
                                                                                   : INVALID_FILE_ATTRIBUTES;
    for (const std::wstring& path : {WithSuffix(appDataPath, 16), WithSuffix(appDataPath, 38), downloadsPath})
        ScriptObject(data, machine, path);
    // The agent's folder again under a name that differs only in case.
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.attributes[WithSuffix(appDataPath, 16) + L"\\MORVANE DEVICES AGENT"] = FILE_ATTRIBUTE_DIRECTORY;
    ScriptInside(data, machine, downloadsPath);
    if (data.ConsumeIntegralInRange<int>(0, 15) == 0)
        machine.fileSystem = L"ReFS";
    // Downloads left closed to everyone, and a token that may lack what opens it.
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        machine.security[downloadsPath] = data.ConsumeBool() ? "O:BAG:SYD:PAI" : "O:BAG:SYD:AI";
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.readErrors[WithSuffix(appDataPath, 38)] = TakeError(data);
    machine.tokenOpens = data.ConsumeIntegralInRange<int>(0, 7) != 0;
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        machine.heldPrivileges = {data.ConsumeBool() ? stand_in::kBackup : stand_in::kRestore, stand_in::kChangeNotify};
    // Left on by whoever started the run, where the token holds them.
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.enabledPrivileges = machine.heldPrivileges;
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.adjustsGranted = data.ConsumeIntegralInRange<int>(0, 3);

    machine.readStatus = static_cast<DWORD>(TakeStatus(data));
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
        machine.sourceHasDacl = false;
    machine.writeErrors[downloadsPath] = {static_cast<DWORD>(TakeStatus(data)), static_cast<DWORD>(TakeStatus(data))};

    const stand_in::MachineState scripted = machine;
    wchar_t program[] = L"DownloadsPermissions.exe";
    wchar_t* argv[] = {program, nullptr};
    const int status = wmain(1, argv, argv + 1);

    // No call that walks a tree of its own is ever made.
    for (const std::string& call : machine.calls)
        Require(call.rfind("SetNamedSecurityInfoW(", 0) != 0 && call.rfind("SetSecurityInfo(", 0) != 0);
    Require(machine.openHandles.empty() && machine.allocated.empty());
    const bool readSucceeded = machine.read.size() == 1 && machine.readStatus == ERROR_SUCCESS;
    Require(machine.read.size() <= 1 && machine.released == (readSucceeded ? 1 : 0));

    // Until the tool opens the application-data folder it reads and writes
    // nothing, and ends 0 only where no agent's key is there.
    if (machine.opened.empty()) {
        Require(machine.read.empty() && machine.writes.empty());
        Require(status != 0 || scripted.openStatus == ERROR_SUCCESS || scripted.openStatus == ERROR_FILE_NOT_FOUND);
        return 0;
    }

    // Only the application-data folder, the way, Downloads and what lies
    // inside it are ever opened.
    for (const stand_in::Opened& opened : machine.opened)
        Require(opened.path == appDataPath || opened.path == WithSuffix(appDataPath, 16) ||
                stand_in::FoldAscii(opened.path) == stand_in::FoldAscii(WithSuffix(appDataPath, 38)) ||
                stand_in::FoldAscii(opened.path).rfind(stand_in::FoldAscii(WithSuffix(appDataPath, 38)) + L"\\", 0) == 0);

    // Downloads is written first, in one pair, after the read: the empty
    // list, then the one read; then only items inside it, each once. Every
    // write goes through an open handle on an item shown plain and in its
    // place (Downloads: the real folder at the end of the way; an item
    // inside: as its folder listed it), while every folder from it (or from
    // the file's folder) up to the vendor's is held, on NTFS, with neither
    // privilege that overrides access checks on.
    if (!machine.writes.empty()) {
        Require(readSucceeded && machine.sourceHasDacl && machine.fileSystem == L"NTFS" && machine.writes.size() >= 2);
        Require(machine.writes[0] == stand_in::Written{downloadsPath, true, "empty"});
        Require(machine.writes[1] == stand_in::Written{downloadsPath, true, "source"});
        for (const size_t suffixChars : {size_t{16}, size_t{38}, kSuffix.size()})
            Require(ProvesTheRealFolder(WithSuffix(appDataPath, suffixChars), appDataPath, suffixChars));
        std::set<std::wstring> written;
        for (size_t i = 0; i < machine.writes.size(); ++i) {
            const stand_in::Written& write = machine.writes[i];
            Require(write.open && !write.privileges.count(stand_in::kBackup) &&
                    !write.privileges.count(stand_in::kRestore) && write.privileges.count(stand_in::kChangeNotify));
            std::wstring held = write.path;  // a file takes no part in sharing: its folder is held
            if (!(stand_in::AttributesOnceOpened(held) & FILE_ATTRIBUTE_DIRECTORY))
                held = held.substr(0, held.rfind(L'\\'));
            for (; held.size() >= WithSuffix(appDataPath, 16).size(); held = held.substr(0, held.rfind(L'\\')))
                Require(write.held.count(held) == 1);
            if (i < 2)
                continue;
            Require(write.path.rfind(downloadsPath + L"\\", 0) == 0 && written.insert(write.path).second);
            Require(ProvesAPlainItem(write.path));
        }
    }
    // Status 0 means Downloads and all it holds carry their new lists, or
    // Downloads is missing from two listings of the way.
    if (status == 0) {
        const bool repaired = !machine.writes.empty() && stand_in::ListOf(downloadsPath) == "source" &&
                              AllWrittenBelow(downloadsPath);
        Require(repaired || (machine.writes.empty() && machine.read.empty() && MissingInListings(scripted, appDataPath)));
    }
    return 0;
}
