#include "../DownloadsPermissions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using stand_in::MachineState;
using stand_in::TextBytes;
using Calls = std::vector<std::string>;

const std::string kOpen = R"~(RegOpenKeyExW(HKLM, "SOFTWARE\Morvane Security\Dovrix\Kelto Agent", 0, 0xf023f))~";
const std::string kQuery = "RegQueryValueExW(agent-key, \"Path\", reserved=null, type=null, data=out, size=" +
                           std::to_string(kPathChars * sizeof(wchar_t)) + ")";
const std::string kCheckAgent = R"~(GetFileAttributesW("C:\Program Files (x86)\Kelto Agent"))~";
const std::string kClose = "RegCloseKey(agent-key)";
const std::string kFindProgramFiles = "SHGetFolderPathW(null, 0x2a, null, 0)";
const std::string kCheckProgramFiles = R"~(GetFileAttributesW("C:\Program Files (x86)"))~";
const std::string kFindAppData = "SHGetFolderPathW(null, 0x23, null, 0)";
const std::string kDownloads = R"~("C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads")~";
const std::string kCheckDownloads = "GetFileAttributesW(" + kDownloads + ")";
const std::string kRead = R"~(GetNamedSecurityInfoW("C:\Program Files (x86)", 1, 0x4, owner=null, group=null, )~"
                          "dacl=out, sacl=null, descriptor=out)";
const std::string kFree = "LocalFree(source-descriptor)";

std::string Write(const std::string& target, const std::string& dacl) {
    return "SetNamedSecurityInfoW(" + target + ", 1, 0x4, owner=null, group=null, dacl=" + dacl + ", sacl=null)";
}

const Calls kRepair = {kOpen, kQuery, kCheckAgent, kClose, kFindProgramFiles, kCheckProgramFiles, kFindAppData,
                       kCheckDownloads, kRead, Write(kDownloads, "null"), Write(kDownloads, "source-dacl"), kFree};

Calls FirstCalls(size_t count) { return Calls(kRepair.begin(), kRepair.begin() + count); }

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

Outcome RunTool(std::vector<std::wstring> args = {L"DownloadsPermissions.exe"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    wchar_t* envp[] = {nullptr};
    Outcome outcome{};
    Capture([&] { outcome.status = wmain(static_cast<int>(args.size()), argv.data(), envp); }, outcome.out,
            outcome.err);
    outcome.calls = stand_in::Machine().calls;
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

TEST(Repair, EachStopPointEndsTheRunWithStatusZeroAndNoLaterCall) {
    const auto agentDir = L"C:\\Program Files (x86)\\Kelto Agent";
    const auto programFiles = L"C:\\Program Files (x86)";
    const auto downloads = L"C:\\ProgramData\\Morvane Security\\Morvane Devices Agent\\Downloads";
    const RunCase cases[] = {
        {"key missing", [](MachineState& m) { m.openStatus = ERROR_FILE_NOT_FOUND; }, FirstCalls(1), OpenFailed(2)},
        {"key denied", [](MachineState& m) { m.openStatus = ERROR_ACCESS_DENIED; }, FirstCalls(1), OpenFailed(5)},
        {"status printed signed", [](MachineState& m) { m.openStatus = -5; }, FirstCalls(1), OpenFailed(-5)},
        {"no Path value", [](MachineState& m) { m.agentPathValue.reset(); }, {kOpen, kQuery, kClose}},
        {"Path larger than the buffer",
         [](MachineState& m) { m.agentPathValue = TextBytes(std::wstring(kPathChars + 1, L'A')); },
         {kOpen, kQuery, kClose}},
        {"Path names a file", [=](MachineState& m) { m.attributes[agentDir] = FILE_ATTRIBUTE_ARCHIVE; },
         FirstCalls(4)},
        {"Path names nothing", [=](MachineState& m) { m.attributes.erase(agentDir); }, FirstCalls(4)},
        {"program files lookup fails", [](MachineState& m) { m.programFilesX86.result = E_FAIL; }, FirstCalls(5)},
        {"program files lookup answers S_FALSE", [](MachineState& m) { m.programFilesX86.result = S_FALSE; },
         FirstCalls(5)},
        {"program files path empty", [](MachineState& m) { m.programFilesX86.path.clear(); }, FirstCalls(5)},
        {"program files missing", [=](MachineState& m) { m.attributes.erase(programFiles); }, FirstCalls(6)},
        {"program files is a file", [=](MachineState& m) { m.attributes[programFiles] = FILE_ATTRIBUTE_NORMAL; },
         FirstCalls(6)},
        {"app data lookup fails", [](MachineState& m) { m.commonAppData.result = E_INVALIDARG; }, FirstCalls(7)},
        {"app data path empty", [](MachineState& m) { m.commonAppData.path.clear(); }, FirstCalls(7)},
        {"Downloads missing", [=](MachineState& m) { m.attributes.erase(downloads); }, FirstCalls(8)},
        {"Downloads is a file", [=](MachineState& m) { m.attributes[downloads] = FILE_ATTRIBUTE_ARCHIVE; },
         FirstCalls(8)},
        {"source DACL unreadable", [](MachineState& m) { m.readStatus = ERROR_ACCESS_DENIED; }, FirstCalls(9)},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

TEST(Repair, WritesClearThenCopyAndReportsOnlyAFolderLeftWithNoAccessList) {
    const std::string leftOpen = "SetNamedSecurityInfo() failed. Error ";
    const RunCase cases[] = {
        {"both writes land", [](MachineState&) {}, kRepair},
        {"only the copy fails: folder left open", [](MachineState& m) { m.copyStatus = ERROR_ACCESS_DENIED; },
         kRepair, "", leftOpen + "5\n", 5},
        {"copy rejects the list", [](MachineState& m) { m.copyStatus = 1336; }, kRepair, "", leftOpen + "1336\n",
         1336},
        {"both fail: no rights, nothing changed",
         [](MachineState& m) { m.clearStatus = m.copyStatus = ERROR_ACCESS_DENIED; }, kRepair},
        {"only the clear fails: the copy still lands", [](MachineState& m) { m.clearStatus = ERROR_ACCESS_DENIED; },
         kRepair},
        {"a null DACL passes through unaltered", [](MachineState& m) { m.sourceDacl = nullptr; },
         {kOpen, kQuery, kCheckAgent, kClose, kFindProgramFiles, kCheckProgramFiles, kFindAppData, kCheckDownloads,
          kRead, Write(kDownloads, "null"), Write(kDownloads, "null"), kFree}},
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
// where the buffer stops taking it. nullptr: the run stops before the target
// folder is examined.
TEST(Repair, TargetPathIsBuiltWithOneBackslashAndNeverOverflows) {
    const std::string suffix = R"~(Morvane Security\Morvane Devices Agent\Downloads)~";
    const size_t room = kPathChars - suffix.size() - 1;  // code units left for the looked-up path
    struct TargetCase {
        const char* name;
        std::wstring appData;
        std::string target;
    };
    const TargetCase cases[] = {
        {"no trailing separator", L"D:\\Data", "D:\\Data\\" + suffix},
        {"trailing backslash kept single", L"D:\\Data\\", "D:\\Data\\" + suffix},
        {"forward slash is no separator", L"D:/Data/", "D:/Data/\\" + suffix},
        {"root only", L"\\", "\\" + suffix},
        {"exact fit with separator added", std::wstring(room - 1, L'a'), std::string(room - 1, 'a') + "\\" + suffix},
        {"one over with separator added", std::wstring(room, L'a'), ""},
        {"exact fit ending in backslash", std::wstring(room - 1, L'a') + L"\\",
         std::string(room - 1, 'a') + "\\" + suffix},
        {"one over ending in backslash", std::wstring(room, L'a') + L"\\", ""},
        {"lookup fills the buffer with no terminator", std::wstring(kPathChars + 10, L'a'), ""},
    };
    for (const TargetCase& c : cases) {
        SCOPED_TRACE(c.name);
        MachineState& machine = stand_in::ResetMachine();
        machine.commonAppData.path = c.appData;
        std::wstring target(c.target.begin(), c.target.end());
        machine.attributes[target] = FILE_ATTRIBUTE_DIRECTORY;
        const Outcome outcome = RunTool();
        EXPECT_EQ(outcome.status, 0);
        if (c.target.empty()) {
            EXPECT_EQ(outcome.calls, FirstCalls(7));
            continue;
        }
        const std::string quoted = "\"" + c.target + "\"";
        EXPECT_EQ(outcome.calls, (Calls{kOpen, kQuery, kCheckAgent, kClose, kFindProgramFiles, kCheckProgramFiles,
                                        kFindAppData, "GetFileAttributesW(" + quoted + ")", kRead,
                                        Write(quoted, "null"), Write(quoted, "source-dacl"), kFree}));
    }
}

TEST(Repair, UnterminatedProgramFilesPathIsNeverUsed) {
    stand_in::ResetMachine().programFilesX86.path = std::wstring(kPathChars, L'p');
    EXPECT_EQ(RunTool().calls, FirstCalls(5));
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
