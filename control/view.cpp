// The view: drawing at design time (picture 2) and at run time (the form's
// background colour), and the view status.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC, LPCRECTL, LPCRECTL,
                          BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (colors) *colors = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Unfreeze(DWORD) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetAdvise(DWORD, DWORD, IAdviseSink*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetAdvise(DWORD*, DWORD*, IAdviseSink** sink) {
    if (sink) *sink = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::GetExtent(DWORD, LONG, DVTARGETDEVICE*, LPSIZEL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetRect(DWORD, LPRECTL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetViewStatus(DWORD* status) {
    if (!status) return E_POINTER;
    *status = VIEWSTATUS_OPAQUE | VIEWSTATUS_SOLIDBKGND;
    return S_OK;
}
STDMETHODIMP QLRCom::QueryHitPoint(DWORD, LPCRECT, POINT, LONG, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::QueryHitRect(DWORD, LPCRECT, LPCRECT, LONG, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, LPSIZEL) {
    return E_NOTIMPL;
}

}  // namespace qlr
