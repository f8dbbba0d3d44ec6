// control/automation: the control object, its automation surface, events, window; the port list.
// Methods of IQLRCom. Every method returns S_OK to the automation layer and
// its own result through its last parameter; failures also fire CommError.
// A method that may fire holds a reference to the control until it returns:
// a handler may drop the host's last one.
#include "control/automation/qlrcom.h"
#include "port/line_control.h"
#include "control/automation/dispatch.h"
#include "transfer/receive.h"
#include "transfer/send.h"
#include "xmodem/transfer_control.h"
#include "ymodem/engine.h"
#include "zmodem/engine.h"

namespace qlr {

namespace {
constexpr VARIANT_BOOL kTrue = VARIANT_TRUE;  // -1
constexpr VARIANT_BOOL kFalse = VARIANT_FALSE;
}  // namespace

STDMETHODIMP QLRCom::OpenComm(short* rc) {
    const KeepAlive alive(ControllingUnknown());
    if (!rc) return E_POINTER;
    EnsureNotifyWindow();
    frames_.BeforeOpen(state_);
    *rc = session_.OpenComm();
    if (*rc == 0) frames_.Opened(state_);
    return S_OK;
}

STDMETHODIMP QLRCom::CloseComm(short* rc) {
    const KeepAlive alive(ControllingUnknown());
    if (!rc) return E_POINTER;
    *rc = session_.CloseComm();
    if (*rc == 0) frames_.Interrupt(state_, true);
    return S_OK;
}

STDMETHODIMP QLRCom::IsOpen(VARIANT_BOOL* result) {
    const KeepAlive alive(ControllingUnknown());
    if (!result) return E_POINTER;
    *result = session_.IsOpen() ? kTrue : kFalse;
    return S_OK;
}

STDMETHODIMP QLRCom::FlushComm(short flags, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = session_.FlushComm(flags);
    return S_OK;
}

// ---- File transfer ----

namespace {
// The engines of the batch protocols; the others start nothing.
xmodem::BatchRunner BatchRunnerFor(long protocol) {
    if (protocol == ymodem::kYModem || protocol == ymodem::kYModemG) return &ymodem::Run;
    if (protocol == zmodem::kZModem) return &zmodem::Run;
    return nullptr;
}
}  // namespace

STDMETHODIMP QLRCom::SendFile(BSTR name, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    EnsureNotifyWindow();
    *prc = xmodem::SendFile(state_, *this, name, BatchRunnerFor(state_.QcProtocol));
    if (*prc == 0) frames_.Interrupt(state_, false);  // the transfer has the port now
    return S_OK;
}

STDMETHODIMP QLRCom::RecvFile(BSTR name, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    EnsureNotifyWindow();
    // The overwrite question pumps messages: the host may release the
    // control meanwhile. alive then holds the last reference.
    IUnknown* self = ControllingUnknown();
    *prc = xmodem::RecvFile(
        state_, *this, name,
        [self] {
            self->AddRef();
            return self->Release() <= 1;
        },
        BatchRunnerFor(state_.QcProtocol));
    if (*prc == 0) frames_.Interrupt(state_, false);
    return S_OK;
}

STDMETHODIMP QLRCom::AbortTransfer(short* prc) {
    if (!prc) return E_POINTER;
    *prc = xmodem::AbortTransfer(state_);
    return S_OK;
}

STDMETHODIMP QLRCom::InFileTransfer(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = state_.inFileTransfer.load() ? kTrue : kFalse;
    return S_OK;
}

// ---- Line control and modem status ----

#define QLR_RC_METHOD(Method, call)                  \
    STDMETHODIMP QLRCom::Method(short* rc) {         \
        if (!rc) return E_POINTER;                   \
        const KeepAlive alive(ControllingUnknown()); \
        *rc = call;                                  \
        return S_OK;                                 \
    }
QLR_RC_METHOD(SendBreak, port::SendBreak(state_, *this))
QLR_RC_METHOD(ClearBreak, port::ClearBreak(state_, *this))
QLR_RC_METHOD(SetDTR, port::SetDTR(state_, *this))
QLR_RC_METHOD(ClearDTR, port::ClearDTR(state_, *this))
QLR_RC_METHOD(SetRTS, port::SetRTS(state_, *this))
QLR_RC_METHOD(ClearRTS, port::ClearRTS(state_, *this))
#undef QLR_RC_METHOD

#define QLR_MODEM_METHOD(Method, bit)                               \
    STDMETHODIMP QLRCom::Method(VARIANT_BOOL* on) {                 \
        if (!on) return E_POINTER;                                  \
        const KeepAlive alive(ControllingUnknown());                \
        *on = port::ModemLine(state_, *this, bit) ? kTrue : kFalse; \
        return S_OK;                                                \
    }
QLR_MODEM_METHOD(GetRing, MS_RING_ON)
QLR_MODEM_METHOD(GetCTS, MS_CTS_ON)
QLR_MODEM_METHOD(GetDSR, MS_DSR_ON)
QLR_MODEM_METHOD(GetRLSD, MS_RLSD_ON)
#undef QLR_MODEM_METHOD

// ---- Sending ----

STDMETHODIMP QLRCom::SendString(BSTR text, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::SendString(state_, *this, text);
    return S_OK;
}

STDMETHODIMP QLRCom::SendUnicodeString(BSTR text, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::SendUnicodeString(state_, *this, text);
    return S_OK;
}

STDMETHODIMP QLRCom::SendChar(BSTR character, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::SendChar(state_, *this, character);
    return S_OK;
}

STDMETHODIMP QLRCom::SendByte(short length, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::SendByte(state_, *this, length);
    return S_OK;
}

STDMETHODIMP QLRCom::SendBinaryBytes(VARIANT buffer, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::SendBinaryBytes(state_, *this, buffer);
    return S_OK;
}

STDMETHODIMP QLRCom::put_Output(BSTR text) {
    const KeepAlive alive(ControllingUnknown());
    transfer::SendString(state_, *this, text);  // failures reach the host as CommError
    return S_OK;
}

STDMETHODIMP QLRCom::get_SendBuffer(short index, short* value) {
    const KeepAlive alive(ControllingUnknown());
    return transfer::GetSendBufferByte(state_, index, value);
}

STDMETHODIMP QLRCom::put_SendBuffer(short index, short value) {
    const KeepAlive alive(ControllingUnknown());
    return transfer::PutSendBufferByte(state_, index, value);
}

// Reserved members: they check and send nothing.
STDMETHODIMP QLRCom::SendStr(BSTR, short* rc) {
    if (!rc) return E_POINTER;
    *rc = -1;
    return S_OK;
}

STDMETHODIMP QLRCom::SendBinary(BSTR, short, short* prc) {
    if (!prc) return E_POINTER;
    *prc = -1;
    return S_OK;
}

// ---- Receiving ----

STDMETHODIMP QLRCom::RecvString(short len, BSTR* str) {
    const KeepAlive alive(ControllingUnknown());
    if (!str) return E_POINTER;
    *str = transfer::RecvString(state_, *this, len);
    return S_OK;
}

STDMETHODIMP QLRCom::RecvUnicodeString(short length, BSTR* str) {
    const KeepAlive alive(ControllingUnknown());
    if (!str) return E_POINTER;
    *str = transfer::RecvUnicodeString(state_, *this, length);
    return S_OK;
}

STDMETHODIMP QLRCom::RecvBinaryBytes(VARIANT* buffer, VARIANT length, short* prc) {
    const KeepAlive alive(ControllingUnknown());
    if (!prc) return E_POINTER;
    *prc = transfer::RecvBinaryBytes(state_, *this, buffer, length);
    return S_OK;
}

// Reserved: reads nothing.
STDMETHODIMP QLRCom::RecvByte(short* prc) {
    if (!prc) return E_POINTER;
    *prc = -1;
    return S_OK;
}

STDMETHODIMP QLRCom::get_Input(BSTR* value) {
    const KeepAlive alive(ControllingUnknown());
    if (!value) return E_POINTER;
    *value = transfer::RecvString(state_, *this, 0);
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcInBufferCount(short* value) {
    const KeepAlive alive(ControllingUnknown());
    if (!value) return E_POINTER;
    *value = transfer::InBufferCount(state_, *this);
    return S_OK;
}

STDMETHODIMP QLRCom::get_InputLen(short* value) { return get_QcInBufferCount(value); }

STDMETHODIMP QLRCom::get_RecvBuffer(short index, short* value) {
    const KeepAlive alive(ControllingUnknown());
    return transfer::GetRecvBufferByte(state_, index, value);
}

STDMETHODIMP QLRCom::put_RecvBuffer(short, short) { return CTL_E_SETNOTSUPPORTED; }

namespace {
class ReceiveFire final : public dispatch::ReceiveEvents {
public:
    explicit ReceiveFire(EventSource& events) : events_(events) {}
    void CommRecv(BSTR* text) override { events_.FireCommRecv(text); }
    void CommRecvVar(const VARIANT& data) override { events_.FireCommRecvVar(data); }

private:
    EventSource& events_;
};
}  // namespace

void QLRCom::OnReceiveNotification() {
    const KeepAlive alive(ControllingUnknown());
    ReceiveFire fire(events_);
    dispatch::ReceiveNotification(state_, *this, fire);
}

namespace {
class FrameFire final : public frames::FrameEvents {
public:
    explicit FrameFire(EventSource& events) : events_(events) {}
    void CommFrame(const VARIANT& data, short status) override {
        events_.FireCommFrame(data, status);
    }

private:
    EventSource& events_;
};
}  // namespace

void QLRCom::OnFrameNotification() {
    const KeepAlive alive(ControllingUnknown());
    FrameFire fire(events_);
    try {
        frames_.Deliver(state_, fire);
    } catch (...) {
        // Out of memory while framing: the frames of this message are lost,
        // the control goes on.
    }
}

// ---- Built with later features ----

}  // namespace qlr
