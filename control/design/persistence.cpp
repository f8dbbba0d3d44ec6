// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// Persistence: the stream, storage and property-bag formats, all driven by
// the persisted property map. Property entries go through the control's own
// IQLRCom dispatch interface, exactly as an automation client's would, so a
// restored value gets its put's notification and immediate effect.
//
// Loaders take their input from documents that may be damaged or hostile:
// every malformed stream or bag ends with a failure status. Entries restored
// before the failure keep their values; the needs-saving flag is cleared only
// by a load that succeeds, or by a successful save that is asked to clear it.
// A loaded extent that no screen could have produced is replaced by the
// natural one: SetExtent accepts only the natural size, so a container could
// never repair it.
#include "control/automation/qlrcom.h"

#include <cstring>
#include <vector>

#include "control/design/persist_record.h"
#include "control/design/property_map.h"

namespace qlr {

namespace {

constexpr ULONG kStreamVersion = 0x700;
// The same records, then the extended properties that differ from their defaults.
constexpr ULONG kExtendedStreamVersion = 0x701;
const wchar_t kContentsStream[] = L"Contents";

// Frees what a failing Invoke may have put into its exception record.
struct ExceptionRecord {
    EXCEPINFO info{};
    ~ExceptionRecord() {
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
};

HRESULT GetByDispid(IDispatch* dispatch, DISPID id, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ExceptionRecord exception;
    const HRESULT hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                        &none, value, &exception.info, nullptr);
    if (FAILED(hr)) VariantClear(value);
    return hr;
}

// A put by reference first for an object or a by-reference array, then a
// plain put; the dispatch layer converts the value to the put's type.
HRESULT PutByDispid(IDispatch* dispatch, DISPID id, VARIANT& value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    const VARTYPE base = value.vt & ~VT_BYREF;
    const bool byReference = base == VT_DISPATCH || base == VT_UNKNOWN ||
                             ((value.vt & VT_BYREF) && (value.vt & VT_ARRAY));
    if (byReference) {
        ExceptionRecord exception;
        if (SUCCEEDED(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF,
                                       &params, nullptr, &exception.info, nullptr)))
            return S_OK;
    }
    ExceptionRecord exception;
    return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                            nullptr, &exception.info, nullptr);
}

// A variant that carries only a type: what a property bag is asked for.
void WantType(VARIANT& value, VARTYPE type) {
    std::memset(&value, 0, sizeof value);
    value.vt = type;
}

LONG& ExtentField(SIZEL& extent, PersistedEntry::Kind kind) {
    return kind == PersistedEntry::kExtentWidth ? extent.cx : extent.cy;
}

// Up to what 16-bit coordinates hold (about 33 cm): far beyond 32 pixels at
// any screen's resolution, still within every container's arithmetic.
constexpr LONG kLargestPlausibleExtent = 32767;

bool PlausibleExtent(const SIZEL& extent) {
    const auto plausible = [](LONG v) { return v > 0 && v <= kLargestPlausibleExtent; };
    return plausible(extent.cx) && plausible(extent.cy);
}

// The extended properties that differ from their defaults, each as its
// saved type.
struct ChangedProperty {
    const ExtendedEntry* entry;
    com::Variant value;
};

HRESULT ChangedExtended(IDispatch* self, std::vector<ChangedProperty>& changed) {
    for (const ExtendedEntry& entry : ExtendedEntries()) {
        com::Variant value;
        if (FAILED(GetByDispid(self, entry.dispid, value.get()))) return E_FAIL;
        if (DiffersFromDefault(entry, value.get()))
            changed.push_back(ChangedProperty{&entry, std::move(value)});
    }
    return S_OK;
}

// Every extended property back to its default: what a stream that does not
// name one means.
HRESULT ResetExtended(IDispatch* self) {
    for (const ExtendedEntry& entry : ExtendedEntries()) {
        com::Variant value;
        if (FAILED(ExtendedDefault(entry, value.get())) ||
            FAILED(PutByDispid(self, entry.dispid, *value.get())))
            return E_FAIL;
    }
    return S_OK;
}

HRESULT LoadExtended(IDispatch* self, IStream* stream) {
    LONG count = 0;
    HRESULT hr = persist::ReadExact(stream, &count, sizeof count);
    if (FAILED(hr)) return hr;
    if (count < 0 || static_cast<size_t>(count) > kExtendedMapSize) return E_FAIL;
    for (LONG i = 0; i < count; ++i) {
        LONG dispid = 0;
        hr = persist::ReadExact(stream, &dispid, sizeof dispid);
        if (FAILED(hr)) return hr;
        const ExtendedEntry* entry = FindExtendedEntry(dispid);
        if (!entry) return E_FAIL;
        com::Variant value;
        hr = persist::ReadVariantRecord(stream, value.get());
        if (FAILED(hr)) return hr;
        if (value->vt != entry->savedType) return E_FAIL;
        if (FAILED(PutByDispid(self, entry->dispid, *value.get()))) return E_FAIL;
    }
    return S_OK;
}

}  // namespace

STDMETHODIMP QLRCom::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_QLRCom;
    return S_OK;
}

STDMETHODIMP QLRCom::IsDirty() { return needsSaving_ ? S_OK : S_FALSE; }

STDMETHODIMP QLRCom::InitNew() {
    needsSaving_ = true;
    return S_OK;
}

// ---- stream ----

STDMETHODIMP QLRCom::Load(LPSTREAM stream) {
    if (!stream) return E_POINTER;
    ULONG version = 0;
    HRESULT hr = persist::ReadExact(stream, &version, sizeof version);
    if (FAILED(hr)) return hr;
    if (version > kExtendedStreamVersion) return E_FAIL;  // a later format: change nothing

    IDispatch* self = static_cast<IQLRCom*>(this);
    for (const PersistedEntry& entry : PersistedEntries()) {
        if (entry.kind != PersistedEntry::kProperty) {
            ULONG value = 0;
            hr = persist::ReadExact(stream, &value, sizeof value);
            if (FAILED(hr)) return hr;
            ExtentField(extent_, entry.kind) = static_cast<LONG>(value);
            if (entry.kind == PersistedEntry::kExtentHeight) KeepExtentPlausible();
            continue;
        }
        com::Variant value;
        hr = persist::ReadVariantRecord(stream, value.get());
        if (FAILED(hr)) return hr;
        if (IgnoredWhenLoaded(entry.dispid)) continue;
        if (FAILED(PutByDispid(self, entry.dispid, *value.get()))) return E_FAIL;
    }
    if (FAILED(ResetExtended(self))) return E_FAIL;
    if (version == kExtendedStreamVersion) {
        hr = LoadExtended(self, stream);
        if (FAILED(hr)) return hr;
    }
    needsSaving_ = false;
    return S_OK;
}

void QLRCom::KeepExtentPlausible() {
    if (!PlausibleExtent(extent_)) extent_ = NaturalExtent();
}

STDMETHODIMP QLRCom::Save(LPSTREAM stream, BOOL clearDirty) {
    if (!stream) return E_POINTER;
    IDispatch* self = static_cast<IQLRCom*>(this);
    std::vector<ChangedProperty> changed;
    if (FAILED(ChangedExtended(self, changed))) return E_FAIL;
    const ULONG version = changed.empty() ? kStreamVersion : kExtendedStreamVersion;
    HRESULT hr = persist::WriteExact(stream, &version, sizeof version);
    if (FAILED(hr)) return hr;

    for (const PersistedEntry& entry : PersistedEntries()) {
        if (entry.kind != PersistedEntry::kProperty) {
            const ULONG value = static_cast<ULONG>(ExtentField(extent_, entry.kind));
            hr = persist::WriteExact(stream, &value, sizeof value);
            if (FAILED(hr)) return hr;
            continue;
        }
        com::Variant value;
        if (FAILED(GetByDispid(self, entry.dispid, value.get()))) return E_FAIL;
        hr = persist::WriteVariantRecord(stream, *value.get());
        if (FAILED(hr)) return hr;
    }
    if (!changed.empty()) {
        const LONG count = static_cast<LONG>(changed.size());
        hr = persist::WriteExact(stream, &count, sizeof count);
        for (size_t i = 0; SUCCEEDED(hr) && i < changed.size(); ++i) {
            const LONG dispid = changed[i].entry->dispid;
            hr = persist::WriteExact(stream, &dispid, sizeof dispid);
            if (SUCCEEDED(hr)) hr = persist::WriteVariantRecord(stream, *changed[i].value.get());
        }
        if (FAILED(hr)) return hr;
    }
    if (clearDirty) needsSaving_ = false;
    return S_OK;
}

STDMETHODIMP QLRCom::GetSizeMax(ULARGE_INTEGER* size) {
    if (!size) return E_POINTER;
    size->QuadPart = 0;
    ULONGLONG total = sizeof(ULONG);
    IDispatch* self = static_cast<IQLRCom*>(this);
    for (const PersistedEntry& entry : PersistedEntries()) {
        if (entry.kind != PersistedEntry::kProperty) {
            total += sizeof(ULONG);
            continue;
        }
        com::Variant value;
        ULONGLONG record = 0;
        if (FAILED(GetByDispid(self, entry.dispid, value.get())) ||
            FAILED(persist::VariantRecordSize(*value.get(), &record)))
            return E_FAIL;
        total += record;
    }
    std::vector<ChangedProperty> changed;
    if (FAILED(ChangedExtended(self, changed))) return E_FAIL;
    if (!changed.empty()) total += sizeof(LONG);
    for (const ChangedProperty& property : changed) {
        ULONGLONG record = 0;
        if (FAILED(persist::VariantRecordSize(*property.value.get(), &record))) return E_FAIL;
        total += sizeof(LONG) + record;
    }
    size->QuadPart = total;
    return S_OK;
}

// ---- storage: the stream layout in the stream "Contents" ----

STDMETHODIMP QLRCom::InitNew(IStorage*) { return InitNew(); }

STDMETHODIMP QLRCom::Load(IStorage* storage) {
    if (!storage) return E_POINTER;
    com::ComPtr<IStream> stream;
    const HRESULT hr = storage->OpenStream(kContentsStream, nullptr,
                                           STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put());
    if (FAILED(hr)) return hr;
    return Load(stream.get());
}

STDMETHODIMP QLRCom::Save(IStorage* storage, BOOL sameAsLoad) {
    if (!storage) return E_POINTER;
    com::ComPtr<IStream> stream;
    const HRESULT hr = storage->CreateStream(
        kContentsStream, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.put());
    if (FAILED(hr)) return hr;
    return Save(stream.get(), sameAsLoad);
}

STDMETHODIMP QLRCom::SaveCompleted(IStorage*) { return S_OK; }
STDMETHODIMP QLRCom::HandsOffStorage() { return S_OK; }

// ---- property bag ----

STDMETHODIMP QLRCom::Load(IPropertyBag* bag, IErrorLog* log) {
    if (!bag) return E_POINTER;
    IDispatch* self = static_cast<IQLRCom*>(this);
    for (const PersistedEntry& entry : PersistedEntries()) {
        com::Variant value;
        if (entry.kind != PersistedEntry::kProperty) {
            WantType(*value.get(), VT_UI4);
            // Not in the bag: the field keeps its value. A bag that delivers
            // another type is held to the one asked for.
            if (SUCCEEDED(bag->Read(entry.name, value.get(), log)) &&
                SUCCEEDED(VariantChangeType(value.get(), value.get(), 0, VT_UI4)))
                ExtentField(extent_, entry.kind) = static_cast<LONG>(value->ulVal);
            if (entry.kind == PersistedEntry::kExtentHeight) KeepExtentPlausible();
            continue;
        }
        // The present value gives the type the bag is asked to deliver.
        if (FAILED(GetByDispid(self, entry.dispid, value.get()))) return E_FAIL;
        const VARTYPE type = value->vt;
        value.clear();
        WantType(*value.get(), type);
        // Not in the bag, or nothing in it: the property keeps its value.
        if (FAILED(bag->Read(entry.name, value.get(), log)) || value->vt == VT_EMPTY) continue;
        if (IgnoredWhenLoaded(entry.dispid)) continue;
        if (FAILED(PutByDispid(self, entry.dispid, *value.get()))) return E_FAIL;
    }
    for (const ExtendedEntry& entry : ExtendedEntries()) {
        com::Variant value;
        WantType(*value.get(), entry.savedType);
        if (FAILED(bag->Read(entry.name, value.get(), log)) || value->vt == VT_EMPTY) continue;
        if (FAILED(PutByDispid(self, entry.dispid, *value.get()))) return E_FAIL;
    }
    needsSaving_ = false;
    return S_OK;
}

STDMETHODIMP QLRCom::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
    if (!bag) return E_POINTER;
    IDispatch* self = static_cast<IQLRCom*>(this);
    for (const PersistedEntry& entry : PersistedEntries()) {
        com::Variant value;
        if (entry.kind != PersistedEntry::kProperty) {
            value->vt = VT_UI4;
            value->ulVal = static_cast<ULONG>(ExtentField(extent_, entry.kind));
        } else if (FAILED(GetByDispid(self, entry.dispid, value.get()))) {
            return E_FAIL;
        }
        const HRESULT hr = bag->Write(entry.name, value.get());
        if (FAILED(hr)) return hr;
    }
    std::vector<ChangedProperty> changed;
    if (FAILED(ChangedExtended(self, changed))) return E_FAIL;
    for (ChangedProperty& property : changed) {
        const HRESULT hr = bag->Write(property.entry->name, property.value.get());
        if (FAILED(hr)) return hr;
    }
    if (clearDirty) needsSaving_ = false;
    return S_OK;
}

}  // namespace qlr
