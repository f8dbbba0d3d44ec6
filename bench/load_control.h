// Loads the module by path and creates a control through its class object,
// without registration: what every benchmark starts with.
#pragma once

#include <windows.h>

#include <cstdio>

#include "qlrcom32_h.h"

namespace bench {

// The control, or null (with the reason on stderr). module receives the
// loaded module.
inline IQLRCom* LoadControl(const char* path, HMODULE& module) {
    module = LoadLibraryA(path);
    if (!module) {
        std::fprintf(stderr, "cannot load %s (%lu)\n", path, GetLastError());
        return nullptr;
    }
    using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IQLRCom* com = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_QLRCom, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory)))) {
        std::fprintf(stderr, "no class object in %s\n", path);
        return nullptr;
    }
    const HRESULT hr =
        factory->CreateInstance(nullptr, IID_IQLRCom, reinterpret_cast<void**>(&com));
    factory->Release();
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot create the control (0x%08lX)\n",
                     static_cast<unsigned long>(hr));
        return nullptr;
    }
    return com;
}

}  // namespace bench
