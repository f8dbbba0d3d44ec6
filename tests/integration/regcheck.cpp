// regcheck: checks the registry entries that qlrcom32.ocx writes and removes.
//
//   regcheck registered MODULE_PATH     after DllRegisterServer: every entry of the
//                                       three classes, the type library registration, and
//                                       the class identifiers against the module's
//                                       own type library
//   regcheck unregistered MODULE_PATH   after DllUnregisterServer: the class keys and
//                                       the six ProgID keys are gone, the type
//                                       library is still registered
//   regcheck clean                      nothing of the control is registered
//   regcheck noclasses MODULE           no class or ProgID key; the type library
//                                       may be registered or not
//   regcheck --user registered|clean MODULE
//                                       the same under HKCU\Software\Classes (a
//                                       per-user registration); the checks that
//                                       ask COM itself are left out (Wine does
//                                       not merge per-user classes into HKCR)
//   regcheck progid NAME                print what CLSIDFromProgID makes of NAME
//   regcheck host MODULE                what a host gets from the classes however
//                                       they are found (registry or the
//                                       application's manifest): creation by
//                                       both ProgIDs and the class identifier,
//                                       type information, properties, the
//                                       control's verbs, user type and status
//   regcheck call MODULE ENTRY          load MODULE, call ENTRY (DllRegisterServer,
//                                       DllUnregisterServer, DllCanUnloadNow), print
//                                       its HRESULT; exit 0 only for exactly S_OK
//
// Every check prints one line (ok/FAIL); the exit status is the number of
// failures (capped at 100), 2 for a usage error.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int failures = 0;
// HKEY_CLASSES_ROOT, or HKCU\Software\Classes with --user.
HKEY g_root = HKEY_CLASSES_ROOT;
bool g_user = false;

void Check(bool ok, const std::wstring& what, const std::wstring& detail = L"") {
    if (!ok) ++failures;
    std::wprintf(L"%ls %ls%ls%ls\n", ok ? L"ok  " : L"FAIL", what.c_str(),
                 detail.empty() ? L"" : L": ", detail.c_str());
}

bool KeyExists(const std::wstring& path) {
    HKEY k;
    if (RegOpenKeyExW(g_root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

// Reads a REG_SZ value; `type` receives the value's type, 0 when absent.
bool ReadString(const std::wstring& path, const wchar_t* name, std::wstring& out, DWORD& type) {
    type = 0;
    HKEY k;
    if (RegOpenKeyExW(g_root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG r = RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
    if (r != ERROR_SUCCESS) {
        RegCloseKey(k);
        return false;
    }
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
    r = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS) return false;
    out.assign(buf.data());
    return true;
}

// Quoted, with every non-ASCII character as \uXXXX (the console may not show it).
std::wstring Show(const std::wstring& s) {
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            wchar_t buf[8];
            std::swprintf(buf, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + L"\"";
}

void ExpectValue(const std::wstring& path, const wchar_t* name, const std::wstring& expected,
                 bool ignoreCase = false) {
    std::wstring got;
    DWORD type = 0;
    std::wstring what =
        L"HKCR\\" + path + (name ? std::wstring(L" [") + name + L"]" : std::wstring(L" (default)"));
    if (!ReadString(path, name, got, type)) {
        Check(false, what, L"missing, expected " + Show(expected));
        return;
    }
    bool same = ignoreCase ? _wcsicmp(got.c_str(), expected.c_str()) == 0 : got == expected;
    Check(type == REG_SZ && same, what,
          Show(got) + (type == REG_SZ ? L"" : L" (not REG_SZ)") +
              (same ? L"" : L", expected " + Show(expected)));
}

// An empty key: present, with no values and no subkeys.
void ExpectEmptyKey(const std::wstring& path) {
    HKEY k;
    std::wstring what = L"HKCR\\" + path + L" is an empty key";
    if (RegOpenKeyExW(g_root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
        Check(false, what, L"missing");
        return;
    }
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(k);
    Check(subkeys == 0 && values == 0, what,
          std::to_wstring(subkeys) + L" subkeys, " + std::to_wstring(values) + L" values");
}

void ExpectAbsent(const std::wstring& path) {
    Check(!KeyExists(path), L"HKCR\\" + path + L" is absent", KeyExists(path) ? L"present" : L"");
}

bool ParseGuid(const std::wstring& s, GUID& g) {
    return s.size() == 38 && CLSIDFromString(s.c_str(), &g) == S_OK;
}

std::wstring GuidString(const GUID& g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return buf;
}

// The identifier stored at HKCR\progid\CLSID, checked to be a well-formed GUID.
bool ProgIdClsid(const std::wstring& progid, GUID& clsid) {
    std::wstring s;
    DWORD type = 0;
    bool ok =
        ReadString(progid + L"\\CLSID", nullptr, s, type) && type == REG_SZ && ParseGuid(s, clsid);
    Check(ok, L"HKCR\\" + progid + L"\\CLSID (default) is a class identifier", Show(s));
    return ok;
}

std::wstring Folder(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring StripTrailingSlash(std::wstring s) {
    while (!s.empty() && (s.back() == L'\\' || s.back() == L'/')) s.pop_back();
    return s;
}

// The class identifiers and the library identifier from the module's own type library.
struct LibIds {
    bool ok = false;
    GUID lib{};
    LCID lcid = 0;
    GUID control{};
    GUID page{};
    GUID portList{};
};

LibIds ReadModuleTypeLib(const std::wstring& module) {
    LibIds ids;
    ITypeLib* tl = nullptr;
    HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, &tl);
    Check(SUCCEEDED(hr), L"the module carries a type library",
          SUCCEEDED(hr) ? L"" : L"LoadTypeLibEx failed");
    if (FAILED(hr)) return ids;
    TLIBATTR* la = nullptr;
    if (SUCCEEDED(tl->GetLibAttr(&la))) {
        ids.lib = la->guid;
        ids.lcid = la->lcid;
        Check(la->wMajorVerNum == 1 && la->wMinorVerNum == 0, L"type library version is 1.0");
        tl->ReleaseTLibAttr(la);
    }
    bool haveControl = false, havePage = false, havePortList = false;
    UINT n = tl->GetTypeInfoCount();
    for (UINT i = 0; i < n; ++i) {
        TYPEKIND kind;
        if (FAILED(tl->GetTypeInfoType(i, &kind)) || kind != TKIND_COCLASS) continue;
        BSTR name = nullptr;
        if (FAILED(tl->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr)))
            continue;
        ITypeInfo* ti = nullptr;
        if (SUCCEEDED(tl->GetTypeInfo(i, &ti))) {
            TYPEATTR* ta = nullptr;
            if (SUCCEEDED(ti->GetTypeAttr(&ta))) {
                if (std::wcscmp(name, L"QLRCom") == 0) {
                    ids.control = ta->guid;
                    haveControl = true;
                } else if (std::wcscmp(name, L"CommSettings") == 0) {
                    ids.page = ta->guid;
                    havePage = true;
                } else if (std::wcscmp(name, L"QLRPortList") == 0) {
                    ids.portList = ta->guid;
                    havePortList = true;
                }
                ti->ReleaseTypeAttr(ta);
            }
            ti->Release();
        }
        SysFreeString(name);
    }
    tl->Release();
    Check(haveControl && havePage && havePortList,
          L"type library has the coclasses QLRCom, CommSettings and QLRPortList");
    ids.ok = haveControl && havePage && havePortList;
    return ids;
}

void CheckRegistered(const std::wstring& module) {
    LibIds ids = ReadModuleTypeLib(module);

    // The control.
    ExpectValue(L"QLRCom.QLRCom.1", nullptr, L"QLRCom Class");
    GUID clsid{};
    bool haveClsid = ProgIdClsid(L"QLRCom.QLRCom.1", clsid);
    ExpectValue(L"QLRCom.QLRCom", nullptr, L"QLRCom Class");
    ExpectValue(L"QLRCom.QLRCom\\CurVer", nullptr, L"QLRCom.QLRCom.1");
    if (haveClsid && ids.ok)
        Check(IsEqualGUID(clsid, ids.control),
              L"QLRCom.QLRCom.1 names the type library's QLRCom class", GuidString(clsid));
    if (haveClsid) {
        const std::wstring key = L"CLSID\\" + GuidString(clsid);
        ExpectValue(key, nullptr, L"QLRCom Class");
        ExpectValue(key + L"\\ProgID", nullptr, L"QLRCom.QLRCom.1");
        ExpectValue(key + L"\\VersionIndependentProgID", nullptr, L"QLRCom.QLRCom");
        ExpectEmptyKey(key + L"\\Programmable");
        ExpectValue(key + L"\\InprocServer32", nullptr, module, true);
        ExpectValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        ExpectEmptyKey(key + L"\\Control");
        ExpectEmptyKey(key + L"\\Insertable");
        ExpectValue(key + L"\\ToolboxBitmap32", nullptr, module + L", 1", true);
        ExpectValue(key + L"\\MiscStatus", nullptr, L"0");
        ExpectValue(key + L"\\MiscStatus\\1", nullptr, L"131473");
        ExpectValue(key + L"\\Version", nullptr, L"1.0");
        // "ﾌﾟﾛﾊﾟﾃｨ(&P).., 0, 2" in half-width katakana.
        ExpectValue(key + L"\\Verb\\0", nullptr,
                    L"\uFF8C\uFF9F\uFF9B\uFF8A\uFF9F\uFF83\uFF68(&P).., 0, 2");
        std::wstring lib;
        DWORD type = 0;
        GUID libid{};
        bool haveLib = ReadString(key + L"\\TypeLib", nullptr, lib, type) && ParseGuid(lib, libid);
        Check(haveLib, L"HKCR\\" + key + L"\\TypeLib (default) is a library identifier", Show(lib));
        if (haveLib && ids.ok)
            Check(IsEqualGUID(libid, ids.lib), L"TypeLib names the module's type library", lib);
    }

    // The property page.
    ExpectValue(L"CommSettings.CommSettings.1", nullptr, L"CommSettings Class");
    GUID page{};
    bool havePage = ProgIdClsid(L"CommSettings.CommSettings.1", page);
    ExpectValue(L"CommSettings.CommSettings", nullptr, L"CommSettings Class");
    ExpectValue(L"CommSettings.CommSettings\\CurVer", nullptr, L"CommSettings.CommSettings.1");
    if (havePage && ids.ok)
        Check(IsEqualGUID(page, ids.page),
              L"CommSettings.CommSettings.1 names the type library's CommSettings",
              GuidString(page));
    if (havePage) {
        const std::wstring key = L"CLSID\\" + GuidString(page);
        ExpectValue(key, nullptr, L"CommSettings Class");
        ExpectEmptyKey(key + L"\\Programmable");
        ExpectValue(key + L"\\InprocServer32", nullptr, module, true);
        ExpectValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        ExpectAbsent(key + L"\\ProgID");
        ExpectAbsent(key + L"\\VersionIndependentProgID");
    }

    // The port list: an automation object, not a control.
    ExpectValue(L"QLRCom.PortList.1", nullptr, L"QLRPortList Class");
    GUID list{};
    bool haveList = ProgIdClsid(L"QLRCom.PortList.1", list);
    ExpectValue(L"QLRCom.PortList", nullptr, L"QLRPortList Class");
    ExpectValue(L"QLRCom.PortList\\CurVer", nullptr, L"QLRCom.PortList.1");
    GUID listIndependent{};
    if (ProgIdClsid(L"QLRCom.PortList", listIndependent) && haveList)
        Check(IsEqualGUID(list, listIndependent), L"both ProgIDs of the port list name one class");
    if (haveList && ids.ok)
        Check(IsEqualGUID(list, ids.portList),
              L"QLRCom.PortList.1 names the type library's QLRPortList class", GuidString(list));
    if (haveList) {
        const std::wstring key = L"CLSID\\" + GuidString(list);
        ExpectValue(key, nullptr, L"QLRPortList Class");
        ExpectValue(key + L"\\ProgID", nullptr, L"QLRCom.PortList.1");
        ExpectValue(key + L"\\VersionIndependentProgID", nullptr, L"QLRCom.PortList");
        ExpectValue(key + L"\\InprocServer32", nullptr, module, true);
        ExpectValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        ExpectValue(key + L"\\Version", nullptr, L"1.0");
        ExpectAbsent(key + L"\\Control");
        ExpectAbsent(key + L"\\MiscStatus");
        ExpectAbsent(key + L"\\ToolboxBitmap32");
        ExpectAbsent(key + L"\\Insertable");
    }

    // The type library registration: version 1.0, the module's path, its folder as help folder.
    // (Per user it is RegisterTypeLibForUser's, which Wine 8 writes machine-wide.)
    if (ids.ok && !g_user) {
        const std::wstring tl = L"TypeLib\\" + GuidString(ids.lib) + L"\\1.0";
#ifdef _WIN64
        const std::wstring platform = L"win64";
#else
        const std::wstring platform = L"win32";
#endif
        wchar_t lcid[16];
        std::swprintf(lcid, 16, L"%lx", static_cast<unsigned long>(ids.lcid));
        ExpectValue(tl + L"\\" + lcid + L"\\" + platform, nullptr, module, true);
        std::wstring help;
        DWORD type = 0;
        bool haveHelp = ReadString(tl + L"\\HELPDIR", nullptr, help, type);
        Check(haveHelp && _wcsicmp(StripTrailingSlash(help).c_str(), Folder(module).c_str()) == 0,
              L"HKCR\\" + tl + L"\\HELPDIR is the module's folder", Show(help));
        ITypeLib* reg = nullptr;
        HRESULT hr = LoadRegTypeLib(ids.lib, 1, 0, ids.lcid, &reg);
        Check(SUCCEEDED(hr), L"LoadRegTypeLib finds the registered type library 1.0");
        if (reg) reg->Release();
    }

    // What clients resolve.
    if (g_user) return;
    GUID viaCom{};
    HRESULT hr = CLSIDFromProgID(L"QLRCom.QLRCom.1", &viaCom);
    Check(hr == S_OK && haveClsid && IsEqualGUID(viaCom, clsid),
          L"CLSIDFromProgID(\"QLRCom.QLRCom.1\")");
}

enum class TypeLibState { Kept, Absent, Either };

void CheckUnregistered(const std::wstring& module, TypeLibState typeLib) {
    GUID control{}, page{};
    LibIds ids = ReadModuleTypeLib(module);
    if (ids.ok) {
        control = ids.control;
        page = ids.page;
        ExpectAbsent(L"CLSID\\" + GuidString(control));
        ExpectAbsent(L"CLSID\\" + GuidString(page));
        ExpectAbsent(L"CLSID\\" + GuidString(ids.portList));
    }
    ExpectAbsent(L"QLRCom.QLRCom.1");
    ExpectAbsent(L"QLRCom.QLRCom");
    ExpectAbsent(L"CommSettings.CommSettings.1");
    ExpectAbsent(L"CommSettings.CommSettings");
    ExpectAbsent(L"QLRCom.PortList.1");
    ExpectAbsent(L"QLRCom.PortList");
    if (!g_user) Check(KeyExists(L"CLSID"), L"HKCR\\CLSID itself is still there");
    if (ids.ok && !g_user) {
        const std::wstring tl = L"TypeLib\\" + GuidString(ids.lib);
        if (typeLib == TypeLibState::Kept)
            Check(KeyExists(tl + L"\\1.0"), L"HKCR\\" + tl + L"\\1.0 is still registered");
        else if (typeLib == TypeLibState::Absent)
            ExpectAbsent(tl);
    }
}

// ---- host: what a client of the classes gets, however COM finds them ----

// The name of the object's dispatch interface, from its type information.
std::wstring DispatchName(IDispatch* object) {
    ITypeInfo* info = nullptr;
    BSTR name = nullptr;
    if (SUCCEEDED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) && info)
        info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::wstring result = name ? name : L"none";
    SysFreeString(name);
    if (info) info->Release();
    return result;
}

void HostChecks(const std::wstring& module) {
    const LibIds ids = ReadModuleTypeLib(module);
    const struct {
        const wchar_t* progid;
        const wchar_t* interfaceName;
    } progids[] = {{L"QLRCom.QLRCom", L"IQLRCom"},
                   {L"QLRCom.QLRCom.1", L"IQLRCom"},
                   {L"QLRCom.PortList", L"IQLRPortList"},
                   {L"QLRCom.PortList.1", L"IQLRPortList"}};
    for (const auto& p : progids) {
        GUID clsid{};
        const HRESULT hr = CLSIDFromProgID(p.progid, &clsid);
        Check(hr == S_OK, std::wstring(L"CLSIDFromProgID(") + p.progid + L")",
              hr == S_OK ? GuidString(clsid) : L"failed");
        if (hr != S_OK) continue;
        IDispatch* object = nullptr;
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                         reinterpret_cast<void**>(&object));
        const std::wstring name = object ? DispatchName(object) : L"not created";
        Check(name == p.interfaceName, std::wstring(L"created by ProgID ") + p.progid, name);
        if (object) object->Release();
    }
    if (!ids.ok) return;
    const GUID control = ids.control;
    IDispatch* com = nullptr;
    HRESULT hr = CoCreateInstance(control, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(&com));
    Check(SUCCEEDED(hr), L"the control created by its class identifier", GuidString(control));
    if (!com) return;
    const std::wstring name = DispatchName(com);
    Check(name == L"IQLRCom", L"type information names IQLRCom", name);

    // A property put and read back by name, as a script does.
    OLECHAR* member = const_cast<OLECHAR*>(L"QcRecvTimeOut");
    DISPID id = 0;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 1234;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &named, 1, 1}, none{};
    hr = com->GetIDsOfNames(IID_NULL, &member, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(hr))
        hr = com->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr,
                         nullptr, nullptr);
    VARIANT got;
    VariantInit(&got);
    if (SUCCEEDED(hr))
        hr = com->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &got,
                         nullptr, nullptr);
    Check(SUCCEEDED(hr) && got.vt == VT_I4 && got.lVal == 1234,
          L"QcRecvTimeOut put and read back through IDispatch");

    IOleObject* object = nullptr;
    if (SUCCEEDED(com->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object)))) {
        DWORD status = 0;
        hr = object->GetMiscStatus(DVASPECT_CONTENT, &status);
        Check(hr == S_OK && status == 131473, L"misc status of the content aspect is 131473",
              std::to_wstring(status));
        LPOLESTR type = nullptr;
        hr = object->GetUserType(USERCLASSTYPE_FULL, &type);
        Check(hr == S_OK && type && std::wcscmp(type, L"QLRCom Class") == 0,
              L"user type \"QLRCom Class\"", type ? type : L"none");
        CoTaskMemFree(type);
        IEnumOLEVERB* verbs = nullptr;
        OLEVERB verb{};
        ULONG fetched = 0;
        if (SUCCEEDED(object->EnumVerbs(&verbs)) && verbs) {
            verbs->Next(1, &verb, &fetched);
            verbs->Release();
        }
        Check(fetched == 1 && verb.lVerb == 0 && verb.grfAttribs == OLEVERBATTRIB_ONCONTAINERMENU &&
                  verb.lpszVerbName &&
                  std::wcscmp(verb.lpszVerbName,
                              L"\uFF8C\uFF9F\uFF9B\uFF8A\uFF9F\uFF83\uFF68(&P)..") == 0,
              L"verb 0 is the properties verb on the container's menu");
        CoTaskMemFree(verb.lpszVerbName);
        object->Release();
    }
    com->Release();
}

int Progid(const wchar_t* name) {
    GUID g{};
    HRESULT hr = CLSIDFromProgID(name, &g);
    std::wprintf(L"CLSIDFromProgID(%ls) = 0x%08lX %ls\n", name, static_cast<unsigned long>(hr),
                 hr == S_OK ? GuidString(g).c_str() : L"");
    return hr == S_OK ? 0 : 1;
}

int CallEntry(const wchar_t* module, const wchar_t* entry) {
    HMODULE m = LoadLibraryW(module);
    if (!m) {
        std::wprintf(L"LoadLibrary(%ls) failed, error %lu\n", module,
                     static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    char name[64];
    WideCharToMultiByte(CP_ACP, 0, entry, -1, name, sizeof name, nullptr, nullptr);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    FARPROC proc = GetProcAddress(m, name);
    if (!proc) {
        std::wprintf(L"%ls: no export %ls\n", module, entry);
        FreeLibrary(m);
        return 3;
    }
    Entry fn = reinterpret_cast<Entry>(reinterpret_cast<void*>(proc));
    HRESULT hr = fn();
    std::wprintf(L"%ls() = 0x%08lX\n", entry, static_cast<unsigned long>(hr));
    FreeLibrary(m);
    return hr == S_OK ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr,
                      L"usage: regcheck registered|unregistered|clean MODULE | progid NAME | call "
                      L"MODULE ENTRY\n");
        return 2;
    }
    HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (argc >= 3 && std::wcscmp(argv[1], L"--user") == 0) {
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, &g_root) !=
            ERROR_SUCCESS)
            Check(false, L"HKCU\\Software\\Classes can be opened");
        g_user = true;
        ++argv;
        --argc;
    }
    const std::wstring cmd = argv[1];
    int rc = 2;
    if (cmd == L"registered" && argc == 3) {
        CheckRegistered(argv[2]);
        rc = failures;
    } else if (cmd == L"unregistered" && argc == 3) {
        CheckUnregistered(argv[2], TypeLibState::Kept);
        rc = failures;
    } else if (cmd == L"clean" && argc == 3) {
        CheckUnregistered(argv[2], TypeLibState::Absent);
        rc = failures;
    } else if (cmd == L"noclasses" && argc == 3) {
        CheckUnregistered(argv[2], TypeLibState::Either);
        rc = failures;
    } else if (cmd == L"host" && argc == 3) {
        HostChecks(argv[2]);
        rc = failures;
    } else if (cmd == L"progid" && argc == 3) {
        rc = Progid(argv[2]);
    } else if (cmd == L"call" && argc == 4) {
        rc = CallEntry(argv[2], argv[3]);
    } else {
        std::fwprintf(stderr,
                      L"usage: regcheck registered|unregistered|clean MODULE | progid NAME | call "
                      L"MODULE ENTRY\n");
    }
    if (SUCCEEDED(init)) CoUninitialize();
    if (cmd != L"progid" && cmd != L"call" && rc != 2) std::wprintf(L"%d failed\n", failures);
    if (g_user) RegCloseKey(g_root);
    return rc > 100 ? 100 : rc;
}
