// The control object in process: defaults, put rules and notifications,
// automation statuses, display texts, connection points and event firing.
#include <gtest/gtest.h>

#include <objsafe.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "control/com/module.h"
#include "control/automation/qlrcom.h"
#include "platform/com_ptr.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/fake_site.h"
#include "xmodem/transfer_control.h"

#ifdef __CRT_UUID_DECL  // mingw-w64's objsafe.h gives the interface no identifier for __uuidof
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0,
                0x64)
#endif

namespace qlr::test {
namespace {

using com::ComPtr;

// Records the calls it gets; optionally fails them. Stands for a sink of
// either connection point.
class RecordingSink final : public IDispatch, public IPropertyNotifySink {
public:
    struct Call {
        DISPID id;
        std::vector<VARTYPE> types;
        std::vector<long> values;
        std::wstring text;  // a string argument
    };
    explicit RecordingSink(bool fail = false) : fail_(fail) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, DIID__QLREvents))
            *out = static_cast<IDispatch*>(this);
        else if (IsEqualIID(iid, IID_IPropertyNotifySink))
            *out = static_cast<IPropertyNotifySink*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        Call c{id, {}, {}};
        for (UINT i = 0; i < p->cArgs; ++i) {
            c.types.push_back(p->rgvarg[i].vt);
            c.values.push_back(p->rgvarg[i].vt == VT_I2 ? p->rgvarg[i].iVal : p->rgvarg[i].lVal);
            if (p->rgvarg[i].vt == VT_BSTR && p->rgvarg[i].bstrVal) c.text = p->rgvarg[i].bstrVal;
        }
        calls.push_back(c);
        return fail_ ? E_FAIL : S_OK;
    }
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    ULONG refs = 1;
    std::vector<Call> calls;
    std::vector<DISPID> changed;

private:
    bool fail_;
};

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(CreateQLRCom(nullptr, IID_IQLRCom, control.put_void()), S_OK);
        ASSERT_EQ(control.As(container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(DIID__QLREvents, events.put()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, notify.put()), S_OK);
    }
    void TearDown() override {
        events.reset();
        notify.reset();
        container.reset();
        control.reset();
        CoUninitialize();
    }
    DWORD Connect(ComPtr<IConnectionPoint>& point, RecordingSink& sink) {
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(static_cast<IDispatch*>(&sink), &cookie), S_OK);
        return cookie;
    }
    QLRCom& Impl() { return *static_cast<QLRCom*>(control.get()); }

    // Sinks outlive the control, which releases what is still connected.
    RecordingSink sink;
    RecordingSink second;
    RecordingSink failing{true};
    RecordingSink many[6];
    RecordingSink late;

    ComPtr<IQLRCom> control;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> events;
    ComPtr<IConnectionPoint> notify;
};

TEST_F(ControlTest, NewControlHasTheDocumentedDefaults) {
    short s = -9;
    long l = -9;
    VARIANT_BOOL b = -9;
    enumBaudRate baud;
    enumByteSize bytes;
    enumStopBits stop;
    enumParity parity;
    enumFlowControl flow;
    enumDeviceName device;
    enumPriority priority;
    enumProtocol protocol;
    control->get_QcBaudRate(&baud);
    EXPECT_EQ(baud, 8);
    control->get_QcByteSize(&bytes);
    EXPECT_EQ(bytes, 1);
    control->get_QcStopBits(&stop);
    EXPECT_EQ(stop, 0);
    control->get_QcParity(&parity);
    EXPECT_EQ(parity, 0);
    control->get_QcFlowControl(&flow);
    EXPECT_EQ(flow, 0);
    control->get_QcDeviceName(&device);
    EXPECT_EQ(device, 0);
    control->get_QcRecvQSize(&s);
    EXPECT_EQ(s, 1024);
    control->get_QcSendQSize(&s);
    EXPECT_EQ(s, 1024);
    control->get_QcNotifyRecvChars(&l);
    EXPECT_EQ(l, -1);
    com::Bstr replace;
    control->get_QcParityReplace(replace.put());
    EXPECT_STREQ(replace.get(), L"?");
    control->get_QcDTREnable(&b);
    EXPECT_EQ(b, 1);
    control->get_QcRTSEnable(&b);
    EXPECT_EQ(b, 1);
    control->get_QcShowErrorMessage(&b);
    EXPECT_EQ(b, 1);
    control->get_QcFileTransferPriority(&priority);
    EXPECT_EQ(priority, 2);
    control->get_QcWatchPriority(&priority);
    EXPECT_EQ(priority, 2);
    control->get_QcProtocol(&protocol);
    EXPECT_EQ(protocol, 1);
    for (auto get : {&IQLRCom::get_QcProgress, &IQLRCom::get_QcStatus,
                     &IQLRCom::get_QcLastMajorErrCode, &IQLRCom::get_QcProtocolNegd}) {
        s = -9;
        (control.get()->*get)(&s);
        EXPECT_EQ(s, 0);
    }
    for (auto get : {&IQLRCom::get_QcRecvTimeOut, &IQLRCom::get_QcSendTimeOut,
                     &IQLRCom::get_QcLastMinorErrCode, &IQLRCom::get_QcCustomBaudRate}) {
        l = -9;
        (control.get()->*get)(&l);
        EXPECT_EQ(l, 0);
    }
    for (auto get :
         {&IQLRCom::get_QcAutoOpen, &IQLRCom::get_QcNullDiscard, &IQLRCom::get_QcDebugTrace,
          &IQLRCom::get_QcNotifySendComplete, &IQLRCom::get_QcRecvNotifyOnly}) {
        b = -9;
        (control.get()->*get)(&b);
        EXPECT_EQ(b, 0);
    }
    VARIANT_BOOL open = -9;
    control->IsOpen(&open);
    EXPECT_EQ(open, 0);
}

TEST_F(ControlTest, PutsNotifyWithTheirIdentifiersAndOnlyOnChange) {
    Connect(notify, sink);
    control->put_QcRecvQSize(2048);
    control->put_QcRecvQSize(2048);
    control->put_QcSendQSize(512);
    control->put_QcBaudRate(Baud19200);
    control->put_QcBaudRate(Baud19200);
    control->put_QcRecvTimeOut(0);  // unchanged
    EXPECT_EQ(sink.changed, (std::vector<DISPID>{1, 2, 0}));

    sink.changed.clear();
    control->put_QcNotifyRecvChars(-1);     // always notifies
    control->put_QcParityReplace(nullptr);  // always notifies
    control->put_QcAutoOpen(1);
    control->put_QcAutoOpen(1);             // nonzero: notifies again
    control->put_QcAutoOpen(0);             // zero: stored, silent
    control->put_QcRecvNotifyOnly(1);       // never notifies
    control->put_QcCustomBaudRate(250000);  // never notifies
    EXPECT_EQ(sink.changed, (std::vector<DISPID>{0, 0, 0, 0}));
    VARIANT_BOOL autoOpen = -9;
    control->get_QcAutoOpen(&autoOpen);
    EXPECT_EQ(autoOpen, 0);
    com::Bstr replace;
    control->get_QcParityReplace(replace.put());
    ASSERT_NE(replace.get(), nullptr);  // none stored reads as empty
    EXPECT_EQ(replace.length(), 0u);

    // No validation: any value of the declared width is stored.
    control->put_QcStopBits(static_cast<enumStopBits>(77));
    enumStopBits stop;
    control->get_QcStopBits(&stop);
    EXPECT_EQ(stop, 77);
}

TEST_F(ControlTest, ReadOnlyAndWriteOnlyMembersAnswerWithAutomationStatuses) {
    EXPECT_EQ(control->put_QcStatus(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_QcProgress(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_QcLastMajorErrCode(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_QcLastMinorErrCode(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_QcProtocolNegd(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_hComm(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_QcInBufferCount(5), static_cast<HRESULT>(0x800A017F));
    EXPECT_EQ(control->put_InputLen(5), static_cast<HRESULT>(0x800A017F));
    short status = -9;
    control->get_QcStatus(&status);
    EXPECT_EQ(status, 0);
    com::Bstr out;
    EXPECT_EQ(control->get_Output(out.put()), static_cast<HRESULT>(0x800A018A));

    // The same through IDispatch, as a script sees it.
    VARIANT arg;
    arg.vt = VT_I2;
    arg.iVal = 3;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&arg, &named, 1, 1};
    EXPECT_NE(
        control->Invoke(11, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
        S_OK);
}

TEST_F(ControlTest, DisplayTexts) {
    ComPtr<IPerPropertyBrowsing> browsing;
    ASSERT_EQ(control.As(browsing), S_OK);
    auto text = [&](DISPID id) {
        com::Bstr s;
        HRESULT hr = browsing->GetDisplayString(id, s.put());
        return hr == S_OK && s.get() ? std::wstring(s.get()) : L"<" + std::to_wstring(hr) + L">";
    };
    control->put_QcFlowControl(SoftFlowControl);
    EXPECT_EQ(text(23), L"Xon/XOff");
    control->put_QcFlowControl(HardFlowControl);
    EXPECT_EQ(text(23), L"\u30CF\u30FC\u30C9\u30A6\u30A7\u30A2");
    control->put_QcByteSize(SevenBits);
    EXPECT_EQ(text(3), L"7bit");
    EXPECT_EQ(text(4), L"1");
    EXPECT_EQ(text(9), L"XModem check sum");
    EXPECT_EQ(text(20), L"9600");
    control->put_QcDeviceName(Com10);
    EXPECT_EQ(text(21), L"COM10");
    control->put_QcDeviceName(static_cast<enumDeviceName>(10));
    EXPECT_EQ(text(21), L"COM11");
    control->put_QcDeviceName(static_cast<enumDeviceName>(254));
    EXPECT_EQ(text(21), L"COM255");
    control->put_QcDeviceName(static_cast<enumDeviceName>(-1));
    EXPECT_EQ(text(21), L"-1");
    control->put_QcDeviceName(Com10);
    EXPECT_EQ(text(22), L"\u306A\u3057");
    EXPECT_EQ(text(31), L"Normal");
    control->put_QcWatchPriority(Highest);
    EXPECT_EQ(text(33), L"Highest");
    EXPECT_EQ(text(8), L"True");  // boolean stored as 1
    EXPECT_EQ(text(5), L"False");
    EXPECT_EQ(text(1), L"1024");
    EXPECT_EQ(text(14), L"?");
    com::Bstr none;
    EXPECT_EQ(browsing->GetDisplayString(64, none.put()), E_NOTIMPL);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_EQ(browsing->GetDisplayString(27, none.put()), S_FALSE);  // Output cannot be read
    EXPECT_EQ(none.get(), nullptr);
}

// The browser asks for display texts whenever it repaints: the properties
// whose gets read the port must leave the data, the pending line errors and
// the host's event handlers alone.
TEST_F(ControlTest, DisplayTextsNeverReadThePortOrFireEvents) {
    FakePlatformScope platform;
    ComPtr<IPerPropertyBrowsing> browsing;
    ASSERT_EQ(control.As(browsing), S_OK);
    short rc = -9;
    ASSERT_EQ(control->OpenComm(&rc), S_OK);
    ASSERT_EQ(rc, 0);
    Connect(events, sink);
    // No receive notification is asked for, so the watch thread leaves the
    // arrival and the error alone: only a get can take them.
    platform.fake.Receive("xy");
    platform.fake.SetLineErrors(CE_FRAME);
    const size_t reads = platform.fake.CountCalls("ReadFile");
    for (DISPID id : {kDispQcInBufferCount, kDispInput, kDispInputLen}) {
        com::Bstr text;
        EXPECT_EQ(browsing->GetDisplayString(id, text.put()), S_FALSE) << "DISPID " << id;
        EXPECT_EQ(text.get(), nullptr) << "DISPID " << id;
    }
    EXPECT_TRUE(sink.calls.empty());
    EXPECT_EQ(platform.fake.CountCalls("ReadFile"), reads);
    // The line error and the bytes are still there for the host's own reads.
    short count = -9;
    ASSERT_EQ(control->get_InputLen(&count), S_OK);
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].values, (std::vector<long>{CE_FRAME, 105}));
    com::Bstr input;
    ASSERT_EQ(control->get_Input(input.put()), S_OK);
    EXPECT_STREQ(input.get(), L"xy");
    control->CloseComm(&rc);
}

TEST_F(ControlTest, SafeForUntrustedDataButNeverForUntrustedCallers) {
    ComPtr<IObjectSafety> safety;
    ASSERT_EQ(control.As(safety), S_OK);
    DWORD supported = 0, enabled = 0;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_DATA));
    EXPECT_EQ(enabled, 0u);  // until a host asks for it
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                INTERFACESAFE_FOR_UNTRUSTED_CALLER),
              E_FAIL);
    EXPECT_EQ(
        safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                          INTERFACESAFE_FOR_UNTRUSTED_DATA),
        S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_DATA));
}

// What containers ask of the class: the same answers with or without the
// class registered (the unit tests' prefix has nothing registered).
TEST_F(ControlTest, VerbsUserTypeAndMiscStatusNeedNoRegistry) {
    ComPtr<IOleObject> object;
    ASSERT_EQ(control.As(object), S_OK);
    DWORD status = 0;
    ASSERT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, 131473u);
    LPOLESTR type = nullptr;
    ASSERT_EQ(object->GetUserType(USERCLASSTYPE_FULL, &type), S_OK);
    EXPECT_STREQ(type, L"QLRCom Class");
    CoTaskMemFree(type);

    ComPtr<IEnumOLEVERB> verbs;
    ASSERT_EQ(object->EnumVerbs(verbs.put()), S_OK);
    OLEVERB verb[2]{};
    ULONG fetched = 0;
    EXPECT_EQ(verbs->Next(2, verb, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(verb[0].lVerb, 0);
    EXPECT_STREQ(verb[0].lpszVerbName, L"\xFF8C\xFF9F\xFF9B\xFF8A\xFF9F\xFF83\xFF68(&P)..");
    EXPECT_EQ(verb[0].fuFlags, 0u);
    EXPECT_EQ(verb[0].grfAttribs, static_cast<DWORD>(OLEVERBATTRIB_ONCONTAINERMENU));
    CoTaskMemFree(verb[0].lpszVerbName);
}

TEST_F(ControlTest, InterfacesAnsweredAndRefused) {
    ComPtr<IUnknown> probe;
    for (const IID* iid : {&IID_IQLRCom, &IID_IDispatch, &IID_IOleObject, &IID_IProvideClassInfo,
                           &IID_IProvideClassInfo2, &IID_IRunnableObject, &IID_IPerPropertyBrowsing,
                           &IID_IConnectionPointContainer, &IID_IOleLink, &IID_IObjectSafety}) {
        EXPECT_EQ(control->QueryInterface(*iid, probe.put_void()), S_OK);
    }
    EXPECT_EQ(control->QueryInterface(IID_IPersist, probe.put_void()), E_NOINTERFACE);
    EXPECT_EQ(control->QueryInterface(IID_ISupportErrorInfo, probe.put_void()), E_NOINTERFACE);

    ComPtr<IRunnableObject> runnable;
    ASSERT_EQ(control.As(runnable), S_OK);
    CLSID running = CLSID_QLRCom;
    EXPECT_EQ(runnable->GetRunningClass(&running), E_UNEXPECTED);
    EXPECT_TRUE(IsEqualCLSID(running, CLSID_NULL));
    EXPECT_TRUE(runnable->IsRunning());

    ComPtr<IOleLink> link;
    ASSERT_EQ(control.As(link), S_OK);
    LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(link->GetSourceDisplayName(&name), E_FAIL);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(link->BindIfRunning(), S_OK);
    EXPECT_EQ(link->UnbindSource(), E_NOTIMPL);

    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(control.As(info), S_OK);
    GUID source{};
    EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualIID(source, DIID__QLREvents));
}

TEST_F(ControlTest, SinkSlotsCookiesAndReuse) {
    std::vector<DWORD> cookies;
    for (RecordingSink& s : many) cookies.push_back(Connect(events, s));
    EXPECT_EQ(cookies, (std::vector<DWORD>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(events->Unadvise(2), S_OK);
    EXPECT_EQ(events->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(events->Unadvise(99), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(many[1].refs, 1u);  // released
    EXPECT_EQ(Connect(events, late), 2u);

    // A sink that lacks the event interface cannot connect.
    ComPtr<IUnknown> stranger;
    CreateQLRCom(nullptr, IID_IUnknown, stranger.put_void());
    DWORD cookie = 7;
    EXPECT_EQ(events->Advise(stranger.get(), &cookie), CONNECT_E_CANNOTCONNECT);

    ComPtr<IEnumConnections> list;
    ASSERT_EQ(events->EnumConnections(list.put()), S_OK);
    CONNECTDATA data[8];
    ULONG fetched = 0;
    list->Next(8, data, &fetched);
    EXPECT_EQ(fetched, 6u);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    for (DWORD c : {1, 2, 3, 4, 5, 6}) events->Unadvise(c);
}

TEST_F(ControlTest, FailuresFireCommErrorToEverySinkInOrderWithTypedArguments) {
    FakePlatformScope platform;
    Connect(events, failing);
    Connect(events, second);
    short rc = -9;
    ASSERT_EQ(control->CloseComm(&rc), S_OK);
    EXPECT_EQ(rc, 111);
    ASSERT_EQ(control->OpenComm(&rc), S_OK);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(control->OpenComm(&rc), S_OK);
    EXPECT_EQ(rc, 112);
    for (RecordingSink* s : {&failing, &second}) {
        ASSERT_EQ(s->calls.size(), 2u);
        EXPECT_EQ(s->calls[1].id, 1);
        EXPECT_EQ(s->calls[1].types, (std::vector<VARTYPE>{VT_I4, VT_I2}));  // minor first
        EXPECT_EQ(s->calls[1].values, (std::vector<long>{0, 112}));
        EXPECT_EQ(s->calls[0].values, (std::vector<long>{0, 111}));
    }
    // A platform error code reaches the sink unchanged.
    control->CloseComm(&rc);
    platform.fake.FailNext("CreateFileA", 0x1234ABCD);
    control->OpenComm(&rc);
    EXPECT_EQ(rc, 100);
    EXPECT_EQ(second.calls.back().values, (std::vector<long>{0x1234ABCD, 100}));
    OLE_HANDLE handle = 0;
    control->get_hComm(&handle);
    EXPECT_EQ(handle, 0xFFFFFFFFu);
    for (DWORD c : {1, 2}) events->Unadvise(c);
}

TEST_F(ControlTest, ReleasingTheControlWithAnOpenPortClosesIt) {
    FakePlatformScope platform;
    short rc = -9;
    ASSERT_EQ(control->OpenComm(&rc), S_OK);
    ASSERT_EQ(rc, 0);
    events.reset();
    notify.reset();
    container.reset();
    control.reset();
    EXPECT_FALSE(platform.fake.PortOpen());
    EXPECT_EQ(platform.fake.LiveThreads(), 0);
    EXPECT_EQ(platform.fake.LiveEvents(), 0);
}

// The host's thread gets the watch thread's messages as events when it pumps.
TEST_F(ControlTest, BackgroundNotificationsBecomeEventsOnTheHostThread) {
    FakePlatformScope platform;
    Connect(events, sink);
    control->put_QcNotifySendComplete(1);
    short rc = -9;
    ASSERT_EQ(control->OpenComm(&rc), S_OK);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(platform.fake.WaitForCalls("WaitCommEvent", 1));
    platform.fake.SetLineErrors(CE_OVERRUN);
    platform.fake.RaiseEvents(EV_ERR);
    platform.fake.WaitForPosts(1);
    platform.fake.RaiseEvents(EV_CTS);
    platform.fake.WaitForPosts(2);
    platform.fake.RaiseEvents(EV_TXEMPTY);
    platform.fake.WaitForPosts(3);
    EXPECT_TRUE(sink.calls.empty());  // nothing fires before the host pumps
    const DWORD start = GetTickCount();
    while (sink.calls.size() < 3 && GetTickCount() - start < 5000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    ASSERT_EQ(sink.calls.size(), 3u);
    EXPECT_EQ(sink.calls[0].id, 1);
    EXPECT_EQ(sink.calls[0].values, (std::vector<long>{CE_OVERRUN, 124}));
    EXPECT_EQ(sink.calls[1].id, 5);
    EXPECT_EQ(sink.calls[1].values, (std::vector<long>{EV_CTS}));
    EXPECT_EQ(sink.calls[2].id, 4);
    control->CloseComm(&rc);
    events->Unadvise(1);
}

// While framing, a frame left unfinished when a transfer takes the port or
// the port closes comes with status 3, nothing is framed from the transfer's
// bytes, and CommRecv never fires.
TEST_F(ControlTest, UnfinishedFramesEndWithTheSessionOrAtATransfer) {
    FakePlatformScope platform;
    xmodem::SetFileProbeFunction([](const wchar_t*) { return true; });
    Connect(events, sink);
    control->put_QcFrameMode(FrameDelimiter);
    control->put_QcNotifyRecvChars(1);
    short rc = -9;
    control->OpenComm(&rc);
    ASSERT_EQ(rc, 0);
    auto frames = [this] {
        std::wstring seen;
        for (const auto& c : sink.calls) {
            if (c.id == 2) seen += L"<CommRecv>";
            if (c.id == 3) seen += L"<end " + std::to_wstring(c.values[0]) + L">";
            if (c.id == 7) seen += L"[" + c.text + L"]" + std::to_wstring(c.values[0]);
        }
        return seen;
    };
    auto pumpUntil = [&](const std::wstring& want) {
        const DWORD start = GetTickCount();
        while (frames() != want && GetTickCount() - start < 5000) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        }
        return frames();
    };
    platform.fake.Receive("one\r\ntw");
    EXPECT_EQ(pumpUntil(L"[one]0"), L"[one]0");
    com::Bstr name(L"out.bin");
    control->SendFile(name.get(), &rc);  // the fake has no files: the transfer ends at once
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(pumpUntil(L"[one]0[tw]3<end 2102>"), L"[one]0[tw]3<end 2102>");
    platform.fake.Receive("x\r\nyz");
    EXPECT_EQ(pumpUntil(L"[one]0[tw]3<end 2102>[x]0"), L"[one]0[tw]3<end 2102>[x]0");
    control->CloseComm(&rc);
    EXPECT_EQ(pumpUntil(L"[one]0[tw]3<end 2102>[x]0[yz]3"), L"[one]0[tw]3<end 2102>[x]0[yz]3");
    xmodem::SetFileProbeFunction(nullptr);
    events->Unadvise(1);
}

// A client site whose ambient UserMode says design or run mode.
class AmbientSite final : public AmbientSiteBase {
public:
    explicit AmbientSite(bool userMode) : userMode_(userMode) {}
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (id != DISPID_AMBIENT_USERMODE || !result) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BOOL;
        result->boolVal = userMode_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

private:
    bool userMode_;
};

TEST_F(ControlTest, AutoOpenAtWindowCreationOnlyInRunMode) {
    FakePlatformScope platform;
    ComPtr<IOleObject> object;
    ASSERT_EQ(control.As(object), S_OK);
    control->put_QcAutoOpen(1);
    RECT bounds{0, 0, 32, 32};
    VARIANT_BOOL open = 0;

    AmbientSite design(false);
    object->SetClientSite(&design);
    ASSERT_NE(Impl().CreateControlWindow(HWND_MESSAGE, bounds), nullptr);
    control->IsOpen(&open);
    EXPECT_EQ(open, 0);
    Impl().DestroyControlWindow();

    AmbientSite run(true);
    object->SetClientSite(&run);
    ASSERT_NE(Impl().CreateControlWindow(HWND_MESSAGE, bounds), nullptr);
    control->IsOpen(&open);
    EXPECT_EQ(open, VARIANT_TRUE);
    Impl().DestroyControlWindow();
    control->IsOpen(&open);
    EXPECT_EQ(open, 0);
    EXPECT_FALSE(platform.fake.PortOpen());

    // At design time the window's destruction leaves an open port alone.
    object->SetClientSite(&design);
    short rc = -1;
    control->OpenComm(&rc);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(Impl().CreateControlWindow(HWND_MESSAGE, bounds), nullptr);
    Impl().DestroyControlWindow();
    control->IsOpen(&open);
    EXPECT_EQ(open, VARIANT_TRUE);
    control->CloseComm(&rc);
    object->SetClientSite(nullptr);
}

TEST(Module, LockCountFollowsLivingObjects) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    const long before = ModuleLockCount();
    {
        ComPtr<IUnknown> control, page;
        ASSERT_EQ(CreateQLRCom(nullptr, IID_IUnknown, control.put_void()), S_OK);
        ASSERT_EQ(CreateCommSettings(nullptr, IID_IUnknown, page.put_void()), S_OK);
        EXPECT_EQ(ModuleLockCount(), before + 2);
        ComPtr<IUnknown> wrong;
        RecordingSink outer;
        EXPECT_EQ(CreateQLRCom(static_cast<IDispatch*>(&outer), IID_IQLRCom, wrong.put_void()),
                  CLASS_E_NOAGGREGATION);
        EXPECT_EQ(ModuleLockCount(), before + 2);
    }
    EXPECT_EQ(ModuleLockCount(), before);
    CoUninitialize();
}

}  // namespace
}  // namespace qlr::test
