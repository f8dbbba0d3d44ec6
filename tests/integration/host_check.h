// What the integration hosts share: one "ok"/"FAIL" line a check, counted for
// the summary and the exit status, and the entry points of DLLs loaded at run
// time (mingw-w64 has no import library for some of them on i686).
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace hostcheck {

inline int passed = 0;
inline int failed = 0;

// Flushed at once: the driving script reads the lines while the host runs.
inline bool Check(bool ok, const std::string& what) {
    (ok ? passed : failed)++;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    return ok;
}

// The export NAME of MODULE as F, or null when either is missing.
template <class F>
F Export(HMODULE module, const char* name) {
    // Through void*: the exported function's real type is F.
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                  : nullptr;
}

}  // namespace hostcheck
