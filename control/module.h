// Module-wide state of the in-process server: instance handle and lock count.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace qlr {

// Instance handle of qlrcom32.ocx (for dialogs, pictures, strings, scripts, type library).
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Living objects plus server locks; DllCanUnloadNow answers S_OK only at 0.
void ModuleAddRef();
void ModuleRelease();
long ModuleLockCount();

// Object creation for the class factories. outer may be null; with an outer
// object, iid must be IID_IUnknown (COM's aggregation rule).
HRESULT CreateQLRCom(IUnknown* outer, REFIID iid, void** out);
HRESULT CreateCommSettings(IUnknown* outer, REFIID iid, void** out);

}  // namespace qlr
