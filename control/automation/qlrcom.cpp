// control/automation: the control object, its automation surface, events, window; the port list.

#include "control/automation/qlrcom.h"

namespace qlr {

SIZEL QLRCom::NaturalExtent() {
    const platform::UniqueScreenDc screen(GetDC(nullptr));
    const int dpiX = screen ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 96;
    const int dpiY = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return SIZEL{MulDiv(2540, 32, dpiX > 0 ? dpiX : 96), MulDiv(2540, 32, dpiY > 0 ? dpiY : 96)};
}

QLRCom::QLRCom(IUnknown* outer)
    : com::Object(outer),
      eventPoint_(*this, DIID__QLREvents),
      propertyPoint_(*this, IID_IPropertyNotifySink),
      events_(eventPoint_),
      session_(state_, *this),
      window_(*this, true),
      notifyWindow_(*this, false),
      extent_(NaturalExtent()) {}

QLRCom::~QLRCom() {
    // Script hosts never create the window whose destruction closes the port:
    // close it here, so that no thread outlives the object.
    inPlaceActive_ = uiActive_ = false;  // the window's last messages call no site
    window_.Destroy();
    if (state_.portOpen.load()) session_.CloseComm();
    notifyWindow_.Destroy();
    eventPoint_.DisconnectAll();
    propertyPoint_.DisconnectAll();
}

HRESULT QLRCom::FinalConstruct() {
    com::ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLib(library.put());
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID_IQLRCom, typeInfo_.put());
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(CLSID_QLRCom, classInfo_.put());
}

void* QLRCom::FindInterface(REFIID iid) {
    // Matched in this order; IPersist alone and ISupportErrorInfo are not answered.
    if (IsEqualIID(iid, IID_IQLRCom) || IsEqualIID(iid, IID_IDispatch))
        return static_cast<IQLRCom*>(this);
    if (IsEqualIID(iid, IID_IViewObjectEx) || IsEqualIID(iid, IID_IViewObject2) ||
        IsEqualIID(iid, IID_IViewObject))
        return static_cast<IViewObjectEx*>(this);
    if (IsEqualIID(iid, IID_IOleInPlaceObjectWindowless) ||
        IsEqualIID(iid, IID_IOleInPlaceObject) || IsEqualIID(iid, IID_IOleWindow))
        return static_cast<IOleInPlaceObjectWindowless*>(this);
    if (IsEqualIID(iid, IID_IOleInPlaceActiveObject))
        return static_cast<IOleInPlaceActiveObject*>(this);
    if (IsEqualIID(iid, IID_IOleControl)) return static_cast<IOleControl*>(this);
    if (IsEqualIID(iid, IID_IOleObject)) return static_cast<IOleObject*>(this);
    if (IsEqualIID(iid, IID_IQuickActivate)) return static_cast<IQuickActivate*>(this);
    if (IsEqualIID(iid, IID_IPersistStorage)) return static_cast<IPersistStorage*>(this);
    if (IsEqualIID(iid, IID_IPersistStreamInit)) return static_cast<IPersistStreamInit*>(this);
    if (IsEqualIID(iid, IID_ISpecifyPropertyPages))
        return static_cast<ISpecifyPropertyPages*>(this);
    if (IsEqualIID(iid, IID_IDataObject)) return static_cast<IDataObject*>(this);
    if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
        return static_cast<IProvideClassInfo2*>(this);
    if (IsEqualIID(iid, IID_IPersistPropertyBag)) return static_cast<IPersistPropertyBag*>(this);
    if (IsEqualIID(iid, IID_IRunnableObject)) return static_cast<IRunnableObject*>(this);
    if (IsEqualIID(iid, IID_IPerPropertyBrowsing)) return static_cast<IPerPropertyBrowsing*>(this);
    if (IsEqualIID(iid, IID_IConnectionPointContainer))
        return static_cast<IConnectionPointContainer*>(this);
    if (IsEqualIID(iid, IID_IOleLink)) return static_cast<IOleLink*>(this);
    if (IsEqualIID(iid, IID_IObjectSafety)) return static_cast<IObjectSafety*>(this);
    return nullptr;
}

// ---- IProvideClassInfo2 ----

STDMETHODIMP QLRCom::GetClassInfo(ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = com::ComPtr<ITypeInfo>(classInfo_).detach();
    return S_OK;
}

STDMETHODIMP QLRCom::GetGUID(DWORD kind, GUID* guid) {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = DIID__QLREvents;
    return S_OK;
}

// ---- IRunnableObject ----

STDMETHODIMP QLRCom::GetRunningClass(CLSID* clsid) {
    if (clsid) *clsid = CLSID_NULL;
    return E_UNEXPECTED;
}
STDMETHODIMP QLRCom::Run(LPBINDCTX) { return S_OK; }
BOOL STDMETHODCALLTYPE QLRCom::IsRunning() { return TRUE; }
STDMETHODIMP QLRCom::LockRunning(BOOL, BOOL) { return S_OK; }
STDMETHODIMP QLRCom::SetContainedObject(BOOL) { return S_OK; }

// ---- IConnectionPointContainer ----

STDMETHODIMP QLRCom::EnumConnectionPoints(IEnumConnectionPoints** points) {
    IConnectionPoint* const list[2] = {&eventPoint_, &propertyPoint_};
    return com::CreateConnectionPointEnumerator(ControllingUnknown(), list, 2, points);
}

STDMETHODIMP QLRCom::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    com::ConnectionPoint* found = IsEqualIID(iid, DIID__QLREvents)           ? &eventPoint_
                                  : IsEqualIID(iid, IID_IPropertyNotifySink) ? &propertyPoint_
                                                                             : nullptr;
    if (!found) return CONNECT_E_NOCONNECTION;
    found->AddRef();
    *point = found;
    return S_OK;
}

// ---- IOleLink: present for hosts that ask, but inert ----

STDMETHODIMP QLRCom::SetUpdateOptions(DWORD) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetUpdateOptions(DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetSourceMoniker(IMoniker*, REFCLSID) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetSourceMoniker(IMoniker**) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetSourceDisplayName(LPCOLESTR) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetSourceDisplayName(LPOLESTR* name) {
    if (name) *name = nullptr;
    return E_FAIL;
}
STDMETHODIMP QLRCom::BindToSource(DWORD, IBindCtx*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::BindIfRunning() { return S_OK; }
STDMETHODIMP QLRCom::GetBoundSource(IUnknown**) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::UnbindSource() { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Update(IBindCtx*) { return E_NOTIMPL; }

// ---- IObjectSafety ----
// The control writes files chosen by its caller (RecvFile) and drives
// hardware, so it is never declared safe for untrusted callers. It is safe to
// initialise from untrusted data because, once the host asks for that, a load
// leaves the two settings that act by themselves alone: QcAutoOpen (opens the
// port and raises DTR at activation) and QcDebugTrace (copies the traffic into
// shared memory). They keep their values; a caller may still set them.

STDMETHODIMP QLRCom::GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = INTERFACESAFE_FOR_UNTRUSTED_DATA;
    *enabled = untrustedData_ ? INTERFACESAFE_FOR_UNTRUSTED_DATA : 0;
    return S_OK;
}

STDMETHODIMP QLRCom::SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) {
    if (enabled & mask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_DATA)) return E_FAIL;
    if (mask & INTERFACESAFE_FOR_UNTRUSTED_DATA)
        untrustedData_ = (enabled & INTERFACESAFE_FOR_UNTRUSTED_DATA) != 0;
    return S_OK;
}

bool QLRCom::IgnoredWhenLoaded(DISPID id) const {
    return untrustedData_ && (id == kDispQcAutoOpen || id == kDispQcDebugTrace);
}

// ---- Reporter ----

void QLRCom::CommError(short major, long minor) { events_.FireCommError(major, minor); }

bool QLRCom::InRunMode() {
    if (!clientSite_) return true;
    com::ComPtr<IDispatch> ambient;
    if (FAILED(clientSite_.As(ambient)) || !ambient) return true;
    com::Variant value;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (FAILED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr)))
        return true;
    if (value->vt != VT_BOOL) return true;
    return value->boolVal != VARIANT_FALSE;
}

// ---- Windows ----

HWND QLRCom::CreateControlWindow(HWND parent, const RECT& bounds) {
    if (!window_.get() && !window_.Create(parent, bounds)) return nullptr;
    state_.notifyWindow = window_.get();
    return window_.get();
}

void QLRCom::DestroyControlWindow() { window_.Destroy(); }

void QLRCom::EnsureNotifyWindow() {
    if (window_.get()) {
        state_.notifyWindow = window_.get();
        return;
    }
    if (!notifyWindow_.get()) {
        RECT none{0, 0, 0, 0};
        notifyWindow_.Create(HWND_MESSAGE, none);
    }
    state_.notifyWindow = notifyWindow_.get();
}

void QLRCom::OnWindowCreated(bool controlWindow) {
    if (!controlWindow) return;
    state_.notifyWindow = window_.get();
    if (InRunMode() && state_.QcAutoOpen != 0) {
        short rc = 0;
        OpenComm(&rc);
    }
}

void QLRCom::OnWindowDestroying(bool controlWindow) {
    if (!controlWindow) return;
    if (InRunMode() && state_.portOpen.load()) {
        short rc = 0;
        CloseComm(&rc);
    }
    // Whatever still runs on the port reports to the hidden window from now on.
    state_.notifyWindow = nullptr;
    if (state_.portOpen.load()) {
        RECT none{0, 0, 0, 0};
        if (notifyWindow_.get() || notifyWindow_.Create(HWND_MESSAGE, none))
            state_.notifyWindow = notifyWindow_.get();
    }
}

LRESULT QLRCom::OnPortMessage(UINT message, WPARAM wp, LPARAM lp) {
    // Events may make the host release the control: keep it alive meanwhile.
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    switch (message) {
    case WM_COMM_TRANSFEREND: events_.FireCommTransferEnd(static_cast<short>(wp)); break;
    case WM_COMM_SENDEMPTY: events_.FireCommSend(); break;
    case WM_COMM_NOTIFY: events_.FireCommNotify(static_cast<long>(lp)); break;
    case WM_COMM_ERROR: events_.FireCommError(static_cast<short>(wp), static_cast<long>(lp)); break;
    case WM_COMM_RECV: OnReceiveNotification(); break;
    case WM_COMM_FRAME: OnFrameNotification(); break;
    default: break;
    }
    return 0;
}

HRESULT CreateQLRCom(IUnknown* outer, REFIID iid, void** out) {
    return com::Object::Create<QLRCom>(outer, iid, out);
}

}  // namespace qlr
