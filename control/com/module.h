// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.
// Module-wide state of the in-process server: instance handle and lock count.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include "platform/module_instance.h"

namespace qlr {

// The module's own type library (resource 1), for the objects' IDispatch.
HRESULT LoadModuleTypeLib(ITypeLib** library);

// Living objects plus server locks; DllCanUnloadNow answers S_OK only at 0.
void ModuleAddRef();
void ModuleRelease();
long ModuleLockCount();

// Object creation for the class factories. outer may be null; with an outer
// object, iid must be IID_IUnknown (COM's aggregation rule).
HRESULT CreateQLRCom(IUnknown* outer, REFIID iid, void** out);
HRESULT CreateCommSettings(IUnknown* outer, REFIID iid, void** out);
HRESULT CreateQLRPortList(IUnknown* outer, REFIID iid, void** out);

}  // namespace qlr
