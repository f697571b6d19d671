#pragma once

// The C headers come first, before any C++ header can switch MinGW to its own
// formatted-print implementation: the tool prints through the system C
// runtime's wprintf, which keeps the executable small.
#include <stdio.h>
#include <wchar.h>

// The one seam between the tool and the platform. The shipped executable sees
// the real Windows SDK and calls the system directly; the test build sees a
// scriptable stand-in that declares the same names. Nothing else in the tool
// knows which of the two it was compiled against.
#ifdef DOWNLOADS_PERMISSIONS_STAND_IN
#include "tests/StandInWindows.h"
#else
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <winternl.h>
#endif

#include <memory>
#include <type_traits>

// Releases a platform-owned resource through the function the platform
// documents for it, so no path through the tool can forget to.
template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T* resource) const { Release(resource); }
};

using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, ReleaseWith<RegCloseKey>>;
using UniqueLocalMemory = std::unique_ptr<void, ReleaseWith<LocalFree>>;
using UniqueHandle = std::unique_ptr<void, ReleaseWith<CloseHandle>>;

// CreateFileW reports failure as INVALID_HANDLE_VALUE rather than null; the
// wrapper holds either as empty, so it never closes what was never opened.
inline UniqueHandle TakeHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}
