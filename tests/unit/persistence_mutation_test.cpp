// The loaders against damaged input: thousands of corrupted streams and bags,
// each fed to a fresh control. Nothing may crash, a stream that cannot be a
// valid one must fail, and no automation string, safe array or reference may
// be left behind.
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <unordered_set>

#include "tests/unit/persist_helpers.h"

namespace qlr::test {
namespace {

using com::ComPtr;

// Counts the task-memory blocks allocated while it is registered and not yet
// freed. BSTRs and safe arrays come from task memory once oleaut32's string
// cache is off.
class CountingSpy final : public IMallocSpy {
public:
    size_t Live() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.size();
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override { return size; }
    STDMETHODIMP_(void*) PostAlloc(void* p) override {
        if (p) Add(p);
        return p;
    }
    STDMETHODIMP_(void*) PreFree(void* p, BOOL) override {
        Remove(p);
        return p;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* p, SIZE_T size, void** request, BOOL) override {
        Remove(p);
        *request = p;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override {
        if (p) Add(p);
        return p;
    }
    STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
    STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    void Add(void* p) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.insert(p);
    }
    void Remove(void* p) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(p);
    }
    std::mutex mutex_;
    std::unordered_set<void*> live_;
};

// An object to put into bags: it answers IDispatch and nothing works.
class Inert final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    ULONG refs = 1;
};

// Record boundaries of a saved stream: where each type word sits.
std::vector<size_t> RecordOffsets(const Bytes& b) {
    std::vector<size_t> at;
    size_t i = 12;
    while (i + 2 <= b.size()) {
        at.push_back(i);
        const VARTYPE type = static_cast<VARTYPE>(b[i] | b[i + 1] << 8);
        i += 2 + (type == VT_BSTR ? 4 + Word(b, i + 2) : type == VT_I4 ? 4 : 2);
    }
    return at;
}

class Mutator {
public:
    explicit Mutator(unsigned seed) : rng_(seed) {}
    unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
    BYTE Byte() { return static_cast<BYTE>(Below(256)); }

    // One corrupted stream; mustFail when no valid stream can look like it.
    Bytes Stream(const Bytes& base, size_t stringRecord, bool& mustFail) {
        Bytes b = base;
        mustFail = false;
        const std::vector<size_t> records = RecordOffsets(base);
        switch (Below(7)) {
        case 0: {  // cut short
            b.resize(Below(static_cast<unsigned>(base.size())));
            mustFail = true;
            break;
        }
        case 1: {  // bytes changed
            for (unsigned n = 1 + Below(3); n > 0; --n)
                b[Below(static_cast<unsigned>(b.size()))] ^= 1 + Below(255);
            break;
        }
        case 2: {  // bytes inserted
            const size_t at = Below(static_cast<unsigned>(b.size() + 1));
            for (unsigned n = 1 + Below(4); n > 0; --n) b.insert(b.begin() + at, Byte());
            break;
        }
        case 3: {  // bytes removed
            const size_t at = Below(static_cast<unsigned>(b.size()));
            b.erase(b.begin() + at, b.begin() + std::min(b.size(), at + 1 + Below(4)));
            break;
        }
        case 4: {  // a string count that cannot be right
            const ULONG remaining = static_cast<ULONG>(b.size() - stringRecord - 6);
            ULONG count = 0;
            switch (Below(3)) {
            case 0: count = (static_cast<ULONG>(rng_()) | 1u); break;
            case 1:
                count = remaining + 1 + static_cast<ULONG>(rng_() % (0xFFFFFFFFu - remaining));
                break;
            default: count = 0xFFFFFFFEu - 2 * Below(4); break;
            }
            SetWord(b, stringRecord + 2, count);
            mustFail = true;
            break;
        }
        case 5: {  // a type word of any kind
            const size_t at = records[Below(static_cast<unsigned>(records.size()))];
            static const VARTYPE kTypes[] = {VT_EMPTY,
                                             VT_NULL,
                                             VT_DISPATCH,
                                             VT_UNKNOWN,
                                             VT_VARIANT,
                                             VT_DECIMAL,
                                             VT_RECORD,
                                             VT_BSTR,
                                             VT_BYREF | VT_I4,
                                             VT_ARRAY | VT_UI1,
                                             VT_ARRAY | VT_VARIANT,
                                             VT_VECTOR | VT_I2,
                                             0xFFFF};
            const VARTYPE type =
                Below(2) ? kTypes[Below(std::size(kTypes))] : static_cast<VARTYPE>(rng_());
            b[at] = static_cast<BYTE>(type);
            b[at + 1] = static_cast<BYTE>(type >> 8);
            break;
        }
        default: {  // a later version
            SetWord(b, 0, 0x702 + static_cast<ULONG>(rng_() % 0xFFFFF8FDu));
            mustFail = true;
            break;
        }
        }
        return b;
    }

    // A value no careful writer would have put under a property's name.
    void Spoil(MapBag& bag, const std::wstring& name, Inert& object, bool& onlyErased) {
        VARIANT v;
        VariantInit(&v);
        const unsigned kind = Below(11);
        if (kind > 0) onlyErased = false;
        switch (kind) {
        case 0: bag.Erase(name); return;
        case 1: break;  // VT_EMPTY
        case 2: v.vt = VT_NULL; break;
        case 3:
            v.vt = VT_UNKNOWN;
            v.punkVal = &object;
            break;
        case 4:
            v.vt = VT_DISPATCH;
            v.pdispVal = &object;
            break;
        case 5:
        case 6: {
            const VARTYPE element = kind == 5 ? VT_UI1 : VT_VARIANT;
            SAFEARRAY* array = SafeArrayCreateVector(element, 0, Below(6));
            if (element == VT_VARIANT && array && array->rgsabound[0].cElements > 0) {
                VARIANT item;
                VariantInit(&item);
                item.vt = VT_BSTR;
                item.bstrVal = SysAllocString(L"12");
                LONG index = 0;
                SafeArrayPutElement(array, &index, &item);
                VariantClear(&item);
            }
            v.vt = VT_ARRAY | element;
            v.parray = array;
            break;
        }
        case 7: {  // garbage text, surrogates and zeros included
            std::wstring text;
            for (unsigned n = Below(40); n > 0; --n) text.push_back(static_cast<wchar_t>(rng_()));
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            break;
        }
        case 8: {
            static const wchar_t* const kTexts[] = {L"99999999999", L"-40000", L"1e308", L"",
                                                    L"0x10",        L"  7 ",   L"True"};
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocString(kTexts[Below(std::size(kTexts))]);
            break;
        }
        case 9: {
            static const double kNumbers[] = {1e300, -1e300, 0.5, -0.0, 65536.0, 4294967296.0};
            v.vt = VT_R8;
            v.dblVal = kNumbers[Below(std::size(kNumbers))];
            break;
        }
        default: {
            static const VARTYPE kTypes[] = {VT_ERROR, VT_CY, VT_DATE, VT_I8, VT_UI4, VT_BOOL};
            v.vt = kTypes[Below(std::size(kTypes))];
            v.llVal = static_cast<LONGLONG>(rng_()) << 32 | rng_();
            break;
        }
        }
        bag.Set(name, v);
        if (v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH) VariantClear(&v);
    }

private:
    std::mt19937 rng_;
};

struct Outcome {
    int cases = 0;
    int loaded = 0;
    int refused = 0;
};

void RunMutations(unsigned seed, int streamCases, int bagCases, Inert& object, Outcome& outcome) {
    Mutator m(seed);
    Control defaults, filled;
    filled.Fill(1);
    const Bytes bases[] = {defaults.Saved(), filled.Saved()};
    const size_t stringRecord = RecordOffsets(bases[0])[11];  // QcParityReplace
    MapBag baseBag;
    ASSERT_EQ(filled.bag->Save(&baseBag, TRUE, TRUE), S_OK);

    for (int i = 0; i < streamCases; ++i) {
        bool mustFail = false;
        const Bytes b = m.Stream(bases[i % 2], stringRecord, mustFail);
        Control fresh;
        HRESULT hr;
        if (i % 3 == 0) {
            SizelessStream sizeless(b);
            hr = fresh.stream->Load(&sizeless);
        } else {
            hr = fresh.Load(b);
        }
        ++outcome.cases;
        if (mustFail) {
            EXPECT_TRUE(FAILED(hr)) << "stream case " << i << " loaded";
        }
        if (SUCCEEDED(hr)) {
            ++outcome.loaded;
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(fresh.stream->IsDirty(), S_FALSE);
            // Whatever was accepted can be saved again, at the size announced.
            ULARGE_INTEGER size{};
            EXPECT_EQ(fresh.stream->GetSizeMax(&size), S_OK);
            EXPECT_EQ(size.QuadPart, fresh.Saved().size());
        } else {
            ++outcome.refused;
        }
    }

    for (int i = 0; i < bagCases; ++i) {
        MapBag bag(m.Below(2) == 0);
        for (const auto& entry : baseBag.Values()) bag.Set(entry.first, entry.second);
        bool onlyErased = true;
        for (unsigned n = 1 + m.Below(3); n > 0; --n)
            m.Spoil(bag, kPersistedMap[m.Below(static_cast<unsigned>(kPersistedMapSize))].name,
                    object, onlyErased);
        Control fresh;
        const HRESULT hr = fresh.bag->Load(&bag, nullptr);
        ++outcome.cases;
        if (onlyErased) {
            EXPECT_EQ(hr, S_OK) << "bag case " << i;
        }
        if (SUCCEEDED(hr))
            ++outcome.loaded;
        else
            ++outcome.refused;
    }
}

TEST(PersistenceMutationTest, CorruptedStreamsAndBagsFailCleanly) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    // Freed strings must go back to task memory, where the spy sees them.
    using NoCache = void(WINAPI*)();
    auto setOaNoCache = reinterpret_cast<NoCache>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "SetOaNoCache")));
    ASSERT_NE(setOaNoCache, nullptr);
    setOaNoCache();

    // Never deleted: ole32 keeps it until its last spied block is freed.
    CountingSpy* spy = new CountingSpy;
    ASSERT_EQ(CoRegisterMallocSpy(spy), S_OK);
    Inert object;
    {
        // Lazily built caches (type library, conversions) come into being here.
        Outcome warmUp;
        RunMutations(7, 300, 100, object, warmUp);
        const size_t before = spy->Live();
        BSTR probe = SysAllocString(L"probe");
        EXPECT_EQ(spy->Live(), before + 1) << "the spy does not see strings";
        SysFreeString(probe);

        Outcome outcome;
        RunMutations(20261201, 12000, 3000, object, outcome);
        EXPECT_EQ(spy->Live(), before) << "blocks left behind by the loaders";
        EXPECT_GE(outcome.cases, 15000);
        // Both answers occur: the corruption is neither always fatal nor always harmless.
        EXPECT_GT(outcome.loaded, 1000);
        EXPECT_GT(outcome.refused, 5000);
    }
    EXPECT_EQ(object.refs, 1u) << "references to bag objects left behind";
    CoRevokeMallocSpy();
    CoUninitialize();
}

}  // namespace
}  // namespace qlr::test
