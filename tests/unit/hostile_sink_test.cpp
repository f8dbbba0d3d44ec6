// The hostile-sink harness: every member that fires an event, and every event
// the message handlers fire, meets a handler that closes the port, reopens it
// with other queue sizes, starts a file receive, pumps messages as a modal box
// does, or drops the host's last reference to the control; with the control
// windowless (script hosts) and, where it matters, with its own window (form
// hosts). Whatever the handler does: no crash, nothing left behind, the
// member's own result, and no call on a port the member did not start with.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "control/com/module.h"
#include "control/automation/qlrcom.h"
#include "platform/com_ptr.h"
#include "tests/unit/fake_platform.h"
#include "xmodem/transfer_control.h"

namespace qlr::test {
namespace {

using com::ComPtr;

enum class Action { kClose, kReopen, kRecvFile, kModal, kRead, kRelease };
constexpr Action kActions[] = {Action::kClose, Action::kReopen, Action::kRecvFile,
                               Action::kModal, Action::kRead,   Action::kRelease};
const char* ActionName(Action a) {
    switch (a) {
    case Action::kClose: return "CloseComm";
    case Action::kReopen: return "CloseComm, other queue sizes, OpenComm";
    case Action::kRecvFile: return "RecvFile";
    case Action::kModal: return "modal message loop";
    case Action::kRead: return "reads what is queued";
    case Action::kRelease: return "host releases the control";
    }
    return "?";
}

constexpr short kOtherQueue = 16;

// Dispatches the thread's messages until done() or ms pass.
void Pump(DWORD ms, const std::function<bool()>& done) {
    const DWORD start = GetTickCount();
    while (!(done && done()) && GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (done && done()) return;
        }
    }
}

// What an event carried, as text: CommError its minor code, the receive
// events their data, CommTransferEnd its status, CommNotify its mask.
std::wstring Describe(DISPID id, const DISPPARAMS& p) {
    if (p.cArgs == 0) return L"";
    const VARIANT& v = p.rgvarg[0];
    switch (v.vt) {
    case VT_BYREF | VT_BSTR: return v.pbstrVal && *v.pbstrVal ? *v.pbstrVal : L"";
    case VT_BSTR: return v.bstrVal ? v.bstrVal : L"";
    case VT_UI1: return std::to_wstring(v.bVal);
    case VT_I2: return std::to_wstring(v.iVal);
    case VT_I4: return std::to_wstring(v.lVal);
    default: return L"vt" + std::to_wstring(v.vt) + L" id" + std::to_wstring(id);
    }
}

// A host's event sink that does one hostile thing at the first event it is
// armed for, and holds the host's only reference to the control.
class HostileSink final : public IDispatch {
public:
    HostileSink(FakePlatform& fake, Action action, DISPID trigger, short major)
        : fake_(fake), action_(action), trigger_(trigger), major_(major) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
            !IsEqualIID(iid, DIID__QLREvents))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
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
        if (acted || id != trigger_) return S_OK;
        if (id == kDispCommError && (p->cArgs != 2 || p->rgvarg[1].iVal != major_)) return S_OK;
        acted = true;
        seen = Describe(id, *p);
        Act();
        callsAfterAction = fake_.Calls().size();
        return S_OK;
    }

    ComPtr<IQLRCom> host;  // the host's reference, the only one
    ULONG refs = 1;
    bool acted = false;
    std::wstring seen;    // what the armed event carried
    short reopened = -1;  // OpenComm's result in the reopen
    size_t callsAfterAction = 0;
    long objectsAfterRelease = -1;  // living objects once the host let go

private:
    void Act() {
        short rc = 0;
        VARIANT_BOOL open = 0;
        host->IsOpen(&open);
        switch (action_) {
        case Action::kClose: host->CloseComm(&rc); break;
        case Action::kReopen:
            if (open) host->CloseComm(&rc);
            host->put_QcRecvQSize(kOtherQueue);
            host->put_QcSendQSize(kOtherQueue);
            host->OpenComm(&reopened);
            break;
        case Action::kRecvFile: {
            com::Bstr name(L"hostile.bin");
            host->RecvFile(name.get(), &rc);
            break;
        }
        case Action::kModal:
            // Something arrives while the box is up: the control's own
            // notifications run inside the handler.
            if (open) fake_.Receive("mm");
            Pump(50, nullptr);
            break;
        case Action::kRead: {
            if (open) fake_.Receive("rr");
            com::Bstr text;
            host->RecvString(0, text.put());
            break;
        }
        case Action::kRelease:
            host.reset();
            objectsAfterRelease = ModuleLockCount();
            break;
        }
    }

    FakePlatform& fake_;
    Action action_;
    DISPID trigger_;
    short major_;
};

struct Case {
    FakePlatform& fake;
    IQLRCom* control;
    HostileSink& sink;
};

std::wstring Rc(short rc) { return std::to_wstring(rc); }

// Posted events: the stimulus is done, the host pumps until the event fired.
std::wstring Fired(Case& c) {
    Pump(5000, [&c] { return c.sink.acted; });
    return c.sink.seen;
}

void Bytes(com::Variant& array, const std::string& bytes) {
    array->vt = VT_ARRAY | VT_UI1;
    array->parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i)
        static_cast<unsigned char*>(array->parray->pvData)[i] =
            static_cast<unsigned char>(bytes[i]);
}

struct Member {
    const char* name;
    bool open;                              // the port is open when the member runs
    std::function<void(IQLRCom*)> arrange;  // properties set before the port opens
    DISPID event;
    short major;                             // CommError's major code
    std::function<std::wstring(Case&)> run;  // the member's result
    std::wstring expected;
};

std::vector<Member> Members() {
    auto none = [](IQLRCom*) {};
    auto timeOut = [](IQLRCom* c) { c->put_QcRecvTimeOut(50); };
    const long gone = ERROR_BAD_COMMAND;
    return {
        // ---- members that fire CommError themselves ----
        {"OpenComm, device fails", false, none, kDispCommError, 100,
         [](Case& c) {
             c.fake.FailNext("CreateFileA", ERROR_ACCESS_DENIED);
             short rc = -9;
             c.control->OpenComm(&rc);
             return Rc(rc);
         },
         L"100"},
        {"OpenComm, already open", true, none, kDispCommError, 112,
         [](Case& c) {
             short rc = -9;
             c.control->OpenComm(&rc);
             return Rc(rc);
         },
         L"112"},
        {"CloseComm, not open", false, none, kDispCommError, 111,
         [](Case& c) {
             short rc = -9;
             c.control->CloseComm(&rc);
             return Rc(rc);
         },
         L"111"},
        {"SendString, write fails", true, none, kDispCommError, 106,
         [](Case& c) {
             c.fake.FailNext("WriteFile", ERROR_GEN_FAILURE);
             com::Bstr text(L"hello");
             short rc = -9;
             c.control->SendString(text.get(), &rc);
             return Rc(rc);
         },
         L"106"},
        {"SendString, too long", true, none, kDispCommError, 104,
         [](Case& c) {
             com::Bstr text(std::wstring(2000, L'x').c_str());
             short rc = -9;
             c.control->SendString(text.get(), &rc);
             return Rc(rc);
         },
         L"104"},
        {"SendChar, two characters", true, none, kDispCommError, 110,
         [](Case& c) {
             com::Bstr text(L"XY");
             short rc = -9;
             c.control->SendChar(text.get(), &rc);
             return Rc(rc);
         },
         L"110"},
        {"SendChar, transmit fails", true, none, kDispCommError, 109,
         [](Case& c) {
             c.fake.FailNext("TransmitCommChar", ERROR_GEN_FAILURE);
             com::Bstr text(L"X");
             short rc = -9;
             c.control->SendChar(text.get(), &rc);
             return Rc(rc);
         },
         L"109"},
        {"SendBinaryBytes, write fails", true, none, kDispCommError, 106,
         [](Case& c) {
             c.fake.FailNext("WriteFile", ERROR_GEN_FAILURE);
             com::Variant array;
             Bytes(array, "abc");
             short rc = -9;
             c.control->SendBinaryBytes(*array.get(), &rc);
             return Rc(rc);
         },
         L"0"},
        {"SendBreak, fails", true, none, kDispCommError, 108,
         [](Case& c) {
             c.fake.FailNext("SetCommBreak", ERROR_GEN_FAILURE);
             short rc = -9;
             c.control->SendBreak(&rc);
             return Rc(rc);
         },
         L"108"},
        {"SetDTR, fails", true, none, kDispCommError, 120,
         [](Case& c) {
             c.fake.FailNext("EscapeCommFunction", ERROR_GEN_FAILURE);
             short rc = -9;
             c.control->SetDTR(&rc);
             return Rc(rc);
         },
         L"120"},
        {"GetCTS, fails", true, none, kDispCommError, 123,
         [](Case& c) {
             c.fake.SetModemStatus(MS_CTS_ON);
             c.fake.FailNext("GetCommModemStatus", ERROR_GEN_FAILURE);
             VARIANT_BOOL on = -9;
             c.control->GetCTS(&on);
             return Rc(on);
         },
         L"0"},
        {"QcBaudRate, not applied", true, none, kDispCommError, 102,
         [](Case& c) {
             c.fake.FailNext("SetCommState", ERROR_GEN_FAILURE);
             return std::to_wstring(c.control->put_QcBaudRate(Baud19200));
         },
         L"0"},
        {"RecvString, time-out", true, timeOut, kDispCommError, 115,
         [](Case& c) {
             c.fake.Receive("ab");
             com::Bstr text;
             c.control->RecvString(5, text.put());
             return std::wstring(text.get() ? text.get() : L"<null>");
         },
         L"ab"},
        {"RecvString, line error", true, none, kDispCommError, 105,
         [](Case& c) {
             c.fake.SetLineErrors(CE_FRAME);
             com::Bstr text;
             c.control->RecvString(0, text.put());
             return std::wstring(text.get() ? text.get() : L"<null>");
         },
         L""},
        {"RecvUnicodeString, time-out", true, timeOut, kDispCommError, 115,
         [](Case& c) {
             c.fake.Receive(std::string("A\0B", 3));
             com::Bstr text;
             c.control->RecvUnicodeString(4, text.put());
             return std::wstring(text.get() ? text.get() : L"<null>");
         },
         L"A"},
        {"RecvBinaryBytes, time-out", true, timeOut, kDispCommError, 115,
         [](Case& c) {
             c.fake.Receive("cd");
             com::Variant array;
             Bytes(array, "....");
             com::Variant length;
             length->vt = VT_I2;
             length->iVal = 5;
             short rc = -9;
             c.control->RecvBinaryBytes(array.get(), *length.get(), &rc);
             const auto* data = static_cast<const char*>(array->parray->pvData);
             return Rc(rc) + L" " + std::wstring(data, data + 4);
         },
         L"0 cd.."},
        {"Input, line error", true, none, kDispCommError, 105,
         [](Case& c) {
             c.fake.SetLineErrors(CE_OVERRUN);
             com::Bstr text;
             c.control->get_Input(text.put());
             return std::wstring(text.get() ? text.get() : L"<null>");
         },
         L""},
        {"QcInBufferCount, line error", true, none, kDispCommError, 105,
         [](Case& c) {
             c.fake.SetLineErrors(CE_OVERRUN);
             short count = -9;
             c.control->get_QcInBufferCount(&count);
             return Rc(count);
         },
         L"0"},
        {"RecvFile, not open", false, none, kDispCommError, 111,
         [](Case& c) {
             com::Bstr name(L"in.bin");
             short rc = -9;
             c.control->RecvFile(name.get(), &rc);
             return Rc(rc);
         },
         L"111"},
        {"SendFile, name too long", true, none, kDispCommError, 113,
         [](Case& c) {
             com::Bstr name(std::wstring(300, L'n').c_str());
             short rc = -9;
             c.control->SendFile(name.get(), &rc);
             return Rc(rc);
         },
         L"113"},

        // ---- events fired by the message handlers ----
        {"CommRecv, a block", true, none, kDispCommRecv, 0,
         [](Case& c) {
             c.fake.Receive("hello");
             return Fired(c);
         },
         L"hello"},
        {"CommRecv, byte by byte", true, [](IQLRCom* c) { c->put_QcNotifyRecvChars(1); },
         kDispCommRecv, 0,
         [](Case& c) {
             c.fake.Receive("abcd");
             return Fired(c);
         },
         L"a"},
        {"CommRecvVar, bytes", true, [](IQLRCom* c) { c->put_QcRecvEventType(AsVariantBinary); },
         kDispCommRecvVar, 0,
         [](Case& c) {
             c.fake.Receive("abcd");
             return Fired(c);
         },
         L"97"},
        {"CommFrame, lines", true, [](IQLRCom* c) { c->put_QcFrameMode(FrameDelimiter); },
         kDispCommFrame, 0,
         [](Case& c) {
             c.fake.Receive("one\r\ntwo\r\nthr");
             return Fired(c);
         },
         L"0"},
        {"CommFrame, idle gap, bytes", true,
         [](IQLRCom* c) {
             c->put_QcFrameMode(FrameIdleGap);
             c->put_QcFrameGap(5);
             c->put_QcRecvEventType(AsVariantBinary);
         },
         kDispCommFrame, 0,
         [](Case& c) {
             c.fake.Receive("xyz");
             return Fired(c);
         },
         L"0"},
        {"CommSend, transmit queue empty", true, [](IQLRCom* c) { c->put_QcNotifySendComplete(1); },
         kDispCommSend, 0,
         [](Case& c) {
             c.fake.RaiseEvents(EV_TXEMPTY);
             return Fired(c);
         },
         L""},
        {"CommNotify, CTS changed", true, none, kDispCommNotify, 0,
         [](Case& c) {
             c.fake.RaiseEvents(EV_CTS);
             return Fired(c);
         },
         std::to_wstring(EV_CTS)},
        {"CommError, line error", true, none, kDispCommError, 124,
         [](Case& c) {
             c.fake.SetLineErrors(CE_OVERRUN);
             c.fake.RaiseEvents(EV_ERR);
             return Fired(c);
         },
         std::to_wstring(CE_OVERRUN)},
        {"CommError, device gone", true, none, kDispCommError, 130,
         [gone](Case& c) {
             c.fake.Vanish(static_cast<DWORD>(gone));
             return Fired(c);
         },
         std::to_wstring(gone)},
        {"CommTransferEnd", true, none, kDispCommTransferEnd, 0,
         [](Case& c) {
             com::Bstr name(L"out.bin");
             short rc = -9;
             c.control->SendFile(name.get(), &rc);  // the fake has no files: it ends at once
             return Rc(rc) + L" " + Fired(c);
         },
         L"0 2102"},
    };
}

int AnswerOk(const wchar_t*, UINT) { return IDOK; }
bool FileExists(const wchar_t*) { return true; }

// Serial calls of the member itself (on the host's thread), not those of the
// new port's watch thread.
std::vector<std::string> MemberCalls(FakePlatform& fake, size_t from) {
    const std::vector<std::string> calls = fake.Calls();
    const std::vector<DWORD> threads = fake.CallThreads();
    std::vector<std::string> own;
    for (size_t i = from; i < calls.size() && i < threads.size(); ++i)
        if (threads[i] == ::GetCurrentThreadId()) own.push_back(calls[i]);
    return own;
}

TEST(HostileSink, EveryFiringMemberSurvivesEveryHandlerAction) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    xmodem::SetMessageBoxFunction(&AnswerOk);
    xmodem::SetFileProbeFunction(&FileExists);
    const long objects = ModuleLockCount();
    for (const bool windowed : {false, true}) {
        for (const Member& m : Members()) {
            for (const Action action : kActions) {
                // The window matters where events arrive through it (the
                // watch thread's and the transfer's) and at destruction.
                const bool posted = m.event != kDispCommError || m.major == 124 || m.major == 130;
                if (windowed && !posted && action != Action::kRelease) continue;
                SCOPED_TRACE(std::string(m.name) + " / " + ActionName(action) +
                             (windowed ? " / windowed" : " / windowless"));
                FakePlatformScope platform;
                FakePlatform& fake = platform.fake;
                HostileSink sink(fake, action, m.event, m.major);
                {
                    ComPtr<IQLRCom> control;
                    ASSERT_EQ(CreateQLRCom(nullptr, IID_IQLRCom, control.put_void()), S_OK);
                    if (windowed) {
                        const RECT bounds{0, 0, 32, 32};
                        ASSERT_NE(static_cast<QLRCom*>(control.get())
                                      ->CreateControlWindow(HWND_MESSAGE, bounds),
                                  nullptr);
                    }
                    ComPtr<IConnectionPointContainer> container;
                    ComPtr<IConnectionPoint> point;
                    ASSERT_EQ(control.As(container), S_OK);
                    ASSERT_EQ(container->FindConnectionPoint(DIID__QLREvents, point.put()), S_OK);
                    DWORD cookie = 0;
                    ASSERT_EQ(point->Advise(static_cast<IDispatch*>(&sink), &cookie), S_OK);
                    control->put_QcNotifyRecvChars(2);
                    m.arrange(control.get());
                    if (m.open) {
                        short rc = -9;
                        control->OpenComm(&rc);
                        ASSERT_EQ(rc, 0);
                        ASSERT_TRUE(fake.WaitForCalls("WaitCommEvent", 1));
                    }
                    sink.host = std::move(control);
                }
                IQLRCom* control = sink.host.get();
                Case c{fake, control, sink};

                EXPECT_EQ(m.run(c), m.expected);
                ASSERT_TRUE(sink.acted) << "the event never fired";
                if (action == Action::kClose || action == Action::kReopen) {
                    EXPECT_EQ(MemberCalls(fake, sink.callsAfterAction), std::vector<std::string>{})
                        << "calls after the handler closed the port";
                }
                EXPECT_EQ(fake.StaleHandleCalls(), 0u);

                if (action == Action::kRelease) {
                    EXPECT_EQ(sink.objectsAfterRelease, objects + 1)
                        << "destroyed inside the handler";
                    EXPECT_EQ(ModuleLockCount(), objects)
                        << "not destroyed when the member returned";
                } else {
                    VARIANT_BOOL open = -9;
                    control->IsOpen(&open);
                    short rc = -9;
                    if (action == Action::kClose) {
                        EXPECT_EQ(open, 0);
                    }
                    if (action == Action::kReopen) {
                        EXPECT_EQ(open != 0, sink.reopened == 0);
                        short byte = 0;
                        if (open) {
                            EXPECT_EQ(control->get_RecvBuffer(kOtherQueue - 1, &byte), S_OK);
                            EXPECT_NE(control->get_RecvBuffer(kOtherQueue, &byte), S_OK);
                        }
                    }
                    // Still usable, once the device is back and quiet.
                    fake.Back();
                    fake.SetLineErrors(0);
                    if (open) {
                        control->CloseComm(&rc);
                        EXPECT_EQ(rc, 0);
                    }
                    control->OpenComm(&rc);
                    EXPECT_EQ(rc, 0);
                    com::Bstr text(L"ok");
                    control->SendString(text.get(), &rc);
                    EXPECT_EQ(rc, 0);
                    control->CloseComm(&rc);
                    EXPECT_EQ(rc, 0);
                    sink.host.reset();
                }
                EXPECT_EQ(ModuleLockCount(), objects) << "the control is not destroyed once";
                EXPECT_EQ(sink.refs, 1u) << "the sink is still held";
                EXPECT_FALSE(fake.PortOpen());
                EXPECT_EQ(fake.LiveEvents(), 0);
                EXPECT_EQ(fake.LiveThreads(), 0);
            }
        }
    }
    xmodem::SetMessageBoxFunction(nullptr);
    xmodem::SetFileProbeFunction(nullptr);
    CoUninitialize();
}

}  // namespace
}  // namespace qlr::test
