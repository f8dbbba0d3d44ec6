// control/registration: registrar and its scripts, class factories, the module entry points.
// Class objects of the module's creatable classes.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace qlr {

// A class factory that creates its objects through a creation function with the
// signature of CreateQLRCom/CreateCommSettings. Instances are static for the
// life of the module; their reference count does not keep the module loaded.
class ClassFactory final : public IClassFactory {
public:
    using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

    explicit ClassFactory(CreateFunction create) : create_(create) {}
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    CreateFunction create_;
    std::atomic<ULONG> refs_{0};
};

// DllGetClassObject: the factory of QLRCom, CommSettings or QLRPortList queried for iid;
// CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

// DllCanUnloadNow: S_OK when no object lives and no server lock is held.
HRESULT CanUnloadNow();

}  // namespace qlr
