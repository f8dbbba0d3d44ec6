// What the persistence tests share: streams over byte vectors, and a
// property bag over a map of variants.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "control/design/property_map.h"
#include "control/automation/qlrcom.h"

namespace qlr::test {

using Bytes = std::vector<BYTE>;

inline ULONG Word(const Bytes& b, size_t at) {
    ULONG v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
inline void SetWord(Bytes& b, size_t at, ULONG v) { std::memcpy(b.data() + at, &v, 4); }

inline com::ComPtr<IStream> StreamOf(const Bytes& bytes) {
    com::ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return {};
    ULONG written = 0;
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

// Everything from the start of the stream to its end.
inline Bytes BytesOf(IStream* stream) {
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    Bytes bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    if (!bytes.empty()) stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    bytes.resize(read);
    return bytes;
}

inline HRESULT SaveBytes(IPersistStreamInit* persist, Bytes& bytes) {
    com::ComPtr<IStream> stream = StreamOf({});
    const HRESULT hr = persist->Save(stream.get(), TRUE);
    bytes = BytesOf(stream.get());
    return hr;
}

// A compound-file storage in memory, as a container's document holds one.
inline com::ComPtr<IStorage> MemoryStorage() {
    com::ComPtr<ILockBytes> lockBytes;
    com::ComPtr<IStorage> storage;
    if (SUCCEEDED(CreateILockBytesOnHGlobal(nullptr, TRUE, lockBytes.put())))
        StgCreateDocfileOnILockBytes(
            lockBytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.put());
    return storage;
}

// A stream that cannot tell its size or position, as some hosts' streams
// cannot: the loader has to read without knowing where the end is.
class SizelessStream final : public IStream {
public:
    explicit SizelessStream(Bytes bytes) : bytes_(std::move(bytes)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) ||
            IsEqualIID(iid, IID_IStream)) {
            *out = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }
    STDMETHODIMP Read(void* data, ULONG size, ULONG* got) override {
        const size_t left = bytes_.size() - at_;
        const ULONG n = size < left ? size : static_cast<ULONG>(left);
        if (n) std::memcpy(data, bytes_.data() + at_, n);
        at_ += n;
        if (got) *got = n;
        return n == size ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    Bytes bytes_;
    size_t at_ = 0;
    ULONG refs_ = 1;
};

// A property bag over a map. Like the bags of real containers it delivers
// the type it is asked for (failing when the value does not convert); with
// honourType false it hands back whatever it holds, as careless bags do.
class MapBag final : public IPropertyBag {
public:
    explicit MapBag(bool honourType = true) : honourType_(honourType) {}
    ~MapBag() { Clear(); }
    MapBag(const MapBag&) = delete;
    MapBag& operator=(const MapBag&) = delete;

    void Set(const std::wstring& name, const VARIANT& value) {
        VARIANT& slot = values_[name];
        VariantClear(&slot);
        VariantCopy(&slot, const_cast<VARIANT*>(&value));
    }
    void SetText(const std::wstring& name, const wchar_t* text) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(text);
        Set(name, v);
        VariantClear(&v);
    }
    void Erase(const std::wstring& name) {
        auto it = values_.find(name);
        if (it == values_.end()) return;
        VariantClear(&it->second);
        values_.erase(it);
    }
    void Clear() {
        for (auto& entry : values_) VariantClear(&entry.second);
        values_.clear();
    }
    const std::map<std::wstring, VARIANT>& Values() const { return values_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag)) {
            *out = static_cast<IPropertyBag*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        auto it = values_.find(name);
        if (it == values_.end()) return E_INVALIDARG;
        const VARTYPE wanted = value->vt;
        VariantInit(value);
        if (!honourType_ || wanted == VT_EMPTY) return VariantCopy(value, &it->second);
        return VariantChangeType(value, &it->second, 0, wanted);
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        Set(name, *value);
        return S_OK;
    }

private:
    std::map<std::wstring, VARIANT> values_;
    bool honourType_;
    ULONG refs_ = 1;
};

// A control with its three persistence interfaces.
struct Control {
    com::ComPtr<IQLRCom> dispatch;
    com::ComPtr<IPersistStreamInit> stream;
    com::ComPtr<IPersistPropertyBag> bag;
    com::ComPtr<IPersistStorage> storage;

    Control() {
        EXPECT_EQ(CreateQLRCom(nullptr, IID_IQLRCom, dispatch.put_void()), S_OK);
        EXPECT_EQ(dispatch.As(stream), S_OK);
        EXPECT_EQ(dispatch.As(bag), S_OK);
        EXPECT_EQ(dispatch.As(storage), S_OK);
    }
    Bytes Saved() {
        Bytes bytes;
        EXPECT_EQ(SaveBytes(stream.get(), bytes), S_OK);
        return bytes;
    }
    HRESULT Load(const Bytes& bytes) { return stream->Load(StreamOf(bytes).get()); }
    void Put(DISPID id, VARIANT value) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        EXPECT_EQ(dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                                   nullptr),
                  S_OK);
    }
    // Every persisted property to a value of its own; set 1 holds a stored
    // boolean 1, a QcNotifyRecvChars of -1 and a Japanese QcParityReplace.
    void Fill(int set) {
        for (size_t i = 0; i < kPersistedMapSize; ++i) {
            const PersistedEntry& entry = kPersistedMap[i];
            if (entry.kind != PersistedEntry::kProperty) continue;
            VARIANT v;
            VariantInit(&v);
            v.vt = entry.savedType;
            const long n = static_cast<long>(i) + 10 * set;
            switch (entry.savedType) {
            case VT_I2: v.iVal = static_cast<short>(100 * set + n); break;
            case VT_BOOL: v.boolVal = set == 1 ? 1 : 0; break;
            case VT_BSTR: v.bstrVal = SysAllocString(set == 1 ? L"\u3042b" : L"x"); break;
            default: v.lVal = entry.dispid == kDispQcNotifyRecvChars && set == 1 ? -1 : n; break;
            }
            Put(entry.dispid, v);
            VariantClear(&v);
        }
    }
};

}  // namespace qlr::test
