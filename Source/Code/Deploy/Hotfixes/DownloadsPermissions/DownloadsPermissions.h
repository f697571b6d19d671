#pragma once

#include "Platform.h"

// Size of every path buffer the tool uses, in UTF-16 code units.
constexpr DWORD kPathChars = 2048;

// True when the agent's setup key opens and its "Path" value names an
// existing folder. Prints one line when the key cannot be opened.
bool IsAgentInstalled(LSTATUS* keyStatus = nullptr);

// Copies the DACL of the 32-bit program-files folder onto the agent's
// Downloads folder. Arguments are ignored.
extern "C" int wmain(int argc, wchar_t* argv[], wchar_t* envp[]);
