// A receive-event sink and a bounded message pump, for the C++ hosts that
// receive through the control (tests/integration/recv_events.cpp and
// bench/recv_bench.cpp). The host never activates the control, so every event
// comes through the control's hidden window on the host's thread, and only
// while the host pumps messages.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <vector>

#include "qlrcom32_h.h"

namespace recv {

// What the sink saw, in arrival order.
struct Seen {
    int commRecv = 0;
    int commRecvVar = 0;
    int otherThread = 0;               // events that did not arrive on the host's thread
    std::wstring text;                 // CommRecv strings, concatenated
    std::vector<unsigned char> bytes;  // CommRecvVar payloads, concatenated
    std::vector<VARTYPE> varTypes;     // type of each CommRecvVar payload (first 16)
    std::vector<short> errors;         // CommError major codes
    long lastErrorMinor = 0;           // the last CommError's minor code
    std::function<void()> onRecv;      // called after each receive event
    // CommFrame: each frame's bytes, status and data type.
    struct Frame {
        std::string data;
        short status;
        VARTYPE type;
    };
    std::vector<Frame> frames;
    std::function<void()> onFrame;  // called after each CommFrame
};

class Sink : public IDispatch {
public:
    explicit Sink(Seen& seen) : seen_(seen), thread_(GetCurrentThreadId()) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__QLREvents) {
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
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (GetCurrentThreadId() != thread_) ++seen_.otherThread;
        const VARIANT* arg = params && params->cArgs ? &params->rgvarg[params->cArgs - 1] : nullptr;
        switch (id) {
        case 1:  // CommError(short, long)
            if (arg && V_VT(arg) == VT_I2) seen_.errors.push_back(V_I2(arg));
            if (params && params->cArgs == 2 && V_VT(&params->rgvarg[0]) == VT_I4)
                seen_.lastErrorMinor = V_I4(&params->rgvarg[0]);
            break;
        case 2:  // CommRecv(BSTR*)
            ++seen_.commRecv;
            if (arg && V_VT(arg) == (VT_BYREF | VT_BSTR) && arg->pbstrVal && *arg->pbstrVal)
                seen_.text.append(*arg->pbstrVal, SysStringLen(*arg->pbstrVal));
            if (seen_.onRecv) seen_.onRecv();
            break;
        case 7:  // CommFrame(VARIANT* Data, short Status)
            if (params && params->cArgs == 2) CollectFrame(params->rgvarg[1], params->rgvarg[0]);
            if (seen_.onFrame) seen_.onFrame();
            break;
        case 6:  // CommRecvVar(VARIANT*)
            ++seen_.commRecvVar;
            if (arg) Collect(*arg);
            if (seen_.onRecv) seen_.onRecv();
            break;
        default: break;
        }
        return S_OK;
    }

private:
    void CollectFrame(const VARIANT& data, const VARIANT& status) {
        Seen::Frame frame{std::string(), V_VT(&status) == VT_I2 ? V_I2(&status) : short(-1),
                          V_VT(&data)};
        if (V_VT(&data) == VT_BSTR) {
            for (UINT i = 0; i < SysStringLen(V_BSTR(&data)); ++i)
                frame.data += static_cast<char>(V_BSTR(&data)[i] & 0xFF);
        } else {
            const size_t before = seen_.bytes.size();
            Collect(data);
            frame.data.assign(seen_.bytes.begin() + before, seen_.bytes.end());
            seen_.bytes.resize(before);
        }
        seen_.frames.push_back(std::move(frame));
    }

    void Collect(const VARIANT& in) {
        const VARIANT* v = &in;
        if (V_VT(v) == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
        if (seen_.varTypes.size() < 16) seen_.varTypes.push_back(V_VT(v));
        SAFEARRAY* array = nullptr;
        if (V_VT(v) == VT_UI1) {
            seen_.bytes.push_back(V_UI1(v));
        } else if (V_VT(v) == (VT_BYREF | VT_UI1) && v->pbVal) {
            seen_.bytes.push_back(*v->pbVal);
        } else if (V_VT(v) == (VT_ARRAY | VT_UI1)) {
            array = v->parray;
        } else if (V_VT(v) == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray) {
            array = *v->pparray;
        }
        if (!array || SafeArrayGetDim(array) != 1) return;
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(array, 1, &lo);
        SafeArrayGetUBound(array, 1, &hi);
        void* data = nullptr;
        if (hi >= lo && SUCCEEDED(SafeArrayAccessData(array, &data))) {
            const auto* p = static_cast<const unsigned char*>(data);
            seen_.bytes.insert(seen_.bytes.end(), p, p + (hi - lo + 1));
            SafeArrayUnaccessData(array);
        }
    }

    LONG refs_ = 1;
    Seen& seen_;
    DWORD thread_;
};

// Connects a sink to the control's _QLREvents for the lifetime of the object.
class Connection {
public:
    Connection(IUnknown* control, IDispatch* sink) {
        IConnectionPointContainer* cpc = nullptr;
        if (SUCCEEDED(control->QueryInterface(IID_IConnectionPointContainer,
                                              reinterpret_cast<void**>(&cpc)))) {
            if (SUCCEEDED(cpc->FindConnectionPoint(DIID__QLREvents, &point_)) && point_) {
                if (FAILED(point_->Advise(sink, &cookie_))) cookie_ = 0;
            }
            cpc->Release();
        }
    }
    ~Connection() {
        if (point_) {
            if (cookie_) point_->Unadvise(cookie_);
            point_->Release();
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool ok() const { return cookie_ != 0; }

private:
    IConnectionPoint* point_ = nullptr;
    DWORD cookie_ = 0;
};

// Pumps the host's messages until done() holds or ms milliseconds have passed;
// returns done()'s last value. Waits in MsgWaitForMultipleObjects, never spins.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (done && done()) return true;
        }
        if (done && done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
    }
}

// Pumps for exactly ms milliseconds (an observation window, for events that
// must not come).
inline void PumpFor(DWORD ms) { PumpUntil(nullptr, ms); }

inline double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& f) {
        return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return double(ticks(kernel) + ticks(user)) / 10000.0;
}

}  // namespace recv
