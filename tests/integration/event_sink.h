// The IDispatch plumbing of a _QLREvents sink, once, for the C++ hosts of the
// tests, benchmarks and demo: a host derives, overrides OnEvent and keeps the
// sink alive (on its stack) for as long as it is connected.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "qlrcom32_h.h"

namespace sink {

class EventSink : public IDispatch {
public:
    virtual ~EventSink() = default;
    // One event: its DISPID (1 CommError ... 6 CommRecvVar) and arguments.
    virtual void OnEvent(DISPID id, DISPPARAMS* params) = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__QLREvents) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        OnEvent(id, params);
        return S_OK;
    }
};

// The event's first argument, or null.
inline const VARIANT* FirstArg(const DISPPARAMS* p) {
    return p && p->cArgs ? &p->rgvarg[p->cArgs - 1] : nullptr;
}

}  // namespace sink
