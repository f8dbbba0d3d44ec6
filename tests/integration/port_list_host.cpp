// port_list_host: a C++ host of QLRPortList, through the generated header.
//
//   port_list_host PORT...
//
// Holds the first PORT open while it lists (listing must neither need nor
// disturb a free port), creates the list by class identifier and by ProgID,
// finds every PORT once with its device number, enumerates the names through
// _NewEnum, and checks that the open port still answers afterwards.
// Prints one line per check and a summary; the exit status is the number of
// failures (capped at 100).
#include <windows.h>

#include <oleauto.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_check.h"
#include "qlrcom32_h.h"

namespace {

using hostcheck::Check;

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Take(BSTR s) {
    std::wstring out = s ? std::wstring(s, SysStringLen(s)) : std::wstring();
    SysFreeString(s);
    return out;
}

void ListAndCheck(IQLRPortList* list, const std::vector<std::wstring>& expected) {
    long count = 0;
    const HRESULT hr = list->get_Count(&count);
    Check(hr == S_OK && count > 0, "Count is " + std::to_string(count));
    std::vector<std::wstring> names;
    for (long i = 0; i < count; ++i) {
        BSTR name = nullptr;
        list->get_Item(i, &name);
        names.push_back(Take(name));
    }
    for (const std::wstring& port : expected) {
        int seen = 0;
        long at = -1;
        for (long i = 0; i < count; ++i)
            if (names[static_cast<size_t>(i)] == port) ++seen, at = i;
        Check(seen == 1, Narrow(port) + " is listed once");
        if (at < 0) continue;
        long number = -2;
        list->get_DeviceNumber(at, &number);
        Check(number == std::wcstol(port.c_str() + 3, nullptr, 10) - 1,
              Narrow(port) + " has device number " + std::to_string(number));
    }
    BSTR none = nullptr;
    Check(list->get_Item(count, &none) == CTL_E_INVALIDPROPERTYARRAYINDEX && none == nullptr,
          "Item(Count) fails with CTL_E_INVALIDPROPERTYARRAYINDEX");

    IUnknown* unknown = nullptr;
    IEnumVARIANT* items = nullptr;
    if (!Check(
            list->get__NewEnum(&unknown) == S_OK && unknown &&
                unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)) == S_OK,
            "_NewEnum gives an IEnumVARIANT")) {
        if (unknown) unknown->Release();
        return;
    }
    unknown->Release();
    std::vector<std::wstring> enumerated;
    VARIANT item;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK && fetched == 1 &&
           enumerated.size() <= names.size()) {
        enumerated.push_back(
            item.vt == VT_BSTR ? std::wstring(item.bstrVal, SysStringLen(item.bstrVal)) : L"?");
        VariantClear(&item);
    }
    items->Release();
    Check(enumerated == names,
          "the enumerator yields the " + std::to_string(names.size()) + " names in order");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: port_list_host PORT...\n");
        return 2;
    }
    std::vector<std::wstring> expected(argv + 1, argv + argc);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const std::wstring device = L"\\\\.\\" + expected[0];
    HANDLE held = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    Check(held != INVALID_HANDLE_VALUE, "this host holds " + Narrow(expected[0]) + " open");

    IQLRPortList* list = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QLRPortList, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IQLRPortList, reinterpret_cast<void**>(&list));
    if (Check(hr == S_OK && list, "CoCreateInstance(CLSID_QLRPortList)")) {
        ListAndCheck(list, expected);
        Check(list->Refresh() == S_OK, "Refresh");
        ListAndCheck(list, expected);
        list->Release();
    }

    CLSID byName{};
    Check(CLSIDFromProgID(L"QLRCom.PortList", &byName) == S_OK &&
              IsEqualCLSID(byName, CLSID_QLRPortList),
          "QLRCom.PortList names CLSID_QLRPortList");

    if (held != INVALID_HANDLE_VALUE) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        Check(GetCommState(held, &dcb) != FALSE, "the held port still answers after listing");
        CloseHandle(held);
    }
    CoUninitialize();
    std::printf("%d passed, %d failed\n", hostcheck::passed, hostcheck::failed);
    return hostcheck::failed > 100 ? 100 : hostcheck::failed;
}
