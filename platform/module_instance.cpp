#include "platform/module_instance.h"

namespace qlr {

namespace {
HINSTANCE g_instance = nullptr;
}

HINSTANCE ModuleInstance() {
    if (g_instance) return g_instance;
    // Not loaded as the server (for example linked into a test program): the
    // module that contains this code holds the resources.
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&g_instance), &self);
    return self;
}

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

}  // namespace qlr
