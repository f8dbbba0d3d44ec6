// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.

#include "control/com/connection_point.h"

#include <new>

#include <olectl.h>

#include "control/com/object.h"

namespace qlr::com {
namespace {

// A snapshot enumerator. Item is CONNECTDATA or IConnectionPoint*; both hold
// one interface pointer that the enumerator owns a reference on.
template <class Enum, class Item, const IID& EnumIid>
class SnapshotEnum final : public Object, public Enum {
public:
    explicit SnapshotEnum(IUnknown*) : Object(nullptr) {}
    ~SnapshotEnum() override {
        for (Item& item : items_) ReleaseItem(item);
    }
    QLR_COM_DELEGATING_IUNKNOWN

    void Add(const Item& item) {
        items_.push_back(item);
        AddRefItem(items_.back());
    }
    void SetPosition(size_t pos) { pos_ = pos; }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && pos_ < items_.size()) {
            out[n] = items_[pos_++];
            AddRefItem(out[n]);
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        size_t left = items_.size() - pos_;
        if (count > left) {
            pos_ = items_.size();
            return S_FALSE;
        }
        pos_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        ComPtr<Enum> clone;
        HRESULT hr = Object::Create<SnapshotEnum>(nullptr, EnumIid, clone.put_void());
        if (FAILED(hr)) return hr;
        auto* impl = static_cast<SnapshotEnum*>(clone.get());
        for (const Item& item : items_) impl->Add(item);
        impl->SetPosition(pos_);
        *out = clone.detach();
        return S_OK;
    }

private:
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, EnumIid) ? static_cast<Enum*>(this) : nullptr;
    }
    static IUnknown* Pointer(const CONNECTDATA& d) { return d.pUnk; }
    static IUnknown* Pointer(IConnectionPoint* p) { return p; }
    static void AddRefItem(const Item& item) {
        if (IUnknown* p = Pointer(item)) p->AddRef();
    }
    static void ReleaseItem(const Item& item) {
        if (IUnknown* p = Pointer(item)) p->Release();
    }

    std::vector<Item> items_;
    size_t pos_ = 0;
};

using ConnectionsEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using PointsEnum =
    SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID iid)
    : container_(container), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() = default;

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    *out = &container_;
    container_.AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, typed.put_void())) || !typed)
        return CONNECT_E_CANNOTCONNECT;

    size_t slot = 0;
    while (slot < slots_.size() && slots_[slot]) ++slot;
    if (slot == slots_.size()) {
        size_t grown = slots_.empty() ? 1 : slots_.size() == 1 ? 4 : slots_.size() * 2;
        if (grown > MAXDWORD / 2) return CONNECT_E_ADVISELIMIT;
        try {
            slots_.resize(grown);
        } catch (const std::bad_alloc&) {
            return CONNECT_E_ADVISELIMIT;
        }
    }
    slots_[slot] = std::move(typed);
    *cookie = static_cast<DWORD>(slot + 1);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    if (cookie == 0 || cookie > slots_.size() || !slots_[cookie - 1]) return CONNECT_E_NOCONNECTION;
    // Move out first: the sink's Release may call back into this list.
    ComPtr<IUnknown> gone = std::move(slots_[cookie - 1]);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<IEnumConnections> e;
    HRESULT hr = Object::Create<ConnectionsEnum>(nullptr, IID_IEnumConnections, e.put_void());
    if (FAILED(hr)) return hr;
    auto* impl = static_cast<ConnectionsEnum*>(e.get());
    try {
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i]) continue;
            CONNECTDATA d{slots_[i].get(), static_cast<DWORD>(i + 1)};
            impl->Add(d);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *out = e.detach();
    return S_OK;
}

ComPtr<IUnknown> ConnectionPoint::SinkAt(size_t slot) const {
    return slot < slots_.size() ? slots_[slot] : ComPtr<IUnknown>();
}

void ConnectionPoint::DisconnectAll() {
    std::vector<ComPtr<IUnknown>> gone;
    gone.swap(slots_);
}

HRESULT CreateConnectionPointEnumerator(IUnknown*, IConnectionPoint* const* points, size_t count,
                                        IEnumConnectionPoints** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<IEnumConnectionPoints> e;
    HRESULT hr = Object::Create<PointsEnum>(nullptr, IID_IEnumConnectionPoints, e.put_void());
    if (FAILED(hr)) return hr;
    auto* impl = static_cast<PointsEnum*>(e.get());
    try {
        for (size_t i = 0; i < count; ++i) impl->Add(points[i]);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *out = e.detach();
    return S_OK;
}

}  // namespace qlr::com
