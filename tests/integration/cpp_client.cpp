// cpp_client: a C++ host of the control, through the generated header.
//
//   cpp_client PORT_INDEX
//
// PORT_INDEX is the QcDeviceName of a port that can be opened (a pty bridge).
// Connects event sinks through IConnectionPointContainer and checks the
// delivery of CommError (order, argument types, call parameters), the
// connection cookies, and the property change notifications of the puts.
// Prints one line per check and a summary; the exit status is the number of
// failures (capped at 100).
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_check.h"
#include "qlrcom32_h.h"

namespace {

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

// One event as a sink received it.
struct Call {
    int sink = 0;
    DISPID id = 0;
    WORD flags = 0;
    LCID lcid = 0;
    bool nullIid = false;
    bool onHostThread = false;
    std::vector<VARTYPE> types;
    std::vector<LONG> values;  // integer arguments, in declaration order
    UINT named = 0;
};

std::vector<Call> calls;      // every event, all sinks, in arrival order
std::vector<DISPID> changes;  // every IPropertyNotifySink::OnChanged
DWORD hostThread = 0;

// A sink for _QLREvents. With `answersEvents` false it offers only IDispatch,
// which the connection point must refuse. With `failInvoke` it returns E_FAIL.
class EventSink : public IDispatch {
public:
    EventSink(int id, bool answersEvents, bool failInvoke)
        : id_(id), answersEvents_(answersEvents), failInvoke_(failInvoke) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch ||
            (answersEvents_ && riid == DIID__QLREvents)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        return static_cast<ULONG>(InterlockedDecrement(&refs_));
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override {
        Call c;
        c.sink = id_;
        c.id = id;
        c.flags = flags;
        c.lcid = lcid;
        c.nullIid = riid == IID_NULL;
        c.onHostThread = GetCurrentThreadId() == hostThread;
        if (params) {
            c.named = params->cNamedArgs;
            // rgvarg holds the last parameter first.
            for (UINT i = params->cArgs; i-- > 0;) {
                const VARIANT& v = params->rgvarg[i];
                c.types.push_back(V_VT(&v));
                c.values.push_back(V_VT(&v) == VT_I2 ? V_I2(&v) : V_VT(&v) == VT_I4 ? V_I4(&v) : 0);
            }
        }
        calls.push_back(c);
        return failInvoke_ ? E_FAIL : S_OK;
    }
    LONG refs() const { return refs_; }

private:
    LONG refs_ = 1;
    int id_;
    bool answersEvents_;
    bool failInvoke_;
};

class ChangeSink : public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
            *out = static_cast<IPropertyNotifySink*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        return static_cast<ULONG>(InterlockedDecrement(&refs_));
    }
    STDMETHODIMP OnChanged(DISPID id) override {
        changes.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

private:
    LONG refs_ = 1;
};

std::string Describe(const std::vector<Call>& cs) {
    std::string s;
    for (const Call& c : cs) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "[sink %d: id %ld", c.sink, static_cast<long>(c.id));
        s += buf;
        for (size_t i = 0; i < c.types.size(); ++i) {
            std::snprintf(buf, sizeof buf, " vt%u=%ld", static_cast<unsigned>(c.types[i]),
                          static_cast<long>(c.values[i]));
            s += buf;
        }
        s += "]";
    }
    return s.empty() ? "none" : s;
}

std::string Describe(const std::vector<DISPID>& ids) {
    std::string s;
    for (DISPID id : ids) s += (s.empty() ? "" : ",") + std::to_string(id);
    return "[" + s + "]";
}

// The calls are CommError(major, minor) to exactly the sinks `order`, in that
// order, each made as the event protocol prescribes.
void ExpectCommError(const std::string& what, short major, long minor,
                     const std::vector<int>& order) {
    bool ok = calls.size() == order.size();
    for (size_t i = 0; ok && i < calls.size(); ++i) {
        const Call& c = calls[i];
        ok = c.sink == order[i] && c.id == 1 && c.types.size() == 2 && c.types[0] == VT_I2 &&
             c.types[1] == VT_I4 && c.values[0] == major && c.values[1] == minor && c.named == 0 &&
             c.flags == DISPATCH_METHOD && c.nullIid && c.lcid == LOCALE_USER_DEFAULT &&
             c.onHostThread;
    }
    std::string sinks;
    for (int s : order) sinks += (sinks.empty() ? "" : ",") + std::to_string(s);
    Check(ok, what + ": CommError(" + std::to_string(major) + "," + std::to_string(minor) +
                  ") as VT_I2/VT_I4 to sinks " + sinks +
                  " in order, DISPATCH_METHOD, IID_NULL, LOCALE_USER_DEFAULT, host thread; got " +
                  Describe(calls));
}

void ExpectChanges(const std::string& what, const std::vector<DISPID>& want) {
    Check(changes == want, what + ": OnChanged " + Describe(want) + ", got " + Describe(changes));
    changes.clear();
}

int Run(short portIndex) {
    hostThread = GetCurrentThreadId();
    IQLRCom* ctl = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                  reinterpret_cast<void**>(&ctl));
    Check(hr == S_OK && ctl, "CoCreateInstance(CLSID_QLRCom, IID_IQLRCom) " + Hex(hr));
    if (!ctl) return 1;

    IConnectionPointContainer* cpc = nullptr;
    hr = ctl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    Check(hr == S_OK && cpc, "the control is a connection-point container " + Hex(hr));
    IConnectionPoint* events = nullptr;
    IConnectionPoint* notify = nullptr;
    if (cpc) {
        hr = cpc->FindConnectionPoint(DIID__QLREvents, &events);
        Check(hr == S_OK && events, "FindConnectionPoint(DIID__QLREvents) " + Hex(hr));
        hr = cpc->FindConnectionPoint(IID_IPropertyNotifySink, &notify);
        Check(hr == S_OK && notify, "FindConnectionPoint(IID_IPropertyNotifySink) " + Hex(hr));
    }
    if (!events || !notify) return 1;

    EventSink sink1(1, true, false), sink2(2, true, false), sink3(3, true, false),
        plain(9, false, false);
    EventSink failing(4, true, true);
    DWORD c1 = 0, c2 = 0, c3 = 0, cp = 0;
    hr = events->Advise(&sink1, &c1);
    Check(hr == S_OK && c1 == 1,
          "first sink's cookie is 1 (" + std::to_string(c1) + ", " + Hex(hr) + ")");
    hr = events->Advise(&sink2, &c2);
    Check(hr == S_OK && c2 == 2,
          "second sink's cookie is 2 (" + std::to_string(c2) + ", " + Hex(hr) + ")");
    hr = events->Advise(&plain, &cp);
    Check(hr == CONNECT_E_CANNOTCONNECT,
          "a sink without _QLREvents is refused with CONNECT_E_CANNOTCONNECT (" + Hex(hr) + ")");
    hr = events->Unadvise(77);
    Check(hr == CONNECT_E_NOCONNECTION,
          "Unadvise of an unknown cookie gives CONNECT_E_NOCONNECTION (" + Hex(hr) + ")");

    // Methods and their CommError events.
    short rc = -1;
    ctl->put_QcDeviceName(static_cast<enumDeviceName>(portIndex));
    calls.clear();
    hr = ctl->OpenComm(&rc);
    Check(hr == S_OK && rc == 0,
          "OpenComm returns 0 with S_OK (" + std::to_string(rc) + ", " + Hex(hr) + ")");
    Check(calls.empty(), "a successful OpenComm fires nothing; got " + Describe(calls));
    calls.clear();
    rc = -1;
    hr = ctl->OpenComm(&rc);
    Check(hr == S_OK && rc == 112,
          "OpenComm again returns 112 with S_OK (" + std::to_string(rc) + ", " + Hex(hr) + ")");
    ExpectCommError("second OpenComm", 112, 0, {1, 2});
    calls.clear();
    rc = -1;
    hr = ctl->CloseComm(&rc);
    Check(hr == S_OK && rc == 0, "CloseComm returns 0 (" + std::to_string(rc) + ")");
    Check(calls.empty(), "a successful CloseComm fires nothing; got " + Describe(calls));
    calls.clear();
    rc = -1;
    hr = ctl->CloseComm(&rc);
    Check(hr == S_OK && rc == 111,
          "CloseComm on a closed port returns 111 (" + std::to_string(rc) + ")");
    ExpectCommError("CloseComm on a closed port", 111, 0, {1, 2});

    // Cookies: a freed slot is reused; the list grows past 4 slots.
    hr = events->Unadvise(c1);
    Check(hr == S_OK && sink1.refs() == 1,
          "Unadvise(1) releases the first sink (refs " + std::to_string(sink1.refs()) + ")");
    hr = events->Unadvise(c1);
    Check(hr == CONNECT_E_NOCONNECTION,
          "Unadvise(1) again gives CONNECT_E_NOCONNECTION (" + Hex(hr) + ")");
    calls.clear();
    ctl->CloseComm(&rc);
    ExpectCommError("after Unadvise(1)", 111, 0, {2});
    hr = events->Advise(&sink3, &c3);
    Check(hr == S_OK && c3 == 1, "the next sink reuses cookie 1 (" + std::to_string(c3) + ")");
    calls.clear();
    ctl->CloseComm(&rc);
    ExpectCommError("sink in the reused first slot", 111, 0, {3, 2});
    EventSink more[4] = {EventSink(5, true, false), EventSink(6, true, false),
                         EventSink(7, true, false), EventSink(8, true, false)};
    DWORD cm[4] = {};
    bool cookiesOk = true;
    for (int i = 0; i < 4; ++i) {
        hr = events->Advise(&more[i], &cm[i]);
        cookiesOk = cookiesOk && hr == S_OK && cm[i] == static_cast<DWORD>(3 + i);
    }
    Check(cookiesOk, "four more sinks get cookies 3..6 (" + std::to_string(cm[0]) + ".." +
                         std::to_string(cm[3]) + ")");
    calls.clear();
    ctl->CloseComm(&rc);
    ExpectCommError("six sinks", 111, 0, {3, 2, 5, 6, 7, 8});
    for (DWORD c : cm) events->Unadvise(c);
    events->Unadvise(c3);

    // A failing sink does not stop the others, nor change the return code.
    DWORD cf = 0;
    events->Unadvise(c2);
    events->Advise(&failing, &cf);
    events->Advise(&sink2, &c2);
    calls.clear();
    rc = -1;
    ctl->CloseComm(&rc);
    Check(rc == 111, "return code unaffected by a failing sink (" + std::to_string(rc) + ")");
    ExpectCommError("first sink fails its Invoke", 111, 0, {4, 2});
    events->Unadvise(cf);
    events->Unadvise(c2);
    Check(sink2.refs() == 1 && sink3.refs() == 1 && failing.refs() == 1,
          "all event sinks released after Unadvise");

    // No sink connected: the method still reports its code.
    calls.clear();
    rc = -1;
    ctl->CloseComm(&rc);
    Check(rc == 111 && calls.empty(),
          "with no sink CloseComm still returns 111 (" + std::to_string(rc) + ")");

    // Property change notifications.
    ChangeSink changeSink;
    DWORD cn = 0;
    hr = notify->Advise(&changeSink, &cn);
    Check(hr == S_OK && cn == 1,
          "IPropertyNotifySink cookie is 1 (" + std::to_string(cn) + ", " + Hex(hr) + ")");
    changes.clear();
    ctl->put_QcRecvQSize(2048);
    ExpectChanges("QcRecvQSize 1024 -> 2048", {1});
    ctl->put_QcRecvQSize(2048);
    ExpectChanges("QcRecvQSize 2048 -> 2048", {});
    ctl->put_QcSendQSize(512);
    ExpectChanges("QcSendQSize 1024 -> 512", {2});
    ctl->put_QcBaudRate(Baud38400);
    ExpectChanges("QcBaudRate -> Baud38400", {0});
    ctl->put_QcBaudRate(Baud38400);
    ExpectChanges("QcBaudRate unchanged", {});
    ctl->put_QcByteSize(SevenBits);
    ExpectChanges("QcByteSize -> SevenBits", {0});
    ctl->put_QcRecvTimeOut(500);
    ExpectChanges("QcRecvTimeOut -> 500", {0});
    ctl->put_QcRecvTimeOut(500);
    ExpectChanges("QcRecvTimeOut unchanged", {});
    ctl->put_QcAutoOpen(1);
    ExpectChanges("QcAutoOpen 0 -> 1", {0});
    ctl->put_QcAutoOpen(1);
    ExpectChanges("QcAutoOpen 1 -> 1 (nonzero always notifies)", {0});
    ctl->put_QcAutoOpen(0);
    ExpectChanges("QcAutoOpen 1 -> 0 sends nothing", {});
    VARIANT_BOOL autoOpen = -1;
    ctl->get_QcAutoOpen(&autoOpen);
    Check(autoOpen == 0, "QcAutoOpen stored 0 (" + std::to_string(autoOpen) + ")");
    ctl->put_QcNotifyRecvChars(-1);
    ExpectChanges("QcNotifyRecvChars same value (always notifies)", {0});
    BSTR q = SysAllocString(L"?");
    ctl->put_QcParityReplace(q);
    ExpectChanges("QcParityReplace same value (always notifies)", {0});
    SysFreeString(q);
    ctl->put_QcCustomBaudRate(250000);
    ExpectChanges("QcCustomBaudRate sends nothing", {});
    ctl->put_QcRecvNotifyOnly(1);
    ExpectChanges("QcRecvNotifyOnly sends nothing", {});
    hr = ctl->put_QcStatus(3);
    Check(hr == static_cast<HRESULT>(0x800A017F),
          "put of read-only QcStatus returns 0x800A017F (" + Hex(hr) + ")");
    ExpectChanges("a refused put sends nothing", {});
    notify->Unadvise(cn);
    ctl->put_QcRecvQSize(100);
    ExpectChanges("after Unadvise no notification", {});

    events->Release();
    notify->Release();
    cpc->Release();
    ULONG left = ctl->Release();
    Check(left == 0,
          "the control is destroyed by its last Release (" + std::to_string(left) + " left)");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: cpp_client PORT_INDEX\n");
        return 2;
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        std::printf("FAIL CoInitializeEx %s\n", Hex(hr).c_str());
        return 1;
    }
    Run(static_cast<short>(std::atoi(argv[1])));
    CoUninitialize();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 100 ? 100 : failed;
}
