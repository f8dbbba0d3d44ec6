// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.
// IDispatch of a dual interface, answered from the interface's type
// information. An object derives from TypeInfoDispatch<IItsInterface> in
// place of the interface and loads typeInfo_ in its FinalConstruct; names
// and calls then go through the type library, so the dispatch and vtable
// views can never disagree.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "platform/com_ptr.h"

namespace qlr::com {

template <class DualInterface>
class TypeInfoDispatch : public DualInterface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        *info = ComPtr<ITypeInfo>(typeInfo_).detach();
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return DispGetIDsOfNames(typeInfo_.get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argError) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        return typeInfo_->Invoke(static_cast<DualInterface*>(this), id, flags, params, result,
                                 excep, argError);
    }

protected:
    ComPtr<ITypeInfo> typeInfo_;
};

}  // namespace qlr::com
