#include "../DownloadsPermissions.h"

#include <gtest/gtest.h>

#include "Sddl.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using stand_in::kAgentDataFolder;
using stand_in::kBackup;
using stand_in::kChangeNotify;
using stand_in::kCommonAppData;
using stand_in::kDownloads;
using stand_in::kRestore;
using stand_in::kVendorFolder;
using stand_in::MachineState;
using stand_in::TextBytes;
using stand_in::Written;
using Paths = std::vector<std::wstring>;

const std::string kSuffix = R"~(Morvane Security\Morvane Devices Agent\Downloads)~";
const std::string kOpen = R"~(RegOpenKeyExW(HKLM, "SOFTWARE\Morvane Security\Dovrix\Kelto Agent", 0, 0xf023f))~";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const Paths kWay = {kCommonAppData, kVendorFolder, kAgentDataFolder};
const Paths kWayAndDownloads = {kCommonAppData, kVendorFolder, kAgentDataFolder, kDownloads};
// Then Downloads again by its path, which must lead to the folder held.
const Paths kWayDownloadsAndPath = {kCommonAppData, kVendorFolder, kAgentDataFolder, kDownloads, kDownloads};

// What a run did to the machine: the files it opened (in order), whether it
// read the program-files folder's list, the lists it wrote onto Downloads
// through its one handle (in order), and the list Downloads carries after.
struct Effects {
    Paths opened = kWayDownloadsAndPath;
    bool read = true;
    std::vector<std::string> writes = {"empty", "source"};
    std::string carries = "source";
};

const Effects kRepaired;
const Effects kNothing{{}, false, {}, ""};
const Effects kChecked{kWayAndDownloads, false, {}, ""};      // refused once Downloads was open
const Effects kNamed{kWayDownloadsAndPath, false, {}, ""};     // refused once its path led to it
const Effects kReadOnly{kWayDownloadsAndPath, true, {}, ""};   // stopped after the read
const Effects kWayChecked{kWay, false, {}, ""};           // Downloads not there, or not opened

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

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// The privileges a run should have on: where the token opens and holds them,
// plus the backup and restore privileges asked for, less those switched off.
std::set<std::wstring> PrivilegesWith(const std::set<std::wstring>& atStart, std::set<std::wstring> on) {
    const MachineState& machine = stand_in::Machine();
    std::set<std::wstring> enabled = atStart;
    if (!machine.tokenOpens)
        return enabled;
    enabled.erase(kBackup);
    enabled.erase(kRestore);
    for (const std::wstring& privilege : on)
        if (machine.heldPrivileges.count(privilege))
            enabled.insert(privilege);
    return enabled;
}

bool IsBelow(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == L'\\';
}

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// Runs the tool on the machine as it stands. Whatever the path, every handle
// it opened (files, the agent's key, its token) is closed, all memory it
// took is given back, the descriptor a read returned among it, and nothing
// is written unless the list was read first. Downloads, and each item inside
// it, is opened with both privileges enabled where the token holds them;
// each write runs with neither, while every folder from the one written, or
// the one above the file written, up to the vendor's folder is held.
Outcome RunTool(std::vector<std::wstring> args = {L"DownloadsPermissions.exe"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    wchar_t* envp[] = {nullptr};
    Outcome outcome{};
    const std::set<std::wstring> atStart = stand_in::Machine().enabledPrivileges;
    Capture([&] { outcome.status = wmain(static_cast<int>(args.size()), argv.data(), envp); }, outcome.out,
            outcome.err);
    const MachineState& machine = stand_in::Machine();
    EXPECT_TRUE(machine.openHandles.empty());
    EXPECT_TRUE(machine.allocated.empty());
    EXPECT_FALSE(machine.waited) << "an open waited for an oplock another program holds";
    EXPECT_EQ(machine.released, machine.read.size() == 1 && machine.readStatus == ERROR_SUCCESS ? 1 : 0);
    EXPECT_TRUE(machine.writes.empty() || machine.read.size() == 1);
    std::wstring downloads;
    for (const stand_in::Opened& opened : machine.opened) {
        const std::string path = Narrow(opened.path);
        if (path.size() >= kSuffix.size() && path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
            downloads = opened.path;
            EXPECT_EQ(opened.privileges, PrivilegesWith(atStart, {kBackup, kRestore})) << "opening Downloads";
        } else if (!downloads.empty() && IsBelow(opened.path, downloads)) {
            EXPECT_EQ(opened.privileges, PrivilegesWith(atStart, {kBackup, kRestore})) << "opening inside Downloads";
        }
    }
    for (const Written& write : machine.writes) {
        EXPECT_EQ(write.privileges, PrivilegesWith(atStart, {})) << "privileges while writing";
        std::wstring held = write.path;
        if ((stand_in::AttributesOnceOpened(held) & FILE_ATTRIBUTE_DIRECTORY) == 0)
            held = Parent(held);
        for (; held.size() >= Parent(Parent(downloads)).size(); held = Parent(held))
            EXPECT_EQ(write.held.count(held), 1u) << "not held while writing: " << Narrow(held);
    }
    return outcome;
}

// Checks what a run did against what it should have done to the machine,
// with downloads as the folder the tool names.
void ExpectEffects(const Effects& expected, const std::wstring& downloads = kDownloads) {
    const MachineState& machine = stand_in::Machine();
    Paths opened;
    for (const stand_in::Opened& o : machine.opened)
        opened.push_back(o.path);
    EXPECT_EQ(opened, expected.opened);
    EXPECT_EQ(machine.read, expected.read ? Paths{stand_in::kProgramFilesX86} : Paths{});
    std::vector<Written> writes;
    for (const std::string& list : expected.writes)
        writes.push_back({downloads, true, list});
    std::vector<Written> onDownloads;
    for (const Written& write : machine.writes)
        if (write.path == downloads)
            onDownloads.push_back(write);
    EXPECT_EQ(onDownloads, writes);
    EXPECT_EQ(stand_in::ListOf(downloads), expected.carries);
}

struct RunCase {
    const char* name;
    std::function<void(MachineState&)> script;
    Effects effects;
    std::string err = "";
    int status = 0;
    std::string out = "";
};

void ExpectRun(const RunCase& c) {
    SCOPED_TRACE(c.name);
    c.script(stand_in::ResetMachine());
    const Outcome outcome = RunTool();
    ExpectEffects(c.effects);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.status, c.status);
}

std::string OpenFailed(int status) { return "RegOpenKeyEx() failed. Error " + std::to_string(status) + "\n"; }
const std::string kNotRepaired = Narrow(kDownloads) + " was not repaired: ";
const std::string kLink = kNotRepaired + "the way to it is a link. Error 681\n";
const std::string kUnverifiable = kNotRepaired + "the way to it cannot be verified. Error 681\n";
std::string Unopenable(int status) {
    return kNotRepaired + "it cannot be opened. Error " + std::to_string(status) + "\n";
}

// Downloads gone, or never there: the way to it tells whether that is all.
void Missing(MachineState& m, DWORD error = ERROR_PATH_NOT_FOUND) {
    m.attributes.erase(kDownloads);
    m.missingErrors[kDownloads] = error;
}

TEST(Repair, EachStopPointEndsTheRunWithNothingMoreDone) {
    const auto agentDir = stand_in::kAgentFolder;
    const auto programFiles = stand_in::kProgramFilesX86;
    const RunCase cases[] = {
        {"key missing", [](MachineState& m) { m.openStatus = ERROR_FILE_NOT_FOUND; }, kNothing, "", 0, OpenFailed(2)},
        {"key refuses full access: a repair that did not happen",
         [](MachineState& m) { m.openStatus = ERROR_ACCESS_DENIED; }, kNothing, OpenFailed(5), 5, OpenFailed(5)},
        {"key error printed signed", [](MachineState& m) { m.openStatus = -5; }, kNothing, OpenFailed(-5), -5,
         OpenFailed(-5)},
        {"no Path value", [](MachineState& m) { m.agentPathValue.reset(); }, kNothing},
        {"Path larger than the buffer",
         [](MachineState& m) { m.agentPathValue = TextBytes(std::wstring(kPathChars + 1, L'A')); }, kNothing},
        {"Path names a file", [=](MachineState& m) { m.attributes[agentDir] = FILE_ATTRIBUTE_ARCHIVE; }, kNothing},
        {"Path names nothing", [=](MachineState& m) { m.attributes.erase(agentDir); }, kNothing},
        {"program files lookup fails", [](MachineState& m) { m.programFilesX86.result = E_FAIL; }, kNothing},
        {"program files lookup answers S_FALSE", [](MachineState& m) { m.programFilesX86.result = S_FALSE; },
         kNothing},
        {"program files path empty", [](MachineState& m) { m.programFilesX86.path.clear(); }, kNothing},
        {"program files missing", [=](MachineState& m) { m.attributes.erase(programFiles); }, kNothing},
        {"program files is a file", [=](MachineState& m) { m.attributes[programFiles] = FILE_ATTRIBUTE_NORMAL; },
         kNothing},
        {"app data lookup fails", [](MachineState& m) { m.commonAppData.result = E_INVALIDARG; }, kNothing},
        {"app data path empty", [](MachineState& m) { m.commonAppData.path.clear(); }, kNothing},
        {"Downloads missing on a way of plain folders", [](MachineState& m) { Missing(m, ERROR_FILE_NOT_FOUND); },
         kWayChecked},
        {"the agent's folder missing too",
         [](MachineState& m) {
             Missing(m);
             m.attributes.erase(kAgentDataFolder);
         },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}},
        {"no vendor folder at all",
         [](MachineState& m) {
             Missing(m);
             m.attributes.erase(kAgentDataFolder);
             m.attributes.erase(kVendorFolder);
         },
         {{kCommonAppData}, false, {}, ""}},
        {"no application-data folder: nothing to repair, not tampering",
         [](MachineState& m) {
             Missing(m);
             m.attributes.erase(kAgentDataFolder);
             m.attributes.erase(kVendorFolder);
             m.attributes.erase(kCommonAppData);
         },
         kNothing},
        {"Downloads missing at the first listing and there at the second is repaired",
         [](MachineState& m) { m.unlisted[kDownloads] = 1; }, kRepaired},
        {"Downloads is a file", [](MachineState& m) { m.attributes[kDownloads] = FILE_ATTRIBUTE_ARCHIVE; }, kWayChecked,
         kNotRepaired + "it is not a folder. Error 267\n", 267},
        {"the account may not open Downloads", [](MachineState& m) { m.openErrors[kDownloads] = 5; }, kWayChecked,
         Unopenable(5), 5},
        {"Downloads gone since it was listed", [](MachineState& m) { m.openErrors[kDownloads] = 2; }, kWayChecked,
         kNotRepaired + "it moved during the run. Error 2\n", 2},
        {"a folder on the way gone since it was listed",
         [](MachineState& m) { m.openErrors[kAgentDataFolder] = 3; }, {{kCommonAppData, kVendorFolder}, false, {}, ""},
         kUnverifiable, 681},
        {"source DACL unreadable", [](MachineState& m) { m.readStatus = ERROR_ACCESS_DENIED; }, kReadOnly,
         "GetNamedSecurityInfo() failed. Error 5\n", 5},
        {"source has no DACL: copying it would open the folder", [](MachineState& m) { m.sourceHasDacl = false; },
         kReadOnly, kNotRepaired + "the program-files folder has no access list. Error 1350\n", 1350},
        {"the agent's folder's list cannot be read",
         [](MachineState& m) { m.readErrors[kAgentDataFolder] = ERROR_ACCESS_DENIED; }, kReadOnly,
         "GetKernelObjectSecurity() failed. Error 5\n", 5},
        {"the agent's folder passes on what cannot be worked out",
         [](MachineState& m) { m.security[kAgentDataFolder] = "O:BAG:SYD:AI(OA;OICI;FA;;;WD)"; },
         kReadOnly, kNotRepaired + "its list cannot be worked out. Error 1336\n", 1336},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// The folder behind a link is never written; links the administrator made
// at or above the application-data folder are followed. A link on the way
// is found whether or not Downloads lies behind it.
const DWORD kLinkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// Items inside Downloads, named below it; those ending in "f" are files.
Paths Inside(const std::vector<std::wstring>& names) {
    Paths paths;
    for (const std::wstring& name : names)
        paths.push_back(std::wstring(kDownloads) + L"\\" + name);
    return paths;
}

void Place(MachineState& m, const std::vector<std::wstring>& names) {
    for (const std::wstring& path : Inside(names))
        m.attributes[path] = path.back() == L'f' ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_DIRECTORY;
}

// The line of a run that left items inside Downloads as they were.
std::string Left(int count, const std::string& item, const std::string& reason, int status) {
    const std::string path = Narrow(kDownloads) + "\\" + item + " (" + reason + "). Error " + std::to_string(status);
    return Narrow(kDownloads) + " was partly repaired: " +
           (count == 1 ? "1 item inside it was left as it was, " + path
                       : std::to_string(count) + " items inside it were left as they were, the first " + path) +
           "\n";
}

TEST(Repair, WritesOnlyThroughAHandleOnTheRealFolder) {
    const std::wstring elsewhere = L"\\\\?\\C:\\Users\\Public\\Downloads";
    const std::wstring tooLong(kPathChars, L'x');
    const RunCase cases[] = {
        {"Downloads is a junction or symbolic link",
         [](MachineState& m) { m.attributes[kDownloads] |= FILE_ATTRIBUTE_REPARSE_POINT; }, kWayChecked, kLink, 681},
        {"Downloads is a link to a file",
         [](MachineState& m) { m.attributes[kDownloads] = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT; },
         kWayChecked, kLink, 681},
        {"a link above Downloads leads elsewhere", [&](MachineState& m) { m.finalPaths[kDownloads] = elsewhere; },
         kChecked, kLink, 681},
        {"Downloads leads to a folder whose name only starts the same",
         [](MachineState& m) { m.finalPaths[kDownloads] = L"\\\\?\\" + std::wstring(kDownloads) + L".old"; }, kChecked,
         kLink, 681},
        {"the agent's folder is a link to a case variant of its name",
         [](MachineState& m) {
             const std::wstring variant = std::wstring(kVendorFolder) + L"\\MORVANE DEVICES AGENT";
             m.attributes[kAgentDataFolder] |= FILE_ATTRIBUTE_REPARSE_POINT;
             m.attributes[variant] = m.attributes[variant + L"\\Downloads"] = FILE_ATTRIBUTE_DIRECTORY;
             m.finalPaths[kAgentDataFolder] = L"\\\\?\\" + variant;
         },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kLink, 681},
        {"its path names no folder where a case-blind listing found one",
         [](MachineState& m) {
             const std::wstring lower = std::wstring(kAgentDataFolder) + L"\\downloads";
             Missing(m);
             m.attributes[lower] = FILE_ATTRIBUTE_DIRECTORY;
         },
         {{kCommonAppData, kVendorFolder, kAgentDataFolder, std::wstring(kAgentDataFolder) + L"\\downloads"}, false, {}, ""},
         kUnverifiable, 681},
        {"file IDs on a volume that is not NTFS prove nothing", [](MachineState& m) { m.fileSystem = L"ReFS"; },
         {{kCommonAppData}, false, {}, ""}, kUnverifiable, 681},
        {"a case-sensitive folder holds the agent's folder twice",
         [](MachineState& m) {
             const std::wstring variant = std::wstring(kVendorFolder) + L"\\morvane devices agent";
             m.attributes[variant] = m.attributes[variant + L"\\Downloads"] = FILE_ATTRIBUTE_DIRECTORY;
         },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kLink, 681},
        {"a link above Downloads leads to an empty folder",
         [](MachineState& m) {
             Missing(m);
             m.finalPaths[kVendorFolder] = L"\\\\?\\C:\\Empty";
         },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kLink, 681},
        {"the agent's folder is a junction that leads nowhere",
         [](MachineState& m) {
             Missing(m);
             m.attributes[kAgentDataFolder] |= FILE_ATTRIBUTE_REPARSE_POINT;
         },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kLink, 681},
        {"a folder on the way held open by another program",
         [](MachineState& m) { m.openErrors[kAgentDataFolder] = ERROR_SHARING_VIOLATION; },
         {{kCommonAppData, kVendorFolder}, false, {}, ""},
         kNotRepaired + "a folder on the way to it is held open by another program. Error 32\n", 32},
        {"a folder on the way cannot be opened", [](MachineState& m) { m.openErrors[kAgentDataFolder] = 5; },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kUnverifiable, 681},
        {"a folder beside Downloads whose name starts the same",
         [](MachineState& m) { m.attributes[std::wstring(kDownloads) + L".old"] = FILE_ATTRIBUTE_DIRECTORY; },
         kRepaired},
        {"its path opens another folder on the same volume",
         [](MachineState& m) {
             m.attributes[L"C:\\ProgramData\\Other"] = FILE_ATTRIBUTE_DIRECTORY;
             m.opensAs[kDownloads] = L"C:\\ProgramData\\Other";
         },
         {{kCommonAppData, kVendorFolder, kAgentDataFolder, kDownloads, L"C:\\ProgramData\\Other"}, false, {}, ""},
         kUnverifiable, 681},
        {"a folder on the way cannot be listed",
         [](MachineState& m) { m.listErrors[kVendorFolder] = ERROR_ACCESS_DENIED; },
         {{kCommonAppData, kVendorFolder}, false, {}, ""}, kUnverifiable, 681},
        {"a file on the way",
         [](MachineState& m) {
             Missing(m);
             m.attributes[kVendorFolder] = FILE_ATTRIBUTE_ARCHIVE;
         },
         {{kCommonAppData}, false, {}, ""}, kUnverifiable, 681},
        {"swapped for a file after the listing",
         [](MachineState& m) { m.attributesOnceOpened[kDownloads] = FILE_ATTRIBUTE_ARCHIVE; }, kChecked,
         kUnverifiable, 681},
        {"the handle cannot be inspected",
         [](MachineState& m) { m.attributesOnceOpened[kDownloads] = INVALID_FILE_ATTRIBUTES; }, kChecked,
         kUnverifiable, 681},
        {"Downloads held open by another program", [](MachineState& m) { m.openErrors[kDownloads] = 32; },
         kWayChecked, kNotRepaired + "it is held open by another program. Error 32\n", 32},
        {"Downloads cannot be opened for another reason", [](MachineState& m) { m.openErrors[kDownloads] = 1920; },
         kWayChecked, Unopenable(1920), 1920},
        {"an open that fails without a reason is still a failure",
         [](MachineState& m) { m.openErrors[kDownloads] = ERROR_SUCCESS; }, kWayChecked, Unopenable(1), 1},
        {"application-data folder cannot be opened",
         [](MachineState& m) { m.openErrors[kCommonAppData] = ERROR_ACCESS_DENIED; }, kNothing, kUnverifiable, 681},
        {"no final paths on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("GetFinalPathNameByHandleW"); }, kNothing, kUnverifiable,
         681},
        {"no ordinal comparison on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("CompareStringOrdinal"); }, kNothing, kUnverifiable, 681},
        {"no listing by handle on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("GetFileInformationByHandleEx"); }, kNothing, kUnverifiable,
         681},
        {"no opening relative to a folder on this Windows",
         [](MachineState& m) { m.missingFunctions.insert("NtCreateFile"); }, kNothing, kUnverifiable, 681},
        {"application-data folder's final path unknown",
         [](MachineState& m) { m.finalPaths[kCommonAppData] = L""; }, {{kCommonAppData}, false, {}, ""}, kUnverifiable,
         681},
        {"Downloads' final path unknown", [](MachineState& m) { m.finalPaths[kDownloads] = L""; }, kChecked,
         kUnverifiable, 681},
        {"Downloads' final path longer than the buffer",
         [&](MachineState& m) { m.finalPaths[kDownloads] = tooLong; }, kChecked, kUnverifiable, 681},
        {"application-data folder's final path leaves no room for the suffix",
         [&](MachineState& m) { m.finalPaths[kCommonAppData] = tooLong.substr(0, kPathChars - kSuffix.size()); },
         kChecked, kUnverifiable, 681},
        {"stray terminators in the real paths hide no difference",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = std::wstring(L"\0C:\\A", 5);
             m.finalPaths[kDownloads] = std::wstring(L"\0D:\\B", 5);
         },
         kChecked, kLink, 681},
        {"administrator's link at the application-data folder",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = L"D:\\Data";
             m.finalPaths[kDownloads] = L"D:\\Data\\Morvane Security\\Morvane Devices Agent\\Downloads";
         },
         kRepaired},
        {"administrator's link to a volume root",
         [](MachineState& m) {
             m.finalPaths[kCommonAppData] = L"\\\\?\\D:\\";
             m.finalPaths[kDownloads] = L"\\\\?\\D:\\Morvane Security\\Morvane Devices Agent\\Downloads";
         },
         kRepaired},
        {"administrator's link, Downloads missing behind it",
         [](MachineState& m) {
             Missing(m);
             m.finalPaths[kCommonAppData] = L"D:\\Data";
             m.finalPaths[kVendorFolder] = L"D:\\Data\\Morvane Security";
             m.finalPaths[kAgentDataFolder] = L"D:\\Data\\Morvane Security\\Morvane Devices Agent";
         },
         kWayChecked},
        {"real names differ only in case",
         [](MachineState& m) {
             m.finalPaths[kDownloads] = L"\\\\?\\c:\\programdata\\MORVANE SECURITY\\morvane devices agent\\downloads";
         },
         kRepaired},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// Folders d, d\d, d\d\d... down to depth.
std::vector<std::wstring> Nested(int depth) {
    std::vector<std::wstring> names = {L"d"};
    while (static_cast<int>(names.size()) < depth)
        names.push_back(names.back() + L"\\d");
    return names;
}

std::wstring Below(const std::wstring& name) { return std::wstring(kDownloads) + L"\\" + name; }

struct WalkCase {
    const char* name;
    std::function<void(MachineState&)> script;
    std::vector<std::wstring> written;  // below Downloads, in the order written
    std::string err = "";
    int status = 0;
};

// Inside Downloads, each item is opened as itself, judged on its handle and
// written through it; what cannot be judged plain, opened, read, worked out
// or written is left as it is, with what lies below it, and the rest is
// repaired all the same. The line names the first item left for lying, or
// maybe lying, elsewhere too (681), else the first left.
TEST(Repair, TheWalkInsideRepairsWhatItCanJudgeAndLeavesTheRest) {
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    const std::wstring longName = std::wstring(254, L'n') + L"f";
    std::vector<std::wstring> deep = Nested(128);
    const WalkCase cases[] = {
        {"plain items, a name starting with a dot, a folder shut to everyone, a 255-character name",
         [&](MachineState& m) {
             Place(m, {L".x", L"a", L"a\\b", L"a\\b\\f", L"a\\g", longName});
             m.security[Below(L"a\\b")] = "O:U1G:SYD:AI";
         },
         {L".x", L"a", L"a\\b", L"a\\b\\f", L"a\\g", longName}},
        {"a symbolic link deep inside",
         [&](MachineState& m) {
             Place(m, {L"a", L"a\\b"});
             m.attributes[Below(L"a\\b\\l")] = FILE_ATTRIBUTE_ARCHIVE | link;
             m.reparseTags[Below(L"a\\b\\l")] = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
         },
         {L"a", L"a\\b"}, Left(1, "a\\b\\l", "a link", 681), 681},
        {"a reparse point that is no link",
         [&](MachineState& m) {
             m.attributes[Below(L"d")] = FILE_ATTRIBUTE_ARCHIVE | link;
             m.reparseTags[Below(L"d")] = IO_REPARSE_TAG_DEDUP;
         },
         {}, Left(1, "d", "a reparse point", 681), 681},
        {"made a reparse point once listed", [&](MachineState& m) {
             Place(m, {L"f"});
             m.attributesOnceOpened[Below(L"f")] = FILE_ATTRIBUTE_ARCHIVE | link;
         },
         {}, Left(1, "f", "a reparse point", 681), 681},
        {"a file with a second name", [&](MachineState& m) { Place(m, {L"a", L"a\\f"}); m.names[Below(L"a\\f")] = 2; },
         {L"a"}, Left(1, "a\\f", "a file with more than one name", 681), 681},
        {"a hard link whose name here was removed once it was opened: its one name lies elsewhere",
         [&](MachineState& m) {
             Place(m, {L"a", L"a\\f"});
             m.onlyName[Below(L"a\\f")] = L"C:\\ProgramData\\Vendor\\f";
         },
         {L"a"}, Left(1, "a\\f", "not where it was listed", 681), 681},
        {"where Windows cannot list a file's names, their number still tells",
         [&](MachineState& m) {
             Place(m, {L"f", L"g"});
             m.namesUnknown = true;
             m.names[Below(L"f")] = 2;
         },
         {L"g"}, Left(1, "f", "a file with more than one name", 681), 681},
        {"listed as a file, a folder once opened: another item has taken the name",
         [&](MachineState& m) { Place(m, {L"f"}); m.attributesOnceOpened[Below(L"f")] = FILE_ATTRIBUTE_DIRECTORY; },
         {}, Left(1, "f", "moved or vanished since it was listed", 2), 2},
        {"a folder that cannot be listed", [&](MachineState& m) { Place(m, {L"a"}); m.listErrors[Below(L"a")] = 5; },
         {L"a"}, Left(1, "a", "what it holds cannot be listed", 5), 5},
        {"an oplock another program never gives up, on Downloads and on a file: no open waits for it",
         [&](MachineState& m) { Place(m, {L"f"}); m.oplocked = {kDownloads, Below(L"f")}; }, {L"f"}},
        {"held open by another program", [&](MachineState& m) { Place(m, {L"f", L"g"}); m.openErrors[Below(L"f")] = 32; },
         {L"g"}, Left(1, "f", "held open by another program", 32), 32},
        {"gone since it was listed", [&](MachineState& m) { Place(m, {L"f"}); m.openErrors[Below(L"f")] = 2; }, {},
         Left(1, "f", "moved or vanished since it was listed", 2), 2},
        {"its list cannot be read", [&](MachineState& m) { Place(m, {L"f"}); m.readErrors[Below(L"f")] = 5; }, {},
         Left(1, "f", "its list cannot be read", 5), 5},
        {"its list cannot be written", [&](MachineState& m) { Place(m, {L"f"}); m.writeErrors[Below(L"f")] = {5}; },
         {L"f"}, Left(1, "f", "its list cannot be written", 5), 5},
        {"what its folder passes on cannot be worked out",
         [&](MachineState& m) {
             Place(m, {L"a", L"a\\f"});
             m.security[Below(L"a")] = "O:U1G:SYD:AI(OA;OICI;FA;;;WD)";
         },
         {L"a"}, Left(1, "a\\f", "its list cannot be worked out", 1336), 1336},
        {"a protected folder keeps its list, and so does what it holds",
         [&](MachineState& m) {
             Place(m, {L"a", L"a\\f", L"z"});
             m.security[Below(L"a")] = "O:U1G:SYD:PAI(A;OICI;FA;;;U1)";
         },
         {L"z"}},
        {"128 folders deep repaired, the 129th left",
         [&](MachineState& m) { Place(m, Nested(129)); }, deep,
         Left(1, Narrow(Nested(129).back()), "too deep", 206), 206},
        {"several left, a junction among them: the first lying elsewhere named, all counted",
         [&](MachineState& m) {
             Place(m, {L"a", L"zf"});
             m.openErrors[Below(L"a")] = 32;
             m.attributes[Below(L"x")] = kLinkedFolder;
             m.names[Below(L"zf")] = 3;
         },
         {}, Left(3, "x", "a link", 681), 681},
        {"the privileges cannot be switched off after an open: nothing more written",
         [&](MachineState& m) { Place(m, {L"f", L"g"}); m.adjustsGranted = 3; }, {},
         "AdjustTokenPrivileges() failed. Error 5\n", 5},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.script(stand_in::ResetMachine());
        const Outcome outcome = RunTool();
        std::vector<std::string> onDownloads;
        std::vector<std::wstring> written;
        for (const Written& write : stand_in::Machine().writes)
            if (write.path == kDownloads)
                onDownloads.push_back(write.list);
            else if (IsBelow(write.path, kDownloads))
                written.push_back(write.path.substr(std::wstring(kDownloads).size() + 1));
        EXPECT_EQ(onDownloads, kRepaired.writes);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.status, c.status);
    }
}

// Downloads ends with the program-files folder's entries as its own, then
// what it inherits, its protection as it was; an item inside with its own
// entries, then what Downloads now passes on, CREATOR OWNER as its owner.
TEST(Repair, NewListsFollowTheInheritanceRules) {
    const std::string source = sddl::AclText(sddl::Acl(stand_in::kSourceList).data());
    MachineState& machine = stand_in::ResetMachine();
    Place(machine, {L"f"});
    machine.security[Below(L"f")] = "O:U1G:SYD:AI(A;;FX;;;U2)(A;ID;FW;;;BU)";
    EXPECT_EQ(RunTool().status, 0);
    EXPECT_EQ(stand_in::DaclOf(kDownloads), "D:AI" + source + "(A;OICIID;FA;;;SY)(A;CIID;FW;;;BU)");
    EXPECT_EQ(stand_in::DaclOf(Below(L"f")),
              "D:AI(A;;FX;;;U2)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;U1)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;SY)");

    stand_in::ResetMachine().security[kDownloads] = "O:BAG:SYD:PAI(A;;FA;;;U1)";
    EXPECT_EQ(RunTool().status, 0);
    EXPECT_EQ(stand_in::DaclOf(kDownloads), "D:PAI" + source);
}

// Downloads at path, and the two folders above it.
void PlaceWay(MachineState& m, const std::wstring& downloads) {
    m.attributes[downloads] = m.attributes[Parent(downloads)] = m.attributes[Parent(Parent(downloads))] =
        FILE_ATTRIBUTE_DIRECTORY;
}

TEST(Repair, RefusalLineStaysWholeForAnyFolderName) {
    MachineState& machine = stand_in::ResetMachine();
    const std::wstring appData = L"C:\\Donn\u00e9es\\\u4e2d\t\x7f";
    const std::wstring downloads = appData + L"\\Morvane Security\\Morvane Devices Agent\\Downloads";
    machine.commonAppData.path = appData;
    machine.attributes[appData] = FILE_ATTRIBUTE_DIRECTORY;
    PlaceWay(machine, downloads);
    machine.finalPaths[downloads] = L"\\\\?\\C:\\Elsewhere";
    const Outcome outcome = RunTool();
    EXPECT_EQ(outcome.err, "C:\\Donn?es\\???\\" + kSuffix + " was not repaired: the way to it is a link. Error 681\n");
    EXPECT_EQ(outcome.status, 681);
}

TEST(Repair, WritesCloseThenCopyAndSucceedsOnlyWhenTheCopyLands) {
    const std::string leftClosed = "SetKernelObjectSecurity() failed. Error ";
    const Effects closed{kRepaired.opened, true, kRepaired.writes, "empty"};
    const Effects untouched{kRepaired.opened, true, kRepaired.writes, ""};
    const std::string becameLink = kNotRepaired + "it became a link while it was written. Error 681\n";
    const RunCase cases[] = {
        {"both writes land", [](MachineState&) {}, kRepaired},
        {"only the copy fails: folder left closed",
         [](MachineState& m) { m.writeErrors[kDownloads] = {ERROR_SUCCESS, ERROR_ACCESS_DENIED}; }, closed,
         leftClosed + "5\n", 5},
        {"copy rejects the list", [](MachineState& m) { m.writeErrors[kDownloads] = {ERROR_SUCCESS, ERROR_INVALID_ACL}; },
         closed, leftClosed + "1336\n", 1336},
        {"both fail: the copy's error is reported",
         [](MachineState& m) { m.writeErrors[kDownloads] = {ERROR_ACCESS_DENIED, ERROR_INVALID_ACL}; }, untouched,
         leftClosed + "1336\n", 1336},
        {"only the close fails: the copy still lands",
         [](MachineState& m) { m.writeErrors[kDownloads] = {ERROR_ACCESS_DENIED}; }, kRepaired},
        {"made a junction between the writes: no copy, left closed",
         [](MachineState& m) { m.attributesAfterWrites[kDownloads] = {kLinkedFolder}; },
         {kWayDownloadsAndPath, true, {"empty"}, "empty"}, becameLink, 681},
        {"made a junction during the copy: reported",
         [](MachineState& m) { m.attributesAfterWrites[kDownloads] = {FILE_ATTRIBUTE_DIRECTORY, kLinkedFolder}; },
         kRepaired, becameLink, 681},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// A folder whose list admits nobody, SYSTEM included, is opened through the
// backup and restore privileges; where the token lacks them, the run goes on
// as before and the open tells.
TEST(Repair, PrivilegesOverruleAListThatShutsTheToolOut) {
    const auto closedToAll = [](MachineState& m) { m.security[kDownloads] = "O:BAG:SYD:PAI"; };
    const Effects stillClosed{kWay, false, {}, "empty"};
    const RunCase cases[] = {
        {"closed folder, both privileges held", closedToAll, kRepaired},
        {"closed folder, token lacks them",
         [&](MachineState& m) {
             closedToAll(m);
             m.heldPrivileges.clear();
         },
         stillClosed, Unopenable(5), 5},
        {"closed folder, token lacks restore",
         [&](MachineState& m) {
             closedToAll(m);
             m.heldPrivileges = {kBackup};
         },
         stillClosed, Unopenable(5), 5},
        {"closed folder, token cannot be opened",
         [&](MachineState& m) {
             closedToAll(m);
             m.tokenOpens = false;
         },
         stillClosed, Unopenable(5), 5},
        {"open folder, token lacks them", [](MachineState& m) { m.heldPrivileges.clear(); }, kRepaired},
        {"a token that cannot be opened could not switch them off: nothing written",
         [](MachineState& m) { m.tokenOpens = false; }, kNamed, "OpenProcessToken() failed. Error 5\n", 5},
        {"the same where they were on when the run started",
         [](MachineState& m) {
             m.tokenOpens = false;
             m.enabledPrivileges = {kBackup, kRestore, kChangeNotify};
         },
         kNamed, "OpenProcessToken() failed. Error 5\n", 5},
        {"on when the run starts, off while writing",
         [](MachineState& m) { m.enabledPrivileges = {kBackup, kRestore, kChangeNotify}; }, kRepaired},
        {"the token refuses them on: the opens tell", [&](MachineState& m) {
             closedToAll(m);
             m.adjustsGranted = 0;
         },
         stillClosed, Unopenable(5), 5},
        {"the token refuses restore off: nothing written", [](MachineState& m) { m.adjustsGranted = 1; }, kNamed,
         "AdjustTokenPrivileges() failed. Error 5\n", 5},
    };
    for (const RunCase& c : cases)
        ExpectRun(c);
}

// A run stopped between the two writes leaves Downloads with what it
// inherits alone, closed to everyone where it inherits nothing; running the
// tool again finishes the repair.
TEST(Repair, SecondRunFinishesAHalfDoneRepair) {
    MachineState& machine = stand_in::ResetMachine();
    machine.security[kDownloads] = "O:BAG:SYD:PAI(A;;FA;;;WD)";
    machine.writeErrors[kDownloads] = {ERROR_SUCCESS, ERROR_INVALID_ACL};
    EXPECT_EQ(RunTool().status, 1336);
    ExpectEffects({kRepaired.opened, true, kRepaired.writes, "empty"});
    EXPECT_EQ(stand_in::DaclOf(kDownloads), "D:PAI");

    stand_in::NextRun().writeErrors.clear();
    const Outcome again = RunTool();
    ExpectEffects(kRepaired);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(again.status, 0);
}

// How the way and Downloads are opened to be held: each folder itself,
// with backup semantics, sharing reading and writing but never deleting, and
// the list right, with which sharing binds; the agent's folder also to read
// its list, Downloads to read and change its own. All after both privileges.
TEST(Repair, TheWayAndDownloadsAreOpenedToBeHeldStill) {
    stand_in::ResetMachine();
    RunTool();
    const std::set<std::wstring> looking = {kBackup, kRestore, kChangeNotify};
    for (size_t i = 1; i < kWayAndDownloads.size(); ++i) {
        const stand_in::Opened& folder = stand_in::Machine().opened.at(i);
        SCOPED_TRACE(Narrow(folder.path));
        EXPECT_EQ(folder.path, kWayAndDownloads[i]);
        EXPECT_EQ(folder.access & ~(READ_CONTROL | WRITE_DAC),
                  FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
        EXPECT_EQ(folder.access & (READ_CONTROL | WRITE_DAC), folder.path == kDownloads         ? READ_CONTROL | WRITE_DAC
                                                              : folder.path == kAgentDataFolder ? READ_CONTROL
                                                                                                : 0);
        EXPECT_EQ(folder.share, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_EQ(folder.flags, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
        EXPECT_EQ(folder.privileges, looking);
    }
}

// Loading libraries only from System32 comes before anything else; where
// this Windows lacks the means, the run goes on without them.
TEST(Repair, HardeningComesFirstAndIsSkippedWhereMissing) {
    struct HardeningCase {
        std::set<std::string> missing;
        std::string first;
    };
    const HardeningCase cases[] = {
        {{}, "SetDefaultDllDirectories(0x800)"},
        {{"SetDefaultDllDirectories"}, kOpen},
    };
    for (const HardeningCase& c : cases) {
        SCOPED_TRACE(c.first);
        stand_in::ResetMachine().missingFunctions = c.missing;
        EXPECT_EQ(RunTool().status, 0);
        EXPECT_EQ(stand_in::Machine().calls.front(), c.first);
        ExpectEffects(kRepaired);
    }
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
        ExpectEffects(kRepaired);
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
        machine.attributes[c.appData] = FILE_ATTRIBUTE_DIRECTORY;
        if (!target.empty())
            PlaceWay(machine, target);
        // Short real paths, so that the check passes even where these are long.
        machine.finalPaths[c.appData] = L"E:\\";
        machine.finalPaths[target] = L"E:\\Morvane Security\\Morvane Devices Agent\\Downloads";
        const Outcome outcome = RunTool();
        EXPECT_EQ(outcome.status, 0);
        if (c.target.empty()) {
            ExpectEffects(kNothing, target);
            EXPECT_EQ(machine.examined, (Paths{stand_in::kAgentFolder, stand_in::kProgramFilesX86}));
            continue;
        }
        ExpectEffects(
            {{c.appData, Parent(Parent(target)), Parent(target), target, target}, true, kRepaired.writes, "source"},
            target);
    }
}

TEST(Repair, UnterminatedProgramFilesPathIsNeverUsed) {
    stand_in::ResetMachine().programFilesX86.path = std::wstring(kPathChars, L'p');
    EXPECT_EQ(RunTool().status, 0);
    ExpectEffects(kNothing);
    EXPECT_EQ(stand_in::Machine().examined, Paths{stand_in::kAgentFolder});
}

// The "Path" value is taken as the registry hands it over: any type, never
// expanded, text up to its first NUL, and never read past the buffer. The
// key is opened for full access in the 32-bit view, and closed.
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
        EXPECT_EQ(machine.examined, Paths{c.examined});
        EXPECT_EQ(machine.calls.front(), kOpen);
        EXPECT_TRUE(machine.openHandles.empty());
    }
}

}  // namespace
