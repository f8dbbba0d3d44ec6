// control/automation: the control object, its automation surface, events, window; the port list.
// Property gets and puts of IQLRCom.
//
// The general put: an unchanged value does nothing; a changed one is stored
// and announced to the IPropertyNotifySink connections with identifier 1 for
// QcRecvQSize, 2 for QcSendQSize and 0 for every other property. Puts never
// validate: operations that use a value meet whatever was stored.
//
// Every put that changes a persisted property marks the control as needing
// to be saved, before the notification, so that a container asking IsDirty
// from its sink sees the edit.
#include "control/automation/qlrcom.h"

#include <cwchar>

namespace qlr {

namespace {
constexpr HRESULT kSetNotSupported = CTL_E_SETNOTSUPPORTED;  // 0x800A017F
constexpr HRESULT kGetNotSupported = CTL_E_GETNOTSUPPORTED;  // 0x800A018A

template <class T, class U>
HRESULT Get(T* out, const U& value) {
    if (!out) return E_POINTER;
    *out = static_cast<T>(value);
    return S_OK;
}

// Equal as stored: an absent string differs from an empty one, since the
// stream records them differently.
bool SameString(BSTR a, BSTR b) {
    if (!a || !b) return a == b;
    const UINT length = SysStringLen(a);
    return length == SysStringLen(b) && std::wmemcmp(a, b, length) == 0;
}
}  // namespace

template <class T>
HRESULT QLRCom::GeneralPut(T& field, T value, DISPID notifyId) {
    if (field == value) return S_OK;
    field = value;
    needsSaving_ = true;
    NotifyPropertyChanged(propertyPoint_, notifyId);
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcRecvQSize(short* v) { return Get(v, state_.QcRecvQSize); }
STDMETHODIMP QLRCom::put_QcRecvQSize(short v) {
    return GeneralPut(state_.QcRecvQSize, v, kDispQcRecvQSize);
}
STDMETHODIMP QLRCom::get_QcSendQSize(short* v) { return Get(v, state_.QcSendQSize); }
STDMETHODIMP QLRCom::put_QcSendQSize(short v) {
    return GeneralPut(state_.QcSendQSize, v, kDispQcSendQSize);
}

STDMETHODIMP QLRCom::get_QcByteSize(enumByteSize* v) { return Get(v, state_.QcByteSize); }
STDMETHODIMP QLRCom::put_QcByteSize(enumByteSize v) {
    return GeneralPut(state_.QcByteSize, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcStopBits(enumStopBits* v) { return Get(v, state_.QcStopBits); }
STDMETHODIMP QLRCom::put_QcStopBits(enumStopBits v) {
    return GeneralPut(state_.QcStopBits, static_cast<long>(v));
}

STDMETHODIMP QLRCom::get_QcAutoOpen(VARIANT_BOOL* v) { return Get(v, state_.QcAutoOpen); }
STDMETHODIMP QLRCom::put_QcAutoOpen(VARIANT_BOOL v) {
    if (state_.QcAutoOpen != v) needsSaving_ = true;
    state_.QcAutoOpen = v;
    if (v != 0) NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcMode(enumCommMode* v) { return Get(v, state_.QcMode); }
STDMETHODIMP QLRCom::put_QcMode(enumCommMode v) {
    return GeneralPut(state_.QcMode, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcRecvTimeOut(long* v) { return Get(v, state_.QcRecvTimeOut); }
STDMETHODIMP QLRCom::put_QcRecvTimeOut(long v) { return GeneralPut(state_.QcRecvTimeOut, v); }
STDMETHODIMP QLRCom::get_QcDTREnable(VARIANT_BOOL* v) { return Get(v, state_.QcDTREnable); }
STDMETHODIMP QLRCom::put_QcDTREnable(VARIANT_BOOL v) { return GeneralPut(state_.QcDTREnable, v); }
STDMETHODIMP QLRCom::get_QcProtocol(enumProtocol* v) { return Get(v, state_.QcProtocol); }
STDMETHODIMP QLRCom::put_QcProtocol(enumProtocol v) {
    return GeneralPut(state_.QcProtocol, static_cast<long>(v));
}

STDMETHODIMP QLRCom::get_QcProgress(short* v) { return Get(v, state_.QcProgress.load()); }
STDMETHODIMP QLRCom::put_QcProgress(short) { return kSetNotSupported; }
STDMETHODIMP QLRCom::get_QcStatus(short* v) { return Get(v, state_.QcStatus.load()); }
STDMETHODIMP QLRCom::put_QcStatus(short) { return kSetNotSupported; }

STDMETHODIMP QLRCom::get_QcNullDiscard(VARIANT_BOOL* v) { return Get(v, state_.QcNullDiscard); }
STDMETHODIMP QLRCom::put_QcNullDiscard(VARIANT_BOOL v) {
    return GeneralPut(state_.QcNullDiscard, v);
}
STDMETHODIMP QLRCom::get_QcRTSEnable(VARIANT_BOOL* v) { return Get(v, state_.QcRTSEnable); }
STDMETHODIMP QLRCom::put_QcRTSEnable(VARIANT_BOOL v) { return GeneralPut(state_.QcRTSEnable, v); }

STDMETHODIMP QLRCom::get_QcParityReplace(BSTR* v) {
    if (!v) return E_POINTER;
    *v = state_.QcParityReplace.get() ? state_.QcParityReplace.CopyOut() : SysAllocString(L"");
    return S_OK;
}
STDMETHODIMP QLRCom::put_QcParityReplace(BSTR v) {
    if (!SameString(state_.QcParityReplace.get(), v)) needsSaving_ = true;
    state_.QcParityReplace = com::Bstr::Copy(v);
    NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}

// Taken at OpenComm: a change while the port is open applies to the next open.
STDMETHODIMP QLRCom::get_QcPortName(BSTR* v) {
    if (!v) return E_POINTER;
    *v = state_.QcPortName.get() ? state_.QcPortName.CopyOut() : SysAllocString(L"");
    return *v ? S_OK : E_OUTOFMEMORY;
}
STDMETHODIMP QLRCom::put_QcPortName(BSTR v) {
    // An empty name is held as none, so that every empty value saves alike.
    const UINT length = v ? SysStringLen(v) : 0;
    if (length == 0 ? !state_.QcPortName.get() : SameString(state_.QcPortName.get(), v))
        return S_OK;
    com::Bstr copy;
    if (length != 0) {
        copy = com::Bstr::Copy(v);
        if (!copy.get()) return E_OUTOFMEMORY;
    }
    needsSaving_ = true;
    state_.QcPortName = std::move(copy);
    NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcNotifyRecvChars(long* v) {
    return Get(v, state_.QcNotifyRecvChars.load());
}
STDMETHODIMP QLRCom::put_QcNotifyRecvChars(long v) {
    if (state_.QcNotifyRecvChars.load() != v) needsSaving_ = true;
    state_.QcNotifyRecvChars = v;
    NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcLastMajorErrCode(short* v) { return Get(v, state_.QcLastMajorErrCode); }
STDMETHODIMP QLRCom::put_QcLastMajorErrCode(short) { return kSetNotSupported; }
STDMETHODIMP QLRCom::get_QcLastMinorErrCode(long* v) { return Get(v, state_.QcLastMinorErrCode); }
STDMETHODIMP QLRCom::put_QcLastMinorErrCode(long) { return kSetNotSupported; }
STDMETHODIMP QLRCom::get_QcProtocolNegd(short* v) { return Get(v, state_.QcProtocolNegd); }
STDMETHODIMP QLRCom::put_QcProtocolNegd(short) { return kSetNotSupported; }
STDMETHODIMP QLRCom::put_QcInBufferCount(short) { return kSetNotSupported; }

STDMETHODIMP QLRCom::get_QcBaudRate(enumBaudRate* v) { return Get(v, state_.QcBaudRate); }
STDMETHODIMP QLRCom::put_QcBaudRate(enumBaudRate v) {
    const long value = static_cast<long>(v);
    if (state_.QcBaudRate == value) return S_OK;
    const KeepAlive alive(ControllingUnknown());  // the put may fire CommError
    GeneralPut(state_.QcBaudRate, value);
    session_.ReapplyBaudRate();
    return S_OK;
}

STDMETHODIMP QLRCom::get_QcDeviceName(enumDeviceName* v) { return Get(v, state_.QcDeviceName); }
STDMETHODIMP QLRCom::put_QcDeviceName(enumDeviceName v) {
    return GeneralPut(state_.QcDeviceName, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcParity(enumParity* v) { return Get(v, state_.QcParity); }
STDMETHODIMP QLRCom::put_QcParity(enumParity v) {
    return GeneralPut(state_.QcParity, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcFlowControl(enumFlowControl* v) { return Get(v, state_.QcFlowControl); }
STDMETHODIMP QLRCom::put_QcFlowControl(enumFlowControl v) {
    return GeneralPut(state_.QcFlowControl, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcDebugTrace(VARIANT_BOOL* v) { return Get(v, state_.QcDebugTrace); }
STDMETHODIMP QLRCom::put_QcDebugTrace(VARIANT_BOOL v) { return GeneralPut(state_.QcDebugTrace, v); }

STDMETHODIMP QLRCom::get_hComm(OLE_HANDLE* v) {
    if (!v) return E_POINTER;
    // Kernel handles fit in 32 bits on every Windows; the type library's
    // OLE_HANDLE is a 32-bit value.
    *v = static_cast<OLE_HANDLE>(reinterpret_cast<ULONG_PTR>(state_.hComm.load()));
    return S_OK;
}
STDMETHODIMP QLRCom::put_hComm(OLE_HANDLE) { return kSetNotSupported; }
STDMETHODIMP QLRCom::put_Input(BSTR) { return kSetNotSupported; }
STDMETHODIMP QLRCom::get_Output(BSTR* v) {
    if (v) *v = nullptr;
    return kGetNotSupported;
}
STDMETHODIMP QLRCom::put_InputLen(short) { return kSetNotSupported; }

STDMETHODIMP QLRCom::get_QcNotifySendComplete(VARIANT_BOOL* v) {
    return Get(v, state_.QcNotifySendComplete.load());
}
STDMETHODIMP QLRCom::put_QcNotifySendComplete(VARIANT_BOOL v) {
    if (state_.QcNotifySendComplete.load() == v) return S_OK;
    state_.QcNotifySendComplete = v;
    needsSaving_ = true;
    NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}
STDMETHODIMP QLRCom::get_QcShowErrorMessage(VARIANT_BOOL* v) {
    return Get(v, state_.QcShowErrorMessage);
}
STDMETHODIMP QLRCom::put_QcShowErrorMessage(VARIANT_BOOL v) {
    return GeneralPut(state_.QcShowErrorMessage, v);
}
STDMETHODIMP QLRCom::get_QcFileTransferPriority(enumPriority* v) {
    return Get(v, state_.QcFileTransferPriority);
}
STDMETHODIMP QLRCom::put_QcFileTransferPriority(enumPriority v) {
    return GeneralPut(state_.QcFileTransferPriority, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcSendTimeOut(long* v) { return Get(v, state_.QcSendTimeOut); }
STDMETHODIMP QLRCom::put_QcSendTimeOut(long v) { return GeneralPut(state_.QcSendTimeOut, v); }
STDMETHODIMP QLRCom::get_QcWatchPriority(enumPriority* v) { return Get(v, state_.QcWatchPriority); }
STDMETHODIMP QLRCom::put_QcWatchPriority(enumPriority v) {
    return GeneralPut(state_.QcWatchPriority, static_cast<long>(v));
}

STDMETHODIMP QLRCom::get_QcRecvNotifyOnly(VARIANT_BOOL* v) {
    return Get(v, state_.QcRecvNotifyOnly);
}
STDMETHODIMP QLRCom::put_QcRecvNotifyOnly(VARIANT_BOOL v) {
    if (state_.QcRecvNotifyOnly != v) needsSaving_ = true;
    state_.QcRecvNotifyOnly = v;
    return S_OK;
}
STDMETHODIMP QLRCom::get_QcCustomBaudRate(long* v) { return Get(v, state_.QcCustomBaudRate); }
STDMETHODIMP QLRCom::put_QcCustomBaudRate(long v) {
    if (state_.QcCustomBaudRate != v) needsSaving_ = true;
    state_.QcCustomBaudRate = v;
    return S_OK;
}
STDMETHODIMP QLRCom::get_QcRecvEventType(enumRecvEventType* v) {
    return Get(v, state_.QcRecvEventType);
}
STDMETHODIMP QLRCom::put_QcRecvEventType(enumRecvEventType v) {
    return GeneralPut(state_.QcRecvEventType, static_cast<long>(v));
}

// Framing: taken at the next OpenComm.
STDMETHODIMP QLRCom::get_QcFrameMode(enumFrameMode* v) { return Get(v, state_.QcFrameMode); }
STDMETHODIMP QLRCom::put_QcFrameMode(enumFrameMode v) {
    return GeneralPut(state_.QcFrameMode, static_cast<long>(v));
}
STDMETHODIMP QLRCom::get_QcFrameDelimiter(BSTR* v) {
    if (!v) return E_POINTER;
    *v = state_.QcFrameDelimiter.get() ? state_.QcFrameDelimiter.CopyOut() : SysAllocString(L"");
    return S_OK;
}
STDMETHODIMP QLRCom::put_QcFrameDelimiter(BSTR v) {
    if (SameString(state_.QcFrameDelimiter.get(), v)) return S_OK;
    state_.QcFrameDelimiter = com::Bstr::Copy(v);
    needsSaving_ = true;
    NotifyPropertyChanged(propertyPoint_, 0);
    return S_OK;
}
STDMETHODIMP QLRCom::get_QcFrameLength(long* v) { return Get(v, state_.QcFrameLength); }
STDMETHODIMP QLRCom::put_QcFrameLength(long v) { return GeneralPut(state_.QcFrameLength, v); }
STDMETHODIMP QLRCom::get_QcFrameGap(long* v) { return Get(v, state_.QcFrameGap); }
STDMETHODIMP QLRCom::put_QcFrameGap(long v) { return GeneralPut(state_.QcFrameGap, v); }

}  // namespace qlr
