// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// IOleObject: the client site (and through it run mode), the verbs, user type
// and status bits (from the registry, else from the control's own table), the
// fixed extent and OLE advise sinks.
#include <cstring>

#include "control/automation/qlrcom.h"

namespace qlr {

namespace {

// What the registration script of the control registers, answered when the
// registry cannot tell (registration-free use; a per-user registration that
// the host's COM runtime does not merge in).
const wchar_t kPropertiesVerb[] = L"\xFF8C\xFF9F\xFF9B\xFF8A\xFF9F\xFF83\xFF68(&P)..";
const wchar_t kUserTypeName[] = L"QLRCom Class";
// RECOMPOSEONRESIZE | CANTLINKINSIDE | INSIDEOUT | ACTIVATEWHENVISIBLE |
// SETCLIENTSITEFIRST
constexpr DWORD kContentMiscStatus = 131473;

LPOLESTR TaskCopy(const wchar_t* text) {
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
}

// The one verb of the table: the primary verb, on the container's menu.
class VerbEnumerator final : public com::Object, public IEnumOLEVERB {
public:
    explicit VerbEnumerator(IUnknown* outer) : com::Object(outer) {}
    QLR_COM_DELEGATING_IUNKNOWN

    STDMETHODIMP Next(ULONG count, OLEVERB* verbs, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (!verbs || (count != 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && next_ < kVerbCount; ++n, ++next_) {
            LPOLESTR name = TaskCopy(kPropertiesVerb);
            if (!name) break;
            verbs[n] = OLEVERB{OLEIVERB_PRIMARY, name, 0, OLEVERBATTRIB_ONCONTAINERMENU};
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const ULONG left = kVerbCount - next_;
        next_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumOLEVERB** copy) override {
        HRESULT hr =
            Create<VerbEnumerator>(nullptr, IID_IEnumOLEVERB, reinterpret_cast<void**>(copy));
        if (SUCCEEDED(hr)) static_cast<VerbEnumerator*>(*copy)->next_ = next_;
        return hr;
    }

private:
    static constexpr ULONG kVerbCount = 1;
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, IID_IEnumOLEVERB) ? static_cast<IEnumOLEVERB*>(this) : nullptr;
    }
    ULONG next_ = 0;
};

}  // namespace

HRESULT ControlUserType(DWORD form, LPOLESTR* type) {
    if (!type) return E_POINTER;
    if (SUCCEEDED(OleRegGetUserType(CLSID_QLRCom, form, type))) return S_OK;
    *type = TaskCopy(kUserTypeName);
    return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP QLRCom::SetClientSite(IOleClientSite* site) {
    // Leave the old site's window first: whether the port closes with it is
    // the old site's run mode.
    if (inPlaceActive_ && site != clientSite_.get()) InPlaceDeactivate();
    clientSite_ = com::ComPtr<IOleClientSite>(site);
    return S_OK;
}

STDMETHODIMP QLRCom::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    *site = com::ComPtr<IOleClientSite>(clientSite_).detach();
    return S_OK;
}

STDMETHODIMP QLRCom::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP QLRCom::Close(DWORD saveOption) {
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    InPlaceDeactivate();
    DestroyControlWindow();
    // A control has no user to ask: a prompt to save saves when dirty.
    if ((saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE) &&
        IsDirty() == S_OK && clientSite_) {
        if (SUCCEEDED(clientSite_->SaveObject()) && adviseHolder_) adviseHolder_->SendOnSave();
    }
    if (adviseHolder_) adviseHolder_->SendOnClose();
    viewSink_.reset();  // the container's sink would keep it and us alive in a cycle
    return S_OK;
}

STDMETHODIMP QLRCom::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetClipboardData(DWORD, IDataObject** data) {
    if (data) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP QLRCom::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) {
    com::ComPtr<IUnknown> keepAlive(ControllingUnknown());
    switch (verb) {
    case OLEIVERB_PRIMARY:
        // At design time the properties, at run time activation in place.
        return InRunMode() ? ActivateInPlace(OLEIVERB_INPLACEACTIVATE) : ShowPropertyPages();
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE: return ActivateInPlace(verb);
    case OLEIVERB_HIDE:
        UIDeactivate();
        if (window_.get()) ShowWindow(window_.get(), SW_HIDE);
        return S_OK;
    case OLEIVERB_PROPERTIES: return ShowPropertyPages();
    case OLEIVERB_DISCARDUNDOSTATE: return S_OK;  // nothing is ever kept for undo
    case OLEIVERB_OPEN: return E_NOTIMPL;         // no window of its own outside the container
    default:
        if (verb < 0) return E_NOTIMPL;
        // An unknown positive verb acts as the primary one.
        const HRESULT hr = DoVerb(OLEIVERB_PRIMARY, nullptr, nullptr, 0, nullptr, nullptr);
        return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
    }
}

STDMETHODIMP QLRCom::EnumVerbs(IEnumOLEVERB** verbs) {
    if (!verbs) return E_POINTER;
    if (SUCCEEDED(OleRegEnumVerbs(CLSID_QLRCom, verbs))) return S_OK;
    return com::Object::Create<VerbEnumerator>(nullptr, IID_IEnumOLEVERB,
                                               reinterpret_cast<void**>(verbs));
}
STDMETHODIMP QLRCom::Update() { return S_OK; }
STDMETHODIMP QLRCom::IsUpToDate() { return S_OK; }

STDMETHODIMP QLRCom::GetUserClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_QLRCom;
    return S_OK;
}

STDMETHODIMP QLRCom::GetUserType(DWORD form, LPOLESTR* type) { return ControlUserType(form, type); }

STDMETHODIMP QLRCom::SetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    // The control has one size; the caller learns it whatever it asked for.
    // Any other size is refused: a success would tell a caller that cannot
    // see the overwritten value (a marshalled call) that its size was taken.
    const SIZEL asked = *size;
    const SIZEL natural = NaturalExtent();
    *size = natural;
    const bool fixed = natural.cx == extent_.cx && natural.cy == extent_.cy;
    return fixed && asked.cx == natural.cx && asked.cy == natural.cy ? S_OK : E_FAIL;
}

STDMETHODIMP QLRCom::GetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
}

STDMETHODIMP QLRCom::Advise(IAdviseSink* sink, DWORD* cookie) {
    if (!adviseHolder_) {
        HRESULT hr = CreateOleAdviseHolder(adviseHolder_.put());
        if (FAILED(hr)) return hr;
    }
    return adviseHolder_->Advise(sink, cookie);
}

STDMETHODIMP QLRCom::Unadvise(DWORD cookie) {
    return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP QLRCom::EnumAdvise(IEnumSTATDATA** advise) {
    if (advise) *advise = nullptr;
    return adviseHolder_ ? adviseHolder_->EnumAdvise(advise) : E_FAIL;
}

STDMETHODIMP QLRCom::GetMiscStatus(DWORD aspect, DWORD* status) {
    if (!status) return E_POINTER;
    if (SUCCEEDED(OleRegGetMiscStatus(CLSID_QLRCom, aspect, status))) return S_OK;
    *status = aspect == DVASPECT_CONTENT ? kContentMiscStatus : 0;
    return S_OK;
}

STDMETHODIMP QLRCom::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

}  // namespace qlr
