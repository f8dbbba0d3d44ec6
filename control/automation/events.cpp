// control/automation: the control object, its automation surface, events, window; the port list.

#include "control/automation/events.h"

namespace qlr {

HRESULT EventSource::Fire(DISPID id, const VARIANT* args, UINT count) {
    HRESULT last = S_OK;
    const size_t slots = events_.SlotCount();
    for (size_t slot = 0; slot < slots; ++slot) {
        com::ComPtr<IUnknown> unknown = events_.SinkAt(slot);
        if (!unknown) continue;
        // The slot holds the sink as queried for _QLREvents, a dispatch interface.
        auto* sink = static_cast<IDispatch*>(unknown.get());

        VARIANT built[2];
        for (UINT i = 0; i < count; ++i) {
            VariantInit(&built[i]);
            // By-reference arguments are passed as they are: the sink writes
            // through them into the caller's variable.
            if (args[i].vt & VT_BYREF)
                built[i] = args[i];
            else
                VariantCopy(&built[i], const_cast<VARIANT*>(&args[i]));
        }
        DISPPARAMS params{count ? built : nullptr, nullptr, count, 0};
        last = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                            nullptr, nullptr);
        for (UINT i = 0; i < count; ++i)
            if (!(built[i].vt & VT_BYREF)) VariantClear(&built[i]);
    }
    return last;
}

HRESULT EventSource::FireCommError(short major, long minor) {
    VARIANT args[2];
    args[0].vt = VT_I4;
    args[0].lVal = minor;
    args[1].vt = VT_I2;
    args[1].iVal = major;
    return Fire(kDispCommError, args, 2);
}

HRESULT EventSource::FireCommRecv(BSTR* text) {
    VARIANT arg;
    arg.vt = VT_BYREF | VT_BSTR;
    arg.pbstrVal = text;
    return Fire(kDispCommRecv, &arg, 1);
}

HRESULT EventSource::FireCommTransferEnd(short status) {
    VARIANT arg;
    arg.vt = VT_I2;
    arg.iVal = status;
    return Fire(kDispCommTransferEnd, &arg, 1);
}

HRESULT EventSource::FireCommSend() { return Fire(kDispCommSend, nullptr, 0); }

HRESULT EventSource::FireCommNotify(long mask) {
    VARIANT arg;
    arg.vt = VT_I4;
    arg.lVal = mask;
    return Fire(kDispCommNotify, &arg, 1);
}

HRESULT EventSource::FireCommRecvVar(const VARIANT& data) {
    return Fire(kDispCommRecvVar, &data, 1);
}

HRESULT EventSource::FireCommFrame(const VARIANT& data, short status) {
    VARIANT args[2];
    args[0].vt = VT_I2;
    args[0].iVal = status;
    args[1] = data;  // copied per sink by Fire
    return Fire(kDispCommFrame, args, 2);
}

void NotifyPropertyChanged(com::ConnectionPoint& sinks, DISPID dispid) {
    const size_t slots = sinks.SlotCount();
    for (size_t slot = 0; slot < slots; ++slot) {
        com::ComPtr<IUnknown> unknown = sinks.SinkAt(slot);
        if (!unknown) continue;
        static_cast<IPropertyNotifySink*>(unknown.get())->OnChanged(dispid);
    }
}

}  // namespace qlr
