// Module-wide state of qlrcom32.ocx: its instance handle and its lock count.
#include "control/module.h"

#include <atomic>

namespace qlr {

namespace {

HINSTANCE g_instance = nullptr;
std::atomic<long> g_lockCount{0};

}  // namespace

HINSTANCE ModuleInstance() {
    if (g_instance) return g_instance;
    // Not loaded as the server (for example linked into a test program): the
    // module that contains this code holds the resources.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&g_instance), &self);
    return self;
}

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

void ModuleAddRef() { g_lockCount.fetch_add(1); }

void ModuleRelease() { g_lockCount.fetch_sub(1); }

long ModuleLockCount() { return g_lockCount.load(); }

}  // namespace qlr
