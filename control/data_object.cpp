// IDataObject: the control's data as a container sees it.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (out) out->ptd = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::EnumFormatEtc(DWORD, IEnumFORMATETC** formats) {
    if (formats) *formats = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::DUnadvise(DWORD) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::EnumDAdvise(IEnumSTATDATA** advise) {
    if (advise) *advise = nullptr;
    return E_NOTIMPL;
}

}  // namespace qlr
