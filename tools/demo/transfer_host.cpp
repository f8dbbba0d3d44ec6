// The demonstration's file-transfer host: sends or receives one file with
// XModem through the registered control, printing QcProgress as it grows and
// the CommTransferEnd event. For a send it first waits for the receiver's
// start character (a notify-only CommRecv), after printing READY.
//   transfer_host.exe PORT send|recv FILE [PROTOCOL]
// Exits with 0 when the transfer ended with code 0.
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
        if (id == 2) {
            ++starts;
        } else if (id == 3 && p->cArgs == 1 && p->rgvarg[0].vt == VT_I2) {
            code = p->rgvarg[0].iVal;
            ended = true;
            std::printf("  event CommTransferEnd(%d)\n", code);
        } else if (id == 1 && p->cArgs == 2) {
            std::printf("  event CommError(%d, %ld)\n", p->rgvarg[1].iVal, p->rgvarg[0].lVal);
        }
        std::fflush(stdout);
        return S_OK;
    }
    int starts = 0;
    bool ended = false;
    short code = -1;
};

// Pumps messages for up to ms, looking at done() at least every 50 ms.
template <typename Done>
bool Pump(Done done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const bool send = std::string(argv[2]) == "send";
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
    com->put_QcNotifyRecvChars(1);
    com->put_QcRecvNotifyOnly(VARIANT_TRUE);  // learn of the start character without reading it
    com->put_QcShowErrorMessage(0);
    com->put_QcProtocol(static_cast<enumProtocol>(argc > 4 ? std::atoi(argv[4]) : XModem1K));
    com->OpenComm(&rc);
    std::printf("  OpenComm %d\n", rc);
    std::printf("READY\n");
    std::fflush(stdout);
    if (rc == 0 && send && !Pump([&] { return sink.starts > 0; }, 30000)) std::printf("  no start character\n");

    wchar_t name[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, argv[3], -1, name, MAX_PATH);
    BSTR file = SysAllocString(name);
    if (rc == 0) {
        if (send) com->SendFile(file, &rc);
        else com->RecvFile(file, &rc);
        std::printf("  %s %d\n", send ? "SendFile" : "RecvFile", rc);
    }
    short shown = -1;
    if (rc == 0)
        Pump(
            [&] {
                short progress = 0;
                com->get_QcProgress(&progress);
                if (progress != shown && !sink.ended) {
                    std::printf("  QcProgress %d\n", progress);
                    std::fflush(stdout);
                    shown = progress;
                }
                return sink.ended;
            },
            120000);
    short status = 0;
    com->get_QcStatus(&status);
    std::printf("  QcStatus %d\n", status);
    SysFreeString(file);
    com->CloseComm(&rc);
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    com->Release();
    CoUninitialize();
    return sink.ended && sink.code == 0 ? 0 : 1;
}
