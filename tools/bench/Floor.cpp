// Does nothing, but imports what the tool imports, so starting it costs what
// process creation and library loading cost: the time baseline.
#include <stdio.h>
#include <windows.h>
#include <shlobj.h>

extern "C" int wmain(int argc, wchar_t*[], wchar_t*[]) {
    if (argc < 0) {  // never true; the references alone bind the libraries
        RegCloseKey(nullptr);
        SHGetFolderPathW(nullptr, 0, nullptr, 0, nullptr);
        LocalFree(nullptr);
        wprintf(L"");
    }
    return 0;
}
