// Saved settings across processes, through the registered module:
//   persist_host save FILE   a new control, configured, saved into a compound file
//   persist_host edit FILE   a container that saves only what IsDirty says needs
//                            saving loads the control from the file, edits a
//                            setting and closes the control, which asks it to save
//   persist_host load FILE   Wine's ATL host creates the control from that file's
//                            "Contents" stream; the settings (and the edit) must be back
// Prints one ok/FAIL line per check and "N passed, M failed"; exit status 1 on failure.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cwchar>

#include "host_check.h"
#include "qlrcom32_h.h"

namespace {

// atl.dll is loaded at run time: mingw-w64 has no import library for it on i686.
using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxCreateControlExFn = HRESULT(WINAPI*)(LPCOLESTR name, HWND window, IStream* stream,
                                                IUnknown** container, IUnknown** control,
                                                REFIID sinkIid, IUnknown* sink);

template <class F>
F AtlEntry(const char* name) {
    static HMODULE atl = LoadLibraryW(L"atl.dll");
    return hostcheck::Export<F>(atl, name);
}

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

const wchar_t kReplace[] = L"\u3042";

// A new control through the registered ProgID.
bool CreateControl(Ref<IQLRCom>& control) {
    CLSID clsid;
    Check(CLSIDFromProgID(L"QLRCom.QLRCom", &clsid) == S_OK, "ProgID resolves");
    return Check(SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                            control.out())),
                 "control created");
}

int Save(const wchar_t* file) {
    Ref<IQLRCom> control;
    if (!CreateControl(control)) return 1;
    Ref<IPersistStorage> persist;
    Check(control->QueryInterface(IID_IPersistStorage, persist.out()) == S_OK, "IPersistStorage");
    if (!persist.p) return 1;
    Check(persist->InitNew(nullptr) == S_OK, "InitNew");
    control->put_QcBaudRate(Baud115200);
    control->put_QcRecvQSize(2048);
    control->put_QcNotifyRecvChars(5);
    control->put_QcDTREnable(0);
    BSTR replace = SysAllocString(kReplace);
    control->put_QcParityReplace(replace);
    SysFreeString(replace);

    Ref<IStorage> storage;
    Check(StgCreateDocfile(file, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                           &storage.p) == S_OK,
          "compound file created");
    if (!storage.p) return 1;
    Check(persist->Save(storage.p, FALSE) == S_OK, "saved into the storage");
    Check(persist->SaveCompleted(nullptr) == S_OK, "SaveCompleted");
    Check(persist->IsDirty() == S_OK, "still needs saving after the save");
    Check(storage->Commit(STGC_DEFAULT) == S_OK, "storage committed");
    return 0;
}

const long kEditedTimeOut = 2500;

// The client site of a container that saves an object only when IsDirty says
// it needs saving, into the storage it was loaded from.
class SavingSite final : public IOleClientSite {
public:
    SavingSite(IPersistStorage* persist, IStorage* storage)
        : persist_(persist), storage_(storage) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOleClientSite))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IOleClientSite*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override {
        if (persist_->IsDirty() != S_OK) return S_OK;
        ++saves;
        HRESULT hr = persist_->Save(storage_, TRUE);
        if (SUCCEEDED(hr)) hr = persist_->SaveCompleted(nullptr);
        if (SUCCEEDED(hr)) hr = storage_->Commit(STGC_DEFAULT);
        return hr;
    }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    int saves = 0;

private:
    IPersistStorage* persist_;
    IStorage* storage_;
};

int Edit(const wchar_t* file) {
    Ref<IStorage> storage;
    Check(StgOpenStorage(file, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                         &storage.p) == S_OK,
          "compound file opened for editing");
    if (!storage.p) return 1;
    Ref<IQLRCom> control;
    if (!CreateControl(control)) return 1;
    Ref<IPersistStorage> persist;
    Ref<IOleObject> object;
    Check(control->QueryInterface(IID_IPersistStorage, persist.out()) == S_OK, "IPersistStorage");
    Check(control->QueryInterface(IID_IOleObject, object.out()) == S_OK, "IOleObject");
    if (!persist.p || !object.p) return 1;
    Check(persist->Load(storage.p) == S_OK, "loaded from the storage");
    Check(persist->IsDirty() == S_FALSE, "loaded control does not need saving");
    SavingSite site(persist.p, storage.p);
    Check(object->SetClientSite(&site) == S_OK, "client site set");
    control->put_QcRecvTimeOut(kEditedTimeOut);
    Check(persist->IsDirty() == S_OK, "an edit after the load needs saving");
    Check(object->Close(OLECLOSE_SAVEIFDIRTY) == S_OK, "closed, saving if dirty");
    Check(site.saves == 1, "the control asked its container to save it");
    Check(persist->IsDirty() == S_FALSE, "the save cleared the needs-saving flag");
    object->SetClientSite(nullptr);
    return 0;
}

int Load(const wchar_t* file) {
    Ref<IStorage> storage;
    Check(StgOpenStorage(file, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage.p) ==
              S_OK,
          "compound file opened");
    if (!storage.p) return 1;
    Ref<IStream> contents;
    Check(storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                              &contents.p) == S_OK,
          "stream Contents present");
    if (!contents.p) return 1;
    STATSTG stat{};
    contents->Stat(&stat, STATFLAG_NONAME);
    Check(stat.cbSize.QuadPart == 152, "Contents holds 152 bytes");

    const auto atlAxWinInit = AtlEntry<AtlAxWinInitFn>("AtlAxWinInit");
    const auto atlAxCreateControlEx = AtlEntry<AtlAxCreateControlExFn>("AtlAxCreateControlEx");
    if (!atlAxWinInit || !atlAxCreateControlEx) {
        Check(false, "atl.dll loaded");
        return 1;
    }
    Check(atlAxWinInit() != FALSE, "AtlAxWinInit");
    HWND window = CreateWindowExW(0, L"STATIC", L"persist host", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                  100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    Check(window != nullptr, "host window");
    Ref<IUnknown> container, unknown;
    Check(atlAxCreateControlEx(L"QLRCom.QLRCom", window, contents.p, &container.p, &unknown.p,
                               IID_NULL, nullptr) == S_OK,
          "ATL host created the control from the stream");
    Ref<IQLRCom> control;
    if (!unknown.p || FAILED(unknown->QueryInterface(IID_IQLRCom, control.out()))) {
        Check(false, "control reachable");
        return 1;
    }
    enumBaudRate baud{};
    short queue = 0;
    long notify = 0;
    VARIANT_BOOL dtr = -7;
    BSTR replace = nullptr;
    control->get_QcBaudRate(&baud);
    control->get_QcRecvQSize(&queue);
    control->get_QcNotifyRecvChars(&notify);
    control->get_QcDTREnable(&dtr);
    control->get_QcParityReplace(&replace);
    Check(baud == Baud115200, "QcBaudRate restored");
    Check(queue == 2048, "QcRecvQSize restored");
    Check(notify == 5, "QcNotifyRecvChars restored");
    Check(dtr == 0, "QcDTREnable restored");
    Check(replace && std::wcscmp(replace, kReplace) == 0, "Japanese QcParityReplace restored");
    long timeOut = 0;
    control->get_QcRecvTimeOut(&timeOut);
    Check(timeOut == kEditedTimeOut, "QcRecvTimeOut edited after a load restored");
    SysFreeString(replace);
    Ref<IPersistStreamInit> persist;
    Check(control->QueryInterface(IID_IPersistStreamInit, persist.out()) == S_OK &&
              persist->IsDirty() == S_FALSE,
          "loaded control does not need saving");
    DestroyWindow(window);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: persist_host save|edit|load FILE\n");
        return 2;
    }
    if (FAILED(OleInitialize(nullptr))) return 2;
    if (std::wcscmp(argv[1], L"save") == 0)
        Save(argv[2]);
    else if (std::wcscmp(argv[1], L"edit") == 0)
        Edit(argv[2]);
    else
        Load(argv[2]);
    OleUninitialize();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
