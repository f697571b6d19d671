// Drives a whole run of the tool through the stand-in with whatever the
// platform might answer: registry bytes of any size, folder paths of any
// length, any status from any call. Sanitizers catch memory faults; the
// checks below catch a run that breaks the tool's promises.
#include "../../DownloadsPermissions.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

namespace {

constexpr char kSuffix[] = "\\Morvane Security\\Morvane Devices Agent\\Downloads\"";

void Require(bool promise) {
    if (!promise)
        std::abort();
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

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    stand_in::MachineState& machine = stand_in::ResetMachine();
    machine.openStatus = TakeStatus(data);
    if (data.ConsumeBool())
        machine.agentPathValue =
            data.ConsumeBytes<BYTE>(data.ConsumeIntegralInRange<size_t>(0, 3 * kPathChars * sizeof(wchar_t)));
    machine.programFilesX86 = {TakeStatus(data), TakePath(data)};
    machine.commonAppData = {TakeStatus(data), TakePath(data)};
    machine.otherAttributes = data.ConsumeBool() ? FILE_ATTRIBUTE_DIRECTORY : data.ConsumeIntegral<DWORD>();
    machine.readStatus = static_cast<DWORD>(TakeStatus(data));
    if (data.ConsumeBool())
        machine.sourceDacl = nullptr;
    machine.clearStatus = static_cast<DWORD>(TakeStatus(data));
    machine.copyStatus = static_cast<DWORD>(TakeStatus(data));

    wchar_t program[] = L"DownloadsPermissions.exe";
    wchar_t* argv[] = {program, nullptr};
    const int status = wmain(1, argv, argv + 1);

    // Writes only after a successful read, always as a pair, and only to a
    // Downloads folder whose path fitted the buffer; the read's descriptor
    // is released exactly when the read succeeded.
    int reads = 0, writes = 0, releases = 0;
    for (const std::string& call : machine.calls) {
        reads += StartsWith(call, "GetNamedSecurityInfoW(");
        releases += StartsWith(call, "LocalFree(");
        if (StartsWith(call, "SetNamedSecurityInfoW(")) {
            ++writes;
            const std::string target = call.substr(0, call.find("\", 1, 0x4") + 1);
            Require(target.size() >= sizeof kSuffix &&
                    target.compare(target.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) == 0);
        }
    }
    const bool readSucceeded = reads == 1 && machine.readStatus == ERROR_SUCCESS;
    Require(reads <= 1);
    Require(writes == (readSucceeded ? 2 : 0));
    Require(releases == (readSucceeded ? 1 : 0));
    // Success unless the folder was left with no access list at all.
    const bool leftOpen =
        readSucceeded && machine.clearStatus == ERROR_SUCCESS && machine.copyStatus != ERROR_SUCCESS;
    Require(status == (leftOpen ? static_cast<int>(machine.copyStatus) : 0));
    return 0;
}
