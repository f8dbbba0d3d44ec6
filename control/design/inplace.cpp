// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// In-place activation: the control's window inside the container, focus and
// UI activation, the control-site conversation and quick activation.
#include <cstddef>

#include "control/design/gdi.h"
#include "control/automation/qlrcom.h"

namespace qlr {

HRESULT QLRCom::ActivateInPlace(LONG verb) {
    if (!clientSite_) return E_UNEXPECTED;
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    if (!inPlaceActive_) {
        com::ComPtr<IOleInPlaceSite> site;
        HRESULT hr = clientSite_.As(site);
        if (FAILED(hr)) return hr;
        hr = site->CanInPlaceActivate();
        if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;  // S_FALSE: the container says no
        com::ComPtr<IOleInPlaceSiteEx> siteEx;
        activatedEx_ = SUCCEEDED(site.As(siteEx)) && siteEx;
        BOOL noRedraw = FALSE;
        hr = activatedEx_ ? siteEx->OnInPlaceActivateEx(&noRedraw, 0) : site->OnInPlaceActivate();
        if (FAILED(hr)) return hr;
        inPlaceSite_ = site;
        inPlaceActive_ = true;

        RECT position{}, clip{};
        OLEINPLACEFRAMEINFO frameInfo{};
        frameInfo.cb = sizeof frameInfo;
        HWND parent = nullptr;
        hr = site->GetWindowContext(inPlaceFrame_.put(), inPlaceDocument_.put(), &position, &clip,
                                    &frameInfo);
        if (SUCCEEDED(hr)) hr = site->GetWindow(&parent);
        if (SUCCEEDED(hr) && !CreateControlWindow(parent, position)) hr = E_FAIL;
        if (FAILED(hr)) {
            InPlaceDeactivate();
            return hr;
        }
        SetObjectRects(&position, &clip);
    } else if (window_.get() && !IsWindowVisible(window_.get())) {
        ShowWindow(window_.get(), SW_SHOW);  // after OLEIVERB_HIDE
    }
    if (verb == OLEIVERB_UIACTIVATE) {
        const HRESULT hr = ActivateUI();
        if (FAILED(hr)) return hr;
    }
    if (clientSite_) clientSite_->ShowObject();
    FireViewChange();
    return S_OK;
}

HRESULT QLRCom::ActivateUI() {
    if (!inPlaceActive_) return E_UNEXPECTED;
    if (uiActive_) return S_OK;
    com::ComPtr<IOleInPlaceSite> site = inPlaceSite_;
    uiActive_ = true;  // before the focus moves: WM_SETFOCUS must not come back here
    const HRESULT hr = site->OnUIActivate();
    if (FAILED(hr)) {
        uiActive_ = false;
        return hr;
    }
    if (window_.get() && GetFocus() != window_.get()) SetFocus(window_.get());
    // The control has no menus or tools: it takes no border space.
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    com::ComPtr<IOleInPlaceFrame> frame = inPlaceFrame_;
    com::ComPtr<IOleInPlaceUIWindow> document = inPlaceDocument_;
    if (frame) {
        frame->SetActiveObject(active, nullptr);
        frame->SetBorderSpace(nullptr);
    }
    if (document) {
        document->SetActiveObject(active, nullptr);
        document->SetBorderSpace(nullptr);
    }
    return S_OK;
}

void QLRCom::OnWindowFocus(bool gained, HWND other) {
    if (!inPlaceActive_) return;
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    if (gained && !uiActive_) ActivateUI();
    // Focus moving between the control and its own children is no change.
    if (!gained && other && IsChild(window_.get(), other)) return;
    com::ComPtr<IOleControlSite> controlSite;
    if (inPlaceActive_ && clientSite_ && SUCCEEDED(clientSite_.As(controlSite)))
        controlSite->OnFocus(gained ? TRUE : FALSE);
}

void QLRCom::OnWindowMouseActivate() {
    if (InRunMode()) ActivateInPlace(OLEIVERB_UIACTIVATE);
}

// ---- IOleWindow, IOleInPlaceObject(Windowless) ----

STDMETHODIMP QLRCom::GetWindow(HWND* hwnd) {
    if (!hwnd) return E_POINTER;
    *hwnd = window_.get();
    return *hwnd ? S_OK : E_FAIL;
}
STDMETHODIMP QLRCom::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP QLRCom::InPlaceDeactivate() {
    if (!inPlaceActive_) return S_OK;
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    UIDeactivate();
    // Cleared first, so that the focus leaving the dying window tells no one.
    inPlaceActive_ = false;
    DestroyControlWindow();  // in run mode this closes the port
    com::ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    inPlaceFrame_.reset();
    inPlaceDocument_.reset();
    com::ComPtr<IOleInPlaceSiteEx> siteEx;
    if (activatedEx_ && SUCCEEDED(site.As(siteEx)) && siteEx)
        siteEx->OnInPlaceDeactivateEx(TRUE);
    else if (site)
        site->OnInPlaceDeactivate();
    activatedEx_ = false;
    return S_OK;
}

STDMETHODIMP QLRCom::UIDeactivate() {
    if (!inPlaceActive_ || !uiActive_) return S_OK;
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    uiActive_ = false;
    com::ComPtr<IOleInPlaceSite> site = inPlaceSite_;
    com::ComPtr<IOleInPlaceFrame> frame = inPlaceFrame_;
    com::ComPtr<IOleInPlaceUIWindow> document = inPlaceDocument_;
    if (document) document->SetActiveObject(nullptr, nullptr);
    if (frame) frame->SetActiveObject(nullptr, nullptr);
    if (site) site->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP QLRCom::SetObjectRects(LPCRECT position, LPCRECT clip) {
    if (!position) return E_POINTER;
    HWND hwnd = window_.get();
    if (!hwnd) return S_OK;
    MoveWindow(hwnd, position->left, position->top, position->right - position->left,
               position->bottom - position->top, TRUE);
    // Show only what the clip rectangle leaves visible.
    RECT visible = *position;
    if (clip && !IntersectRect(&visible, position, clip)) SetRectEmpty(&visible);
    if (EqualRect(&visible, position)) {
        SetWindowRgn(hwnd, nullptr, TRUE);
        return S_OK;
    }
    OffsetRect(&visible, -position->left, -position->top);
    gdi::Object<HRGN> region(CreateRectRgnIndirect(&visible));
    if (region && SetWindowRgn(hwnd, region.get(), TRUE)) region.release();  // the window owns it
    return S_OK;
}

STDMETHODIMP QLRCom::ReactivateAndUndo() { return E_NOTIMPL; }

// Never windowless: messages reach the control's own window, not this call.
STDMETHODIMP QLRCom::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT* result) {
    if (!result) return E_POINTER;
    *result = 0;
    return S_FALSE;
}

// A windowed object registers drop targets on its own window, if any.
STDMETHODIMP QLRCom::GetDropTarget(IDropTarget** target) {
    if (!target) return E_POINTER;
    *target = nullptr;
    return E_NOTIMPL;
}

// ---- IOleInPlaceActiveObject ----

STDMETHODIMP QLRCom::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP QLRCom::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP QLRCom::OnDocWindowActivate(BOOL activate) {
    if (!activate) UIDeactivate();
    return S_OK;
}
STDMETHODIMP QLRCom::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP QLRCom::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl ----

STDMETHODIMP QLRCom::GetControlInfo(CONTROLINFO*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::OnMnemonic(MSG*) { return E_NOTIMPL; }
// Ambients are read when used, so a new BackColor shows at the next repaint.
STDMETHODIMP QLRCom::OnAmbientPropertyChange(DISPID) { return S_OK; }
STDMETHODIMP QLRCom::FreezeEvents(BOOL) { return S_OK; }

// ---- IQuickActivate ----

STDMETHODIMP QLRCom::QuickActivate(QACONTAINER* container, QACONTROL* control) {
    if (!container || !control) return E_POINTER;
    // Earlier versions of both structures end before their last members.
    if (container->cbSize < offsetof(QACONTAINER, pOleControlSite) ||
        control->cbSize < offsetof(QACONTROL, dwPointerActivationPolicy))
        return E_INVALIDARG;
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    HRESULT hr = SetClientSite(container->pClientSite);
    if (FAILED(hr)) return hr;
    if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    control->dwPropNotifyCookie = 0;
    control->dwEventCookie = 0;
    if (container->pPropertyNotifySink) {
        hr = propertyPoint_.Advise(container->pPropertyNotifySink, &control->dwPropNotifyCookie);
        if (FAILED(hr)) return hr;
    }
    if (container->pUnkEventSink) {
        hr = eventPoint_.Advise(container->pUnkEventSink, &control->dwEventCookie);
        if (FAILED(hr)) {
            if (control->dwPropNotifyCookie) propertyPoint_.Unadvise(control->dwPropNotifyCookie);
            control->dwPropNotifyCookie = 0;
            return hr;
        }
    }
    if (FAILED(GetMiscStatus(DVASPECT_CONTENT, &control->dwMiscStatus))) control->dwMiscStatus = 0;
    GetViewStatus(&control->dwViewStatus);
    if (control->cbSize >= sizeof(QACONTROL)) control->dwPointerActivationPolicy = 0;
    return S_OK;
}

STDMETHODIMP QLRCom::SetContentExtent(LPSIZEL size) {
    if (!size) return E_POINTER;
    SIZEL asked = *size;  // [in]: the caller's size stays as it was
    return SetExtent(DVASPECT_CONTENT, &asked);
}

STDMETHODIMP QLRCom::GetContentExtent(LPSIZEL size) { return GetExtent(DVASPECT_CONTENT, size); }

}  // namespace qlr
