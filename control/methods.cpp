// Methods of IQLRCom. Every method returns S_OK to the automation layer and
// its own result through its last parameter; failures also fire CommError.
#include "control/qlrcom.h"

namespace qlr {

namespace {
constexpr VARIANT_BOOL kTrue = VARIANT_TRUE;  // -1
constexpr VARIANT_BOOL kFalse = VARIANT_FALSE;
}  // namespace

STDMETHODIMP QLRCom::OpenComm(short* rc) {
    if (!rc) return E_POINTER;
    EnsureNotifyWindow();
    *rc = session_.OpenComm();
    return S_OK;
}

STDMETHODIMP QLRCom::CloseComm(short* rc) {
    if (!rc) return E_POINTER;
    *rc = session_.CloseComm();
    return S_OK;
}

STDMETHODIMP QLRCom::IsOpen(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = session_.IsOpen() ? kTrue : kFalse;
    return S_OK;
}

STDMETHODIMP QLRCom::FlushComm(short flags, short* prc) {
    if (!prc) return E_POINTER;
    *prc = session_.FlushComm(flags);
    return S_OK;
}

STDMETHODIMP QLRCom::InFileTransfer(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = state_.inFileTransfer.load() ? kTrue : kFalse;
    return S_OK;
}

// ---- Built with later features ----

STDMETHODIMP QLRCom::About() { return E_NOTIMPL; }
STDMETHODIMP QLRCom::get_QcInBufferCount(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::get_Input(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::put_Output(BSTR) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::get_InputLen(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::ClearBreak(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendBreak(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendStr(BSTR, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::RecvString(short, BSTR*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendFile(BSTR, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendChar(BSTR, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendString(BSTR, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetDTR(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::ClearDTR(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SetRTS(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::ClearRTS(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetRing(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetCTS(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetDSR(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::GetRLSD(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendBinary(BSTR, short, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::RecvByte(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::RecvFile(BSTR, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::AbortTransfer(short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendByte(short, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendBinaryBytes(VARIANT, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::RecvBinaryBytes(VARIANT*, VARIANT, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::get_SendBuffer(short, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::put_SendBuffer(short, short) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::get_RecvBuffer(short, short*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::put_RecvBuffer(short, short) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::RecvUnicodeString(short, BSTR*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::SendUnicodeString(BSTR, short*) { return E_NOTIMPL; }

void QLRCom::OnReceiveNotification() {}

}  // namespace qlr
