// Persistence of the control: the stream's bytes, round trips through the
// stream, the bag and the storage, the needs-saving flag, and the loader's
// answers to records it must not trust.
#include <gtest/gtest.h>

#include <objsafe.h>
#include <olectl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "control/design/property_map.h"
#include "control/automation/qlrcom.h"
#include "tests/unit/fake_site.h"
#include "tests/unit/persist_helpers.h"

namespace qlr::test {
namespace {

using com::ComPtr;

class ChangeSink final : public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyNotifySink)) {
            *out = static_cast<IPropertyNotifySink*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }
    std::vector<DISPID> changed;
};

class PersistenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }
};

// Offsets in a default control's stream.
constexpr size_t kFirstRecord = 12;
constexpr size_t kDTREnableRecord = 48;
constexpr size_t kParityReplaceRecord = 66;
constexpr size_t kNotifyRecvCharsRecord = 76;
constexpr size_t kBaudRateRecord = 82;

TEST_F(PersistenceTest, DefaultStreamHasTheStoredLayoutAndExactSize) {
    Control c;
    const Bytes b = c.Saved();
    ASSERT_EQ(b.size(), 152u);
    ULARGE_INTEGER size{};
    ASSERT_EQ(c.stream->GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, 152u);

    const SIZEL extent = QLRCom::NaturalExtent();
    EXPECT_EQ(Word(b, 0), 0x700u);
    EXPECT_EQ(Word(b, 4), static_cast<ULONG>(extent.cx));
    EXPECT_EQ(Word(b, 8), static_cast<ULONG>(extent.cy));
    EXPECT_EQ(Bytes(b.begin() + kFirstRecord, b.begin() + kFirstRecord + 4),
              (Bytes{0x02, 0x00, 0x00, 0x04}));  // VT_I2 1024
    EXPECT_EQ(Bytes(b.begin() + kDTREnableRecord, b.begin() + kDTREnableRecord + 4),
              (Bytes{0x0B, 0x00, 0x01, 0x00}));  // VT_BOOL carrying 1, not -1
    EXPECT_EQ(Bytes(b.begin() + kParityReplaceRecord, b.begin() + kParityReplaceRecord + 10),
              (Bytes{0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(b.begin() + kNotifyRecvCharsRecord, b.begin() + kNotifyRecvCharsRecord + 6),
              (Bytes{0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(b.begin() + kBaudRateRecord, b.begin() + kBaudRateRecord + 6),
              (Bytes{0x03, 0x00, 0x08, 0x00, 0x00, 0x00}));
}

TEST_F(PersistenceTest, StreamBagAndStorageRestoreEveryPersistedProperty) {
    Control source, target;
    source.Fill(1);
    target.Fill(2);
    Bytes saved = source.Saved();
    SetWord(saved, 4, 1234);  // the extent travels too
    SetWord(saved, 8, 5678);
    ULARGE_INTEGER size{};
    ASSERT_EQ(source.stream->GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, saved.size());

    ASSERT_EQ(target.Load(saved), S_OK);
    EXPECT_EQ(target.Saved(), saved);
    VARIANT_BOOL autoOpen = 0;
    target.dispatch->get_QcAutoOpen(&autoOpen);
    EXPECT_EQ(autoOpen, 1);

    // The bag: what one control writes, another restores.
    Control fromBag;
    fromBag.Fill(2);
    MapBag bag;
    ASSERT_EQ(target.bag->Save(&bag, TRUE, TRUE), S_OK);
    ASSERT_EQ(bag.Values().size(), kPersistedMapSize);
    EXPECT_EQ(bag.Values().at(L"_cx").vt, VT_UI4);
    EXPECT_EQ(bag.Values().at(L"QcDTREnable").boolVal, 1);
    ASSERT_EQ(fromBag.bag->Load(&bag, nullptr), S_OK);
    EXPECT_EQ(fromBag.Saved(), saved);

    // The storage holds the same bytes in "Contents".
    ComPtr<IStorage> storage = MemoryStorage();
    ASSERT_TRUE(storage);
    EXPECT_EQ(source.storage->Load(storage.get()), STG_E_FILENOTFOUND);
    ASSERT_EQ(target.storage->Save(storage.get(), TRUE), S_OK);
    ASSERT_EQ(target.storage->SaveCompleted(nullptr), S_OK);
    {
        ComPtr<IStream> contents;
        ASSERT_EQ(storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                      contents.put()),
                  S_OK);
        EXPECT_EQ(BytesOf(contents.get()), saved);
    }
    Control fromStorage;
    fromStorage.Fill(2);
    ASSERT_EQ(fromStorage.storage->Load(storage.get()), S_OK);
    EXPECT_EQ(fromStorage.Saved(), saved);
}

// A port name travels as an extended property; an empty one is the default,
// so the stream is the first format's again, byte for byte.
TEST_F(PersistenceTest, PortNameTravelsOnlyWhileSet) {
    Control source, target;
    const Bytes plain = source.Saved();
    com::Bstr name(L"rfc2217://127.0.0.1:7000");
    ASSERT_EQ(source.dispatch->put_QcPortName(name.get()), S_OK);
    const Bytes saved = source.Saved();
    ASSERT_EQ(Word(saved, 0), 0x701u);
    EXPECT_EQ(Word(saved, plain.size()), 1u);       // one record
    EXPECT_EQ(Word(saved, plain.size() + 4), 68u);  // QcPortName's dispid
    ASSERT_EQ(target.Load(saved), S_OK);
    EXPECT_EQ(target.Saved(), saved);
    MapBag bag;
    ASSERT_EQ(source.bag->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(bag.Values().size(), kPersistedMapSize + 1);

    com::Bstr empty(L"");
    ASSERT_EQ(source.dispatch->put_QcPortName(empty.get()), S_OK);
    EXPECT_EQ(source.Saved(), plain);
}

TEST_F(PersistenceTest, AHostAskingForUntrustedDataSafetyGetsNoAutoOpenOrTraceFromALoad) {
    Control source;
    source.Fill(1);  // QcAutoOpen and QcDebugTrace set, every other property its own value
    const Bytes saved = source.Saved();
    MapBag bag;
    ASSERT_EQ(source.bag->Save(&bag, TRUE, TRUE), S_OK);

    for (bool fromBag : {false, true}) {
        Control target;
        ComPtr<IObjectSafety> safety;
        ASSERT_EQ(target.dispatch->QueryInterface(IID_IObjectSafety, safety.put_void()), S_OK);
        ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit,
                                                    INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                    INTERFACESAFE_FOR_UNTRUSTED_DATA),
                  S_OK);
        ASSERT_EQ(fromBag ? target.bag->Load(&bag, nullptr) : target.Load(saved), S_OK);
        VARIANT_BOOL autoOpen = -1, trace = -1;
        target.dispatch->get_QcAutoOpen(&autoOpen);
        target.dispatch->get_QcDebugTrace(&trace);
        EXPECT_EQ(autoOpen, 0) << fromBag;
        EXPECT_EQ(trace, 0) << fromBag;
        // Everything else loaded: with the two set by a caller, the control
        // saves exactly what was loaded.
        target.dispatch->put_QcAutoOpen(1);
        target.dispatch->put_QcDebugTrace(1);
        EXPECT_EQ(target.Saved(), saved) << fromBag;
    }
}

TEST_F(PersistenceTest, NeedsSavingFlagAndNotificationsOfALoad) {
    Control c;
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);
    EXPECT_EQ(c.stream->InitNew(), S_OK);
    EXPECT_EQ(c.storage->IsDirty(), S_OK);
    c.Saved();
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);  // a save asked to clear it does
    EXPECT_EQ(c.stream->InitNew(), S_OK);

    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(c.dispatch.As(container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.put()), S_OK);
    ChangeSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);

    Control other;
    other.Fill(1);
    const Bytes saved = other.Saved();
    // A later format is refused before anything changes.
    Bytes later = saved;
    SetWord(later, 0, 0x702);
    EXPECT_EQ(c.Load(later), E_FAIL);
    EXPECT_TRUE(sink.changed.empty());
    EXPECT_NE(c.Saved(), saved);
    // A stream cut short restores what it holds and fails; the flag stays.
    EXPECT_EQ(c.Load(Bytes(saved.begin(), saved.begin() + 17)), E_FAIL);
    EXPECT_EQ(sink.changed, std::vector<DISPID>{kDispQcRecvQSize});
    EXPECT_EQ(c.stream->IsDirty(), S_OK);

    sink.changed.clear();
    Bytes older = saved;
    SetWord(older, 0, 0x600);  // earlier versions share the layout
    ASSERT_EQ(c.Load(older), S_OK);
    EXPECT_EQ(c.Saved(), saved);
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);
    EXPECT_EQ(c.bag->InitNew(), S_OK);
    EXPECT_EQ(c.stream->IsDirty(), S_OK);
    // Every property after the first changed; each put announced itself.
    ASSERT_GE(sink.changed.size(), 20u);
    EXPECT_EQ(sink.changed[0], kDispQcSendQSize);
    EXPECT_EQ(sink.changed[1], 0);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(PersistenceTest, BagLoadsWhatItHasAndConvertsText) {
    Control c;
    c.dispatch->put_QcRecvQSize(100);
    const Bytes before = c.Saved();

    MapBag only;
    VARIANT baud;
    VariantInit(&baud);
    baud.vt = VT_I4;
    baud.lVal = 12;
    only.Set(L"QcBaudRate", baud);
    ASSERT_EQ(c.bag->Load(&only, nullptr), S_OK);
    Bytes expected = before;
    SetWord(expected, kBaudRateRecord + 2, 12);
    EXPECT_EQ(c.Saved(), expected);
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);

    // A bag that hands back text leaves the conversion to the put.
    MapBag text(false);
    text.SetText(L"QcRecvQSize", L"1024");
    text.SetText(L"_cx", L"999");
    ASSERT_EQ(c.bag->Load(&text, nullptr), S_OK);
    short queue = 0;
    c.dispatch->get_QcRecvQSize(&queue);
    EXPECT_EQ(queue, 1024);
    EXPECT_EQ(Word(c.Saved(), 4), 999u);

    // An empty value carries nothing: the property keeps its value.
    VARIANT empty;
    VariantInit(&empty);
    MapBag careless(false);
    careless.Set(L"QcRecvQSize", empty);
    ASSERT_EQ(c.bag->Load(&careless, nullptr), S_OK);
    c.dispatch->get_QcRecvQSize(&queue);
    EXPECT_EQ(queue, 1024);

    // Text that is no number: a careless bag's value fails the put, a real
    // bag cannot deliver it and the property keeps its value.
    text.SetText(L"QcRecvQSize", L"many");
    EXPECT_EQ(c.bag->Load(&text, nullptr), E_FAIL);
    MapBag honest;
    honest.SetText(L"QcRecvQSize", L"many");
    EXPECT_EQ(c.bag->Load(&honest, nullptr), S_OK);
    c.dispatch->get_QcRecvQSize(&queue);
    EXPECT_EQ(queue, 1024);
}

// A different value for a property, of the type its get delivers.
void ChangeValue(VARIANT& v) {
    switch (v.vt) {
    case VT_I2: v.iVal = static_cast<short>(v.iVal + 1); break;
    case VT_I4: v.lVal += 1; break;
    case VT_BOOL: v.boolVal = v.boolVal ? 0 : 1; break;
    case VT_BSTR:
        SysFreeString(v.bstrVal);
        v.bstrVal = SysAllocString(L"z");
        break;
    default: FAIL() << "type " << v.vt;
    }
}

TEST_F(PersistenceTest, EveryEditAfterALoadNeedsSavingUntilASaveAskedToClearIt) {
    const Bytes defaults = Control().Saved();
    for (const PersistedEntry& entry : PersistedEntries()) {
        if (entry.kind != PersistedEntry::kProperty) continue;
        SCOPED_TRACE(std::string(entry.name, entry.name + std::wcslen(entry.name)));
        Control c;
        ASSERT_EQ(c.Load(defaults), S_OK);
        VARIANT value;
        VariantInit(&value);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        ASSERT_EQ(c.dispatch->Invoke(entry.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value,
                                     nullptr, nullptr),
                  S_OK);
        c.Put(entry.dispid, value);  // the value it has: nothing to save
        EXPECT_EQ(c.stream->IsDirty(), S_FALSE);
        ChangeValue(value);
        c.Put(entry.dispid, value);
        VariantClear(&value);
        EXPECT_EQ(c.stream->IsDirty(), S_OK);
    }

    // Saves clear the flag only when asked to, and only when they succeed.
    Control c;
    ASSERT_EQ(c.Load(defaults), S_OK);
    c.dispatch->put_QcSendTimeOut(500);
    SizelessStream readOnly(Bytes{});
    EXPECT_EQ(c.stream->Save(&readOnly, TRUE), STG_E_ACCESSDENIED);
    EXPECT_EQ(c.stream->IsDirty(), S_OK);
    ComPtr<IStream> stream = StreamOf({});
    EXPECT_EQ(c.stream->Save(stream.get(), FALSE), S_OK);
    EXPECT_EQ(c.stream->IsDirty(), S_OK);
    MapBag bag;
    EXPECT_EQ(c.bag->Save(&bag, FALSE, TRUE), S_OK);
    EXPECT_EQ(c.stream->IsDirty(), S_OK);
    EXPECT_EQ(c.bag->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);
    c.dispatch->put_QcSendTimeOut(600);
    ComPtr<IStorage> storage = MemoryStorage();
    ASSERT_TRUE(storage);
    EXPECT_EQ(c.storage->Save(storage.get(), FALSE), S_OK);
    EXPECT_EQ(c.storage->IsDirty(), S_OK);
    EXPECT_EQ(c.storage->Save(storage.get(), TRUE), S_OK);
    EXPECT_EQ(c.storage->IsDirty(), S_FALSE);
}

// A container that saves an object only when IsDirty says it needs saving.
class SavingContainer final : public ClientSiteStubs {
public:
    explicit SavingContainer(IPersistStreamInit* persist) : persist_(persist) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOleClientSite))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IOleClientSite*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override {
        if (persist_->IsDirty() != S_OK) return S_OK;
        document = StreamOf({});
        ++saves;
        return persist_->Save(document.get(), TRUE);
    }
    ComPtr<IStream> document;
    int saves = 0;

private:
    IPersistStreamInit* persist_;
};

TEST_F(PersistenceTest, AContainerThatSavesOnIsDirtyKeepsTheEditsMadeAfterALoad) {
    Control c;
    ASSERT_EQ(c.Load(Control().Saved()), S_OK);
    SavingContainer container(c.stream.get());
    ComPtr<IOleObject> object;
    ASSERT_EQ(c.dispatch.As(object), S_OK);
    ASSERT_EQ(object->SetClientSite(&container), S_OK);
    EXPECT_EQ(object->Close(OLECLOSE_SAVEIFDIRTY), S_OK);
    EXPECT_EQ(container.saves, 0);  // nothing edited

    c.dispatch->put_QcBaudRate(Baud38400);
    EXPECT_EQ(object->Close(OLECLOSE_SAVEIFDIRTY), S_OK);
    ASSERT_EQ(container.saves, 1);
    EXPECT_EQ(Word(BytesOf(container.document.get()), kBaudRateRecord + 2), 12u);
    EXPECT_EQ(c.stream->IsDirty(), S_FALSE);
    EXPECT_EQ(object->Close(OLECLOSE_SAVEIFDIRTY), S_OK);
    EXPECT_EQ(container.saves, 1);
    object->SetClientSite(nullptr);
}

TEST_F(PersistenceTest, ALoadedExtentThatIsNoPlausibleSizeBecomesTheNaturalOne) {
    const SIZEL natural = QLRCom::NaturalExtent();
    const Bytes defaults = Control().Saved();
    struct Case {
        ULONG cx, cy;
        bool kept;
    };
    const Case cases[] = {
        {0, 0, false},
        {0, 847, false},
        {847, 0xFFFFFFFF, false},
        {0x80000000, 847, false},
        {0x7FFFFFFF, 0x7FFFFFFF, false},
        {1000000, 1000000, false},
        {677, 677, true},
        {1234, 5678, true},
        {1, 32767, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.cx) + " x " + std::to_string(k.cy));
        Bytes saved = defaults;
        SetWord(saved, 4, k.cx);
        SetWord(saved, 8, k.cy);
        MapBag bag;
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_UI4;
        v.ulVal = k.cx;
        bag.Set(L"_cx", v);
        v.ulVal = k.cy;
        bag.Set(L"_cy", v);
        for (int protocol = 0; protocol < 2; ++protocol) {
            Control c;
            ASSERT_EQ(protocol == 0 ? c.Load(saved) : c.bag->Load(&bag, nullptr), S_OK);
            ComPtr<IOleObject> object;
            ASSERT_EQ(c.dispatch.As(object), S_OK);
            SIZEL extent{};
            ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
            const SIZEL expected =
                k.kept ? SIZEL{static_cast<LONG>(k.cx), static_cast<LONG>(k.cy)} : natural;
            EXPECT_EQ(extent.cx, expected.cx);
            EXPECT_EQ(extent.cy, expected.cy);
            // A repaired extent is one the container can set again.
            SIZEL asked = natural;
            if (!k.kept) {
                EXPECT_EQ(object->SetExtent(DVASPECT_CONTENT, &asked), S_OK);
            }
        }
    }
    // Half an extent in a bag is judged with the other half the control has.
    Control c;
    MapBag half;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = 0;
    half.Set(L"_cx", v);
    ASSERT_EQ(c.bag->Load(&half, nullptr), S_OK);
    ComPtr<IOleObject> object;
    ASSERT_EQ(c.dispatch.As(object), S_OK);
    SIZEL extent{};
    ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
    EXPECT_EQ(extent.cx, natural.cx);
}

// Builds a default stream whose QcParityReplace record is replaced by raw.
Bytes WithParityRecord(const Bytes& defaults, const Bytes& raw) {
    // Sized once and copied into: GCC 12 at -O2 and above misreads
    // vector::insert of these small vectors as out of bounds (-Warray-bounds).
    const auto head = defaults.begin() + kParityReplaceRecord;
    const auto tail = head + 10;
    Bytes b(static_cast<size_t>(head - defaults.begin()) + raw.size() +
            static_cast<size_t>(defaults.end() - tail));
    auto out = std::copy(defaults.begin(), head, b.begin());
    out = std::copy(raw.begin(), raw.end(), out);
    std::copy(tail, defaults.end(), out);
    return b;
}

TEST_F(PersistenceTest, LoaderRefusesRecordsItCannotTrust) {
    Control c;
    const Bytes defaults = c.Saved();
    struct Case {
        const char* what;
        Bytes record;
        HRESULT expected;
    };
    const Case cases[] = {
        {"odd count", {0x08, 0, 3, 0, 0, 0, 0x41, 0, 0}, E_FAIL},
        {"no terminating zero", {0x08, 0, 4, 0, 0, 0, 0x41, 0, 0x42, 0}, E_FAIL},
        {"count past the end", {0x08, 0, 0x00, 0x10, 0, 0, 0x41, 0, 0, 0}, E_FAIL},
        {"huge count", {0x08, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x41, 0, 0, 0}, E_FAIL},
        {"reference type word", {0x08, 0x40, 4, 0, 0, 0, 0x41, 0, 0, 0}, E_FAIL},
        {"absent string", {0x08, 0, 0, 0, 0, 0}, S_OK},
        {"embedded zero", {0x08, 0, 6, 0, 0, 0, 0x41, 0, 0, 0, 0, 0}, S_OK},
        {"decimal text", {0x0E, 0, 6, 0, 0, 0, 0x37, 0, 0x38, 0, 0, 0}, S_OK},
        {"one-byte value", {0x11, 0, 0x5A}, S_OK},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Bytes stream = WithParityRecord(defaults, k.record);
        Control fresh;
        EXPECT_EQ(fresh.Load(stream), k.expected);
        SizelessStream sizeless(stream);
        Control blind;
        EXPECT_EQ(blind.stream->Load(&sizeless), k.expected);
    }
    // What the accepted records became, through the put's conversion.
    Control d;
    ASSERT_EQ(d.Load(WithParityRecord(defaults, {0x0E, 0, 6, 0, 0, 0, 0x37, 0, 0x38, 0, 0, 0})),
              S_OK);
    com::Bstr text;
    d.dispatch->get_QcParityReplace(text.put());
    EXPECT_STREQ(text.get(), L"78");
    ASSERT_EQ(d.Load(WithParityRecord(defaults, {0x08, 0, 6, 0, 0, 0, 0x41, 0, 0, 0, 0, 0})), S_OK);
    d.dispatch->get_QcParityReplace(text.put());
    EXPECT_EQ(text.length(), 2u);
    EXPECT_EQ(d.Saved(), WithParityRecord(defaults, {0x08, 0, 6, 0, 0, 0, 0x41, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace qlr::test

namespace qlr::test {
namespace {

// Properties added after the map: saved only when changed, so a control that
// leaves them alone saves what it always did; restored by stream and bag; a
// stream that does not name one sets it to its default.
TEST_F(PersistenceTest, ExtendedPropertiesTravelOnlyWhenChanged) {
    Control source, target;
    const Bytes plain = source.Saved();
    ASSERT_EQ(plain.size(), 152u);
    source.dispatch->put_QcFrameMode(FrameModbusRtu);
    com::Bstr delimiter(L"\u3042;");
    source.dispatch->put_QcFrameDelimiter(delimiter.get());
    const Bytes saved = source.Saved();
    EXPECT_EQ(Word(saved, 0), 0x701u);
    ASSERT_EQ(saved.size(), 152u + 4 + (4 + 4) + (4 + 2 + 4 + 6));
    EXPECT_EQ(Bytes(saved.begin() + 152, saved.begin() + 164),
              (Bytes{2, 0, 0, 0, 69, 0, 0, 0, 2, 0, 4, 0}));  // two; QcFrameMode VT_I2 4
    ULARGE_INTEGER size{};
    ASSERT_EQ(source.stream->GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, saved.size());

    target.dispatch->put_QcFrameLength(77);  // not in the stream: back to its default
    ASSERT_EQ(target.Load(saved), S_OK);
    EXPECT_EQ(target.Saved(), saved);
    ASSERT_EQ(target.Load(plain), S_OK);
    EXPECT_EQ(target.Saved(), plain);

    // The loader trusts neither the count, the dispid nor the record's type.
    auto damaged = [&](size_t at, BYTE value) {
        Bytes b = saved;
        b[at] = value;
        return target.Load(b);
    };
    EXPECT_EQ(damaged(152, 99), E_FAIL);  // count
    EXPECT_EQ(damaged(156, 99), E_FAIL);  // a dispid not in the table
    EXPECT_EQ(damaged(160, VT_I4), E_FAIL);
    EXPECT_EQ(target.Load(Bytes(saved.begin(), saved.end() - 3)), E_FAIL);

    MapBag bag;
    ASSERT_EQ(source.bag->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(bag.Values().count(L"QcFrameMode"), 1u);
    EXPECT_EQ(bag.Values().count(L"QcFrameLength"), 0u);
    Control fromBag;
    ASSERT_EQ(fromBag.bag->Load(&bag, nullptr), S_OK);
    EXPECT_EQ(fromBag.Saved(), saved);
}

}  // namespace
}  // namespace qlr::test
