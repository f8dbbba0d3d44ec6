// In-place activation: the control's window inside the container, focus and
// UI activation, the control-site conversation and quick activation.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::GetWindow(HWND* hwnd) {
    if (!hwnd) return E_POINTER;
    *hwnd = window_.get();
    return *hwnd ? S_OK : E_FAIL;
}
STDMETHODIMP QLRCom::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::InPlaceDeactivate() { return E_NOTIMPL; }
STDMETHODIMP QLRCom::UIDeactivate() { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetObjectRects(LPCRECT, LPCRECT) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::ReactivateAndUndo() { return E_NOTIMPL; }
STDMETHODIMP QLRCom::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetDropTarget(IDropTarget** target) {
    if (target) *target = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP QLRCom::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP QLRCom::OnDocWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP QLRCom::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP QLRCom::EnableModeless(BOOL) { return S_OK; }

STDMETHODIMP QLRCom::GetControlInfo(CONTROLINFO*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::OnMnemonic(MSG*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::OnAmbientPropertyChange(DISPID) { return S_OK; }
STDMETHODIMP QLRCom::FreezeEvents(BOOL) { return S_OK; }

STDMETHODIMP QLRCom::QuickActivate(QACONTAINER*, QACONTROL*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetContentExtent(LPSIZEL) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetContentExtent(LPSIZEL) { return E_NOTIMPL; }

}  // namespace qlr
