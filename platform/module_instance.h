// The instance handle of the module that holds this code: where its strings,
// dialogs, pictures, scripts and type library are loaded from.
#pragma once

#include <windows.h>

namespace qlr {

HINSTANCE ModuleInstance();
// Set by the module's entry point.
void SetModuleInstance(HINSTANCE instance);

}  // namespace qlr
