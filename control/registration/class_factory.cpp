// control/registration: registrar and its scripts, class factories, the module entry points.

#include "control/registration/class_factory.h"

#include "control/com/module.h"
#include "qlrcom32_h.h"

namespace qlr {

STDMETHODIMP ClassFactory::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() { return refs_.fetch_add(1) + 1; }

STDMETHODIMP_(ULONG) ClassFactory::Release() { return refs_.fetch_sub(1) - 1; }

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // An aggregator must ask for the inner object's non-delegating IUnknown.
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return create_(outer, iid, out);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleAddRef();
    else
        ModuleRelease();
    return S_OK;
}

namespace {

ClassFactory g_qlrComFactory(&CreateQLRCom);
ClassFactory g_commSettingsFactory(&CreateCommSettings);
ClassFactory g_portListFactory(&CreateQLRPortList);

}  // namespace

HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ClassFactory* factory = nullptr;
    if (IsEqualCLSID(clsid, CLSID_QLRCom))
        factory = &g_qlrComFactory;
    else if (IsEqualCLSID(clsid, CLSID_CommSettings))
        factory = &g_commSettingsFactory;
    else if (IsEqualCLSID(clsid, CLSID_QLRPortList))
        factory = &g_portListFactory;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(iid, out);
}

HRESULT CanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

}  // namespace qlr
