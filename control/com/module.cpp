// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.
// Module-wide state of qlrcom32.ocx: its lock count.
#include "control/com/module.h"

#include <oleauto.h>

#include <atomic>

namespace qlr {

namespace {

std::atomic<long> g_lockCount{0};

}  // namespace

HRESULT LoadModuleTypeLib(ITypeLib** library) {
    if (!library) return E_POINTER;
    *library = nullptr;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    return LoadTypeLibEx(path, REGKIND_NONE, library);
}

void ModuleAddRef() { g_lockCount.fetch_add(1); }

void ModuleRelease() { g_lockCount.fetch_sub(1); }

long ModuleLockCount() { return g_lockCount.load(); }

}  // namespace qlr
