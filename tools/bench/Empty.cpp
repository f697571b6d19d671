// The smallest console program the release flags make: the size baseline.
extern "C" int wmain(int, wchar_t*[], wchar_t*[]) { return 0; }
