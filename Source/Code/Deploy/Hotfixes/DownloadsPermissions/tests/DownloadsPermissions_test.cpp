#include "../DownloadsPermissions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using stand_in::kCommonAppData;
using stand_in::kDownloads;
using stand_in::MachineState;
using stand_in::TextBytes;
using Calls = std::vector<std::string>;

const std::string kSuffix = R"~(Morvane Security\Morvane Devices Agent\Downloads)~";
const std::string kHarden = "SetDefaultDllDirectories(0x800)";
const std::string kMitigate = "SetProcessMitigationPolicy(16, flags=0x1, 4)";
const std::string kOpen = R"~(RegOpenKeyExW(HKLM, "SOFTWARE\Morvane Security\Dovrix\Kelto Agent", 0, 0xf023f))~";
const std::string kQuery = "RegQueryValueExW(agent-key, \"Path\", reserved=null, type=null, data=out, size=" +
                           std::to_string(kPathChars * sizeof(wchar_t)) + ")";
const std::string kCheckAgent = R"~(GetFileAttributesW("C:\Program Files (x86)\Kelto Agent"))~";
const std::string kClose = "RegCloseKey(agent-key)";
const std::string kFindProgramFiles = "SHGetFolderPathW(null, 0x2a, null, 0)";
const std::string kCheckProgramFiles = R"~(GetFileAttributesW("C:\Program Files (x86)"))~";
const std::string kFindAppData = "SHGetFolderPathW(null, 0x23, null, 0)";
const std::string kInspect = "GetFileInformationByHandle(handle#1, out)";
const std::string kFinalAppData = "GetFinalPathNameByHandleW(handle#2, out, 2048, 0x0)";
const std::string kFinalDownloads = "GetFinalPathNameByHandleW(handle#1, out, 2048, 0x0)";
const std::string kRead = R"~(GetNamedSecurityInfoW("C:\Program Files (x86)", 1, 0x4, owner=null, group=null, )~"
                          "dacl=out, sacl=null, descriptor=out)";
const std::string kEmptyAcl = "InitializeAcl(out, 8, 2)";
const std::string kFree = "LocalFree(source-descriptor)";

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Write(const std::string& dacl) {
    return "SetSecurityInfo(handle#1, 1, 0x4, owner=null, group=null, dacl=" + dacl + ", sacl=null)";
}

std::string Compare(const std::string& expected, const std::string& actual) {
    return "CompareStringOrdinal(" + Quoted(expected) + ", " + std::to_string(expected.size()) + ", " +
           Quoted(actual) + ", " + std::to_string(actual.size()) + ", 1)";
}

// The folders of one run, and the real paths its check compares.
struct Way {
    std::string appData = Narrow(kCommonAppData);
    std::string downloads = Narrow(kDownloads);
    std::string expectedFinal = "\\\\?\\" + Narrow(kDownloads);
    std::string actualFinal = expectedFinal;
};

// Every call of a whole repair along that way, handles' closing left out
// (ExpectRun checks those apart).
Calls RepairCalls(const Way& way = {}) {
    return {kHarden,
            kMitigate,
            kOpen,
            kQuery,
            kCheckAgent,
            kClose,
            kFindProgramFiles,
            kCheckProgramFiles,
            kFindAppData,
            "GetFileAttributesW(" + Quoted(way.downloads) + ")",
            "CreateFileW(" + Quoted(way.downloads) + ", 0x60001, 0x3, null, 3, 0x2200000, null) = handle#1",
            kInspect,
            "CreateFileW(" + Quoted(way.appData) + ", 0x80, 0x7, null, 3, 0x2000000, null) = handle#2",
            kFinalAppData,
            kFinalDownloads,
            Compare(way.expectedFinal, way.actualFinal),
            kRead,
            kEmptyAcl,
            Write("empty-acl"),
            Write("source-dacl"),
            kFree};
}

const Calls kRepair = RepairCalls();

// The calls of a repair up to and including the one that starts with last.
Calls Until(const std::string& last, Calls calls = kRepair) {
    const auto stop = std::find_if(calls.begin(), calls.end(),
                                   [&](const std::string& call) { return call.rfind(last, 0) == 0; });
    calls.erase(stop + 1, calls.end());
    return calls;
}

Calls Then(Calls calls, const Calls& more) {
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
    Calls calls;
};

#ifdef _WIN32
// Captured text is read back in text mode: line ends compare as "\n".
template <typename Action>
void Capture(Action action, std::string& out, std::string& err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    std::fflush(nullptr);
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
}
#else
// glibc refuses wide output on a stream that already carried narrow text (as
// the test runner's stdout has), so the tool is given fresh streams instead.
std::string ReadAll(FILE* file) {
    std::fflush(file);
    std::string text;
    char chunk[512];
    lseek(fileno(file), 0, SEEK_SET);
    for (ssize_t n; (n = read(fileno(file), chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    std::fclose(file);
    return text;
}

template <typename Action>
void Capture(Action action, std::string& out, std::string& err) {
    FILE* const realOut = stdout;
    FILE* const realErr = stderr;
    stdout = std::tmpfile();
    stderr = std::tmpfile();
    action();
    out = ReadAll(stdout);
    err = ReadAll(stderr);
    stdout = realOut;
    stderr = realErr;
}
#endif

// Runs the tool; every handle it opened must be closed exactly once, and the
// closing calls are then left out of the calls returned.
Outcome RunTool(std::vector<std::wstring> args = {L"DownloadsPermissions.exe"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    wchar_t* envp[] = {nullptr};
    Outcome outcome{};
    Capture([&] { outcome.status = wmain(static_cast<int>(args.size()), argv.data(), envp); }, outcome.out,
            outcome.err);
    const MachineState& machine = stand_in::Machine();
    const auto closes = std::count_if(machine.calls.begin(), machine.calls.end(), [](const std::string& call) {
        return call.rfind("CloseHandle(", 0) == 0;
    });
    EXPECT_TRUE(machine.openHandles.empty());
    EXPECT_EQ(static_cast<size_t>(closes), machine.opened.size());
    std::remove_copy_if(machine.calls.begin(), machine.calls.end(), std::back_inserter(outcome.calls),
                        [](const std::string& call) { return call.rfind("CloseHandle(", 0) == 0; });
    return outcome;
}

struct RunCase {
    const char* name;
    std::function<void(MachineState&)> script;
    Calls calls;
    std::string out = "";
    std::string err = "";
    int status = 0;
};

void ExpectRun(const RunCase& c) {
    SCOPED_TRACE(c.name);
    c.script(stand_in::ResetMachine());
    const Outcome outcome = RunTool();
    EXPECT_EQ(outcome.calls, c.calls);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.status, c.status);
}

std::string OpenFailed(int status) { return "RegOpenKeyEx() failed. Error " + std::to_string(status) + "\n"; }

const Calls kOpenDownloadsFails =
    Then(Until("GetFileAttributesW(\"C:\\ProgramData"),
         {"CreateFileW(" + Quoted(Narrow(kDownloads)) + ", 0x60001, 0x3, null, 3, 0x2200000, null) = INVALID_HANDLE_VALUE"});

TEST(Repair, EachStopPointEndsTheRunWithNoLaterCall) {
    const auto agentDir = stand_in::kAgentFolder;
    const auto programFiles = stand_in::kProgramFilesX86;
    const Calls opened = Until(kOpen);
    const RunCase cases[] = {
        {"key missing", [](MachineState& m) { m.openStatus = ERROR_FILE_NOT_FOUND; }, opened, OpenFailed(2)},
        {"key denied", [](MachineState& m) { m.openStatus = ERROR_ACCESS_DENIED; }, opened, OpenFailed(5)},
        {"status printed signed", [](MachineState& m) { m.openStatus = -5; }, opened, OpenFailed(-5)},
        {"no Path value", [](MachineState& m) { m.agentPathValue.reset(); }, Then(Until(kQuery), {kClose})},
        {"Path larger than the buffer",
         [](MachineState& m) { m.agentPathValue = TextBytes(std::wstring(kPathChars + 1, L'A')); },
         Then(Until(kQuery), {kClose})},
        {"Path names a file", [=](MachineState& m) { m.attributes[agentDir] = FILE_ATTRIBUTE_ARCHIVE; },
         Until(kClose)},
        {"Path names nothing", [=](MachineState& m) { m.attributes.erase(agentDir); }, Until(kClose)},
        {"program files lookup fails", [](MachineState& m) { m.programFilesX86.result = E_FAIL; },
         Until(kFindProgramFiles)},
        {"program files lookup answers S_FALSE", [](MachineState& m) { m.programFilesX86.result = S_FALSE; },
         Until(kFindProgramFiles)},
        {"program files path empty", [](MachineState& m) { m.programFilesX86.path.clear(); },
         Until(kFindProgramFiles)},
        {"program files missing", [=](MachineState& m) { m.attributes.erase(programFiles); },
         Until(kCheckProgramFiles)},
        {"program files is a file", [=](MachineState& m) { m.attributes[programFiles] = FILE_ATTRIBUTE_NORMAL; },
         Until(kCheckProgramFiles)},
        {"app data lookup fails", [](MachineState& m) { m.commonAppData.result = E_INVALIDARG; },
         Until(kFindAppData)},
        {"app data path empty", [](MachineState& m) { m.commonAppData.path.clear(); }, Until(kFindAppData)},
        {"Downloads missing", [](MachineState& m) { m.attributes.erase(kDownloads); },
         Until("GetFileAttributesW(\"C:\\ProgramData")},
        {"Downloads is a file", [](MachineState& m) { m.attributes[kDownloads] = FILE_ATTRIBUTE_ARCHIVE; },
         Until("GetFileAttributesW(\"C:\\ProgramData")},
        {"Downloads cannot be opened: no rights", [](MachineState& m) { m.openErrors[kDownloads] = 5; },
         kOpenDownloadsFails},
        {"Downloads gone since its folder test", [](MachineState& m) { m.openErrors[kDownloads] = 2; },
         kOpenDownloadsFails},
        {"a folder above it gone since", [](MachineState& m) { m.openErrors[kDownloads] = 3; },
         kOpenDownloadsFails},
        {"source DACL unreadable", [](MachineState& m) { m.readStatus = ERROR_ACCESS_DENIED; }, Until(kRead)},
        {"source has no DACL: copying it would open the folder", [](MachineState& m) { m.sourceDacl = nullptr; },
         Then(Until(kRead), {kFree})},
        {"no empty list could be made: reported, nothing written", [](MachineState& m) { m.aclInitializes = FALSE; },
         Then(Until(kEmptyAcl), {kFree}), "", "InitializeAcl() failed. Error 87\n", 87},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// The folder behind a link is never written; links the administrator made
// at or above the application-data folder are followed.
TEST(Repair, WritesOnlyThroughAHandleOnTheRealFolder) {
    const std::string refused = Narrow(kDownloads) + " was not repaired: ";
    const std::string link = refused + "the way to it is a link. Error 681\n";
    const std::string unverifiable = refused + "the way to it cannot be verified. Error 681\n";
    const std::wstring elsewhere = L"\\\\?\\C:\\Users\\Public\\Downloads";
    const std::string finalDownloads = "\\\\?\\" + Narrow(kDownloads);
    const auto compareWith = [&](const std::string& actual) {
        return Then(Until(kFinalDownloads), {Compare(finalDownloads, actual)});
    };
    const auto adminWay = [](const std::string& appDataFinal) {
        Way way;
        way.expectedFinal = way.actualFinal = appDataFinal + kSuffix;
        return RepairCalls(way);
    };
    const std::wstring tooLong(kPathChars, L'x');
    const RunCase cases[] = {
        {"Downloads is a junction or symbolic link",
         [](MachineState& m) { m.attributes[kDownloads] |= FILE_ATTRIBUTE_REPARSE_POINT; }, Until(kInspect), "",
         link, 681},
        {"a link above Downloads leads elsewhere", [&](MachineState& m) { m.finalPaths[kDownloads] = elsewhere; },
         compareWith(Narrow(elsewhere)), "", link, 681},
        {"swapped for a file after the folder test",
         [](MachineState& m) { m.attributesOnceOpened[kDownloads] = FILE_ATTRIBUTE_ARCHIVE; }, Until(kInspect), "",
         unverifiable, 681},
        {"the handle cannot be inspected",
         [](MachineState& m) { m.attributesOnceOpened[kDownloads] = INVALID_FILE_ATTRIBUTES; }, Until(kInspect),
         "", unverifiable, 681},
        {"Downloads held open by another program", [](MachineState& m) { m.openErrors[kDownloads] = 32; },
         kOpenDownloadsFails, "", refused + "it is held open by another program. Error 32\n", 32},
        {"Downloads cannot be opened for another reason", [](MachineState& m) { m.openErrors[kDownloads] = 1920; },
         kOpenDownloadsFails, "", refused + "it cannot be opened. Error 1920\n", 1920},
        {"an open that fails without a reason is still a failure",
         [](MachineState& m) { m.openErrors[kDownloads] = ERROR_SUCCESS; }, kOpenDownloadsFails, "",
         refused + "it cannot be opened. Error 1\n", 1},
        {"application-data folder cannot be opened",
         [](MachineState& m) { m.openErrors[kCommonAppData] = ERROR_ACCESS_DENIED; },
         Then(Until(kInspect),
              {R"~(CreateFileW("C:\ProgramData", 0x80, 0x7, null, 3, 0x2000000, null) = INVALID_HANDLE_VALUE)~"}),
         "", unverifiable, 681},
        {"no final paths on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("GetFinalPathNameByHandleW"); },
         Until("CreateFileW(\"C:\\ProgramData\""), "", unverifiable, 681},
        {"no ordinal comparison on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("CompareStringOrdinal"); }, Until(kFinalDownloads), "",
         unverifiable, 681},
        {"application-data folder's final path unknown",
         [](MachineState& m) { m.finalPaths[kCommonAppData] = L""; }, Until(kFinalAppData), "", unverifiable, 681},
        {"Downloads' final path unknown", [](MachineState& m) { m.finalPaths[kDownloads] = L""; },
         Until(kFinalDownloads), "", unverifiable, 681},
        {"Downloads' final path longer than the buffer",
         [&](MachineState& m) { m.finalPaths[kDownloads] = tooLong; }, Until(kFinalDownloads), "", unverifiable,
         681},
        {"application-data folder's final path leaves no room for the suffix",
         [&](MachineState& m) { m.finalPaths[kCommonAppData] = tooLong.substr(0, kPathChars - kSuffix.size()); },
         Until(kFinalAppData), "", unverifiable, 681},
        {"stray terminators in the real paths hide no difference",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = std::wstring(L"\0C:\\A", 5);
             m.finalPaths[kDownloads] = std::wstring(L"\0D:\\B", 5);
         },
         Then(Until(kFinalDownloads), {R"~(CompareStringOrdinal("", 54, "", 5, 1))~"}), "", link, 681},
        {"administrator's link at the application-data folder",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = L"D:\\Data";
             m.finalPaths[kDownloads] = L"D:\\Data\\Morvane Security\\Morvane Devices Agent\\Downloads";
         },
         adminWay("D:\\Data\\")},
        {"administrator's link to a volume root",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = L"\\\\?\\D:\\";
             m.finalPaths[kDownloads] = L"\\\\?\\D:\\Morvane Security\\Morvane Devices Agent\\Downloads";
         },
         adminWay("\\\\?\\D:\\")},
        {"real names differ only in case",
         [](MachineState& m) {
             m.finalPaths[kDownloads] = L"\\\\?\\c:\\programdata\\MORVANE SECURITY\\morvane devices agent\\downloads";
         },
         [] {
             Way way;
             way.actualFinal = R"~(\\?\c:\programdata\MORVANE SECURITY\morvane devices agent\downloads)~";
             return RepairCalls(way);
         }()},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

TEST(Repair, RefusalLineStaysWholeForAnyFolderName) {
    MachineState& machine = stand_in::ResetMachine();
    const std::wstring appData = L"C:\\Donn\u00e9es\\\u4e2d\t";
    const std::wstring downloads = appData + L"\\Morvane Security\\Morvane Devices Agent\\Downloads";
    machine.commonAppData.path = appData;
    machine.attributes[appData] = machine.attributes[downloads] = FILE_ATTRIBUTE_DIRECTORY;
    machine.finalPaths[downloads] = L"\\\\?\\C:\\Elsewhere";
    const Outcome outcome = RunTool();
    EXPECT_EQ(outcome.err, "C:\\Donn?es\\??\\" + kSuffix + " was not repaired: the way to it is a link. Error 681\n");
    EXPECT_EQ(outcome.status, 681);
}

TEST(Repair, WritesCloseThenCopyAndSucceedsOnlyWhenTheCopyLands) {
    const std::string leftClosed = "SetSecurityInfo() failed. Error ";
    const RunCase cases[] = {
        {"both writes land", [](MachineState&) {}, kRepair},
        {"only the copy fails: folder left closed", [](MachineState& m) { m.copyStatus = ERROR_ACCESS_DENIED; },
         kRepair, "", leftClosed + "5\n", 5},
        {"copy rejects the list", [](MachineState& m) { m.copyStatus = ERROR_INVALID_ACL; }, kRepair, "",
         leftClosed + "1336\n", 1336},
        {"both fail: the copy's error is reported",
         [](MachineState& m) {
             m.closeStatus = ERROR_ACCESS_DENIED;
             m.copyStatus = ERROR_INVALID_ACL;
         },
         kRepair, "", leftClosed + "1336\n", 1336},
        {"only the close fails: the copy still lands", [](MachineState& m) { m.closeStatus = ERROR_ACCESS_DENIED; },
         kRepair},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// Loading libraries only from System32 comes before anything else; where
// this Windows lacks the means, the run goes on without them.
TEST(Repair, HardeningComesFirstAndIsSkippedWhereMissing) {
    const auto without = [](const std::string& call) {
        Calls calls = kRepair;
        calls.erase(std::find(calls.begin(), calls.end(), call));
        return calls;
    };
    const RunCase cases[] = {
        {"no SetDefaultDllDirectories", [](MachineState& m) { m.missingFunctions = {"SetDefaultDllDirectories"}; },
         without(kHarden)},
        {"no SetProcessMitigationPolicy",
         [](MachineState& m) { m.missingFunctions = {"SetProcessMitigationPolicy"}; }, without(kMitigate)},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

TEST(Repair, ArgumentsChangeNothing) {
    const std::vector<std::vector<std::wstring>> commandLines = {
        {},
        {L"DownloadsPermissions.exe", L"/?"},
        {L"DownloadsPermissions.exe", L"--help", L"C:\\Windows", L""},
        {L"DownloadsPermissions.exe", std::wstring(5000, L'x'), L"\u00e9\u4e2d"},
    };
    for (const auto& args : commandLines) {
        stand_in::ResetMachine();
        const Outcome outcome = RunTool(args);
        EXPECT_EQ(outcome.calls, kRepair);
        EXPECT_EQ(outcome.out + outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

// Where the suffix lands for each shape of the application-data path, and
// where the buffer stops taking it. An empty target: the run stops before
// the target folder is examined.
TEST(Repair, TargetPathIsBuiltWithOneBackslashAndNeverOverflows) {
    const size_t room = kPathChars - kSuffix.size() - 1;  // code units left for the looked-up path
    struct TargetCase {
        const char* name;
        std::wstring appData;
        std::string target;
    };
    const TargetCase cases[] = {
        {"no trailing separator", L"D:\\Data", "D:\\Data\\" + kSuffix},
        {"trailing backslash kept single", L"D:\\Data\\", "D:\\Data\\" + kSuffix},
        {"forward slash is no separator", L"D:/Data/", "D:/Data/\\" + kSuffix},
        {"root only", L"\\", "\\" + kSuffix},
        {"exact fit with separator added", std::wstring(room - 1, L'a'), std::string(room - 1, 'a') + "\\" + kSuffix},
        {"one over with separator added", std::wstring(room, L'a'), ""},
        {"exact fit ending in backslash", std::wstring(room - 1, L'a') + L"\\",
         std::string(room - 1, 'a') + "\\" + kSuffix},
        {"one over ending in backslash", std::wstring(room, L'a') + L"\\", ""},
        {"lookup fills the buffer with no terminator", std::wstring(kPathChars + 10, L'a'), ""},
    };
    for (const TargetCase& c : cases) {
        SCOPED_TRACE(c.name);
        MachineState& machine = stand_in::ResetMachine();
        machine.commonAppData.path = c.appData;
        const std::wstring target(c.target.begin(), c.target.end());
        machine.attributes[c.appData] = machine.attributes[target] = FILE_ATTRIBUTE_DIRECTORY;
        // Short real paths, so that the check passes even where these are long.
        machine.finalPaths[c.appData] = L"E:\\";
        machine.finalPaths[target] = L"E:\\Morvane Security\\Morvane Devices Agent\\Downloads";
        const Outcome outcome = RunTool();
        EXPECT_EQ(outcome.status, 0);
        if (c.target.empty()) {
            EXPECT_EQ(outcome.calls, Until(kFindAppData));
            continue;
        }
        Way way{Narrow(c.appData), c.target, "E:\\" + kSuffix, "E:\\" + kSuffix};
        EXPECT_EQ(outcome.calls, RepairCalls(way));
    }
}

TEST(Repair, UnterminatedProgramFilesPathIsNeverUsed) {
    stand_in::ResetMachine().programFilesX86.path = std::wstring(kPathChars, L'p');
    EXPECT_EQ(RunTool().calls, Until(kFindProgramFiles));
}

// The "Path" value is taken as the registry hands it over: any type, never
// expanded, text up to its first NUL, and never read past the buffer.
TEST(AgentCheck, RegistryValueOfAnyShapeIsReadSafelyAsText) {
    auto withBytes = [](std::wstring text, std::vector<BYTE> extra = {}) {
        std::vector<BYTE> bytes = TextBytes(text);
        bytes.insert(bytes.end(), extra.begin(), extra.end());
        return bytes;
    };
    const std::wstring agent = L"C:\\Agent";
    const std::wstring fullBuffer(kPathChars, L'A');
    struct ValueCase {
        const char* name;
        std::vector<BYTE> value;
        std::wstring examined;  // the text given to the folder test
        bool installed;
    };
    const ValueCase cases[] = {
        {"terminated text", withBytes(agent + L'\0'), agent, true},
        {"no terminator", withBytes(agent), agent, true},
        {"odd byte length", withBytes(agent, {0}), agent, true},
        {"text ends at first NUL", withBytes(agent + L'\0' + L"C:\\Other"), agent, true},
        {"multi-string takes the first", withBytes(agent + L'\0' + L"C:\\Other" + L'\0' + L'\0'), agent, true},
        {"references never expanded", withBytes(L"%ProgramFiles%\\Agent\0"), L"%ProgramFiles%\\Agent", false},
        {"number value", {1, 0, 0, 0}, std::wstring(1, L'\x1'), false},
        {"empty value", {}, L"", false},
        {"fills the buffer exactly, unterminated", withBytes(fullBuffer), fullBuffer, true},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.name);
        MachineState& machine = stand_in::ResetMachine();
        machine.agentPathValue = c.value;
        machine.attributes = {{agent, FILE_ATTRIBUTE_DIRECTORY}, {fullBuffer, FILE_ATTRIBUTE_DIRECTORY}};
        EXPECT_EQ(IsAgentInstalled(), c.installed);
        std::string examined = "GetFileAttributesW(\"";
        for (wchar_t unit : c.examined)
            examined += unit == 1 ? std::string("\\u0001") : std::string(1, static_cast<char>(unit));
        EXPECT_EQ(stand_in::Machine().calls, (Calls{kOpen, kQuery, examined + "\")", kClose}));
    }
}

}  // namespace
