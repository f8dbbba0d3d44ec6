// A small event host for the demonstration: opens a port through the
// registered control, asks for CommRecv events, pumps messages and prints
// every event until it has seen a line or the time is up. From 2 bytes on,
// the waiting bytes come as one event (1 would deliver them one by one).
//   event_host.exe PORT_NUMBER [SECONDS]
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>

#include "qlrcom32_h.h"

namespace {

class Sink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID__QLREvents)) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == 2 && p->cArgs == 1 && p->rgvarg[0].vt == (VT_BYREF | VT_BSTR)) {
            BSTR text = *p->rgvarg[0].pbstrVal;
            std::printf("  event CommRecv(\"");
            for (UINT i = 0; text && i < SysStringLen(text); ++i) {
                const wchar_t c = text[i];
                if (c >= 0x20 && c < 0x7F) std::printf("%c", static_cast<char>(c));
                else std::printf("\\x%02X", static_cast<unsigned>(c));
            }
            std::printf("\")\n");
            lineSeen = lineSeen || (text && SysStringLen(text) > 0);
        } else if (id == 1 && p->cArgs == 2) {
            std::printf("  event CommError(%d, %ld)\n", p->rgvarg[1].iVal, p->rgvarg[0].lVal);
        } else {
            std::printf("  event %ld\n", static_cast<long>(id));
        }
        std::fflush(stdout);
        return S_OK;
    }
    bool lineSeen = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const DWORD seconds = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 10;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQLRCom* com = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                reinterpret_cast<void**>(&com)))) {
        std::printf("cannot create the control\n");
        return 1;
    }
    Sink sink;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    com->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__QLREvents, &point);
    point->Advise(&sink, &cookie);

    short rc = -9;
    com->put_QcDeviceName(static_cast<enumDeviceName>(std::atoi(argv[1]) - 1));
    com->put_QcNotifyRecvChars(2);
    com->put_QcRecvEventType(AsString);
    com->OpenComm(&rc);
    std::printf("  OpenComm %d, waiting up to %lu s for a line\n", rc, seconds);
    std::fflush(stdout);
    // Tells the demonstration that the port listens.
    std::printf("READY\n");
    std::fflush(stdout);
    const DWORD start = GetTickCount();
    while (rc == 0 && !sink.lineSeen && GetTickCount() - start < seconds * 1000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    com->CloseComm(&rc);
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    com->Release();
    CoUninitialize();
    return sink.lineSeen ? 0 : 1;
}
