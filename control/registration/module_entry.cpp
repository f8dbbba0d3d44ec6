// control/registration: registrar and its scripts, class factories, the module entry points.
// Entry points of qlrcom32.ocx, exported by name with the ordinals of
// resources/qlrcom32.def.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include "control/registration/class_factory.h"
#include "control/com/module.h"
#include "control/registration/registrar.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        qlr::SetModuleInstance(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() { return qlr::CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    return qlr::GetClassObject(clsid, iid, out);
}

STDAPI DllRegisterServer() { return qlr::reg::RegisterServer(qlr::ModuleInstance()); }

STDAPI DllUnregisterServer() { return qlr::reg::UnregisterServer(qlr::ModuleInstance()); }

// regsvr32 /i:user (with /n: alone) registers for the current user only,
// without administrator rights; /u /i:user removes that again.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    return qlr::reg::Install(qlr::ModuleInstance(), install != FALSE, commandLine);
}
