#pragma once

#include <windows.h>

// Wine behaves unlike Windows in a few places the tests touch; they say so where it matters.
inline bool underWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
