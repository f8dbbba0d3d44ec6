// IDataObject: the control renders no data formats of its own; containers
// draw it through IViewObject. Data advise sinks are kept by an advise holder.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_POINTER;
    return DV_E_FORMATETC;
}
STDMETHODIMP QLRCom::GetDataHere(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_POINTER;
    return DV_E_FORMATETC;
}
STDMETHODIMP QLRCom::QueryGetData(FORMATETC* format) {
    if (!format) return E_POINTER;
    return DV_E_FORMATETC;
}
STDMETHODIMP QLRCom::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (!out) return E_POINTER;
    out->ptd = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::EnumFormatEtc(DWORD, IEnumFORMATETC** formats) {
    if (!formats) return E_POINTER;
    *formats = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP QLRCom::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) {
    if (!format || !sink || !cookie) return E_POINTER;
    *cookie = 0;
    if (!dataAdviseHolder_) {
        const HRESULT hr = CreateDataAdviseHolder(dataAdviseHolder_.put());
        if (FAILED(hr)) return hr;
    }
    return dataAdviseHolder_->Advise(static_cast<IDataObject*>(this), format, flags, sink, cookie);
}
STDMETHODIMP QLRCom::DUnadvise(DWORD cookie) {
    return dataAdviseHolder_ ? dataAdviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}
STDMETHODIMP QLRCom::EnumDAdvise(IEnumSTATDATA** advise) {
    if (!advise) return E_POINTER;
    *advise = nullptr;
    if (!dataAdviseHolder_) {
        const HRESULT hr = CreateDataAdviseHolder(dataAdviseHolder_.put());
        if (FAILED(hr)) return hr;
    }
    return dataAdviseHolder_->EnumAdvise(advise);
}

}  // namespace qlr
