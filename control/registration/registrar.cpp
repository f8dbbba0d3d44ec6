// control/registration: registrar and its scripts, class factories, the module entry points.

#include "control/registration/registrar.h"

#include <oleauto.h>

#include <string>

#include "platform/com_ptr.h"
#include "platform/unique.h"
#include "resources/resource_ids.h"

// The per-user type library registration (oleaut32, Windows Vista and later):
// declared by the Windows SDK's oleauto.h, not by mingw-w64's.
#ifndef _MSC_VER
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* helpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID library, WORD major, WORD minor, LCID lcid,
                                      SYSKIND syskind);
#endif

namespace qlr::reg {

namespace {

// ---------------------------------------------------------------- walking

std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return parent.empty() ? name : parent + L'\\' + name;
}

bool IsAbsent(LONG rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND; }

HRESULT RegisterEntries(Root root, const std::wstring& parent, const std::vector<Entry>& entries,
                        RegistryBackend& registry) {
    for (const Entry& e : entries) {
        LONG rc;
        if (e.isNamedValue) {
            rc = registry.SetValue(root, parent, e.name, e.value);
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
            continue;
        }
        const std::wstring path = Join(parent, e.name);
        if (e.flag == Flag::Delete || e.flag == Flag::ForceRemove) {
            rc = registry.DeleteTree(root, path);
            if (rc != ERROR_SUCCESS && !IsAbsent(rc)) return HRESULT_FROM_WIN32(rc);
            if (e.flag == Flag::Delete) continue;
        }
        rc = registry.CreateKey(root, path);
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        if (e.hasValue) {
            rc = registry.SetValue(root, path, std::wstring(), e.value);
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        }
        const HRESULT hr = RegisterEntries(root, path, e.children, registry);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void Note(HRESULT* first, LONG rc) {
    if (rc != ERROR_SUCCESS && !IsAbsent(rc) && SUCCEEDED(*first)) *first = HRESULT_FROM_WIN32(rc);
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The class a ProgID entry names: a key of the root with a CLSID subkey that
// has a value; null for every other entry.
const Entry* ProgIdClass(const std::wstring& parent, const Entry& e) {
    if (!parent.empty() || e.isNamedValue || e.flag != Flag::None) return nullptr;
    for (const Entry& child : e.children)
        if (!child.isNamedValue && child.hasValue && EqualsNoCase(child.name, L"CLSID"))
            return &child;
    return nullptr;
}

void UnregisterEntries(Root root, const std::wstring& parent, const std::vector<Entry>& entries,
                       RegistryBackend& registry, HRESULT* first);

void UnregisterKey(Root root, const std::wstring& path, const Entry& e, RegistryBackend& registry,
                   HRESULT* first) {
    if (!registry.KeyExists(root, path)) return;
    UnregisterEntries(root, path, e.children, registry, first);
    if (!registry.HasSubkeys(root, path)) Note(first, registry.DeleteKey(root, path));
}

// A ProgID goes only when it names this class and no view registers the
// class any more (the class keys of the script are gone by now).
void UnregisterProgId(Root root, const Entry& e, const Entry& named, RegistryBackend& registry,
                      HRESULT* first) {
    std::wstring clsid;
    const LONG rc = registry.ReadString(root, e.name + L"\\CLSID", std::wstring(), &clsid);
    if (IsAbsent(rc)) return;  // absent, or it names no class: not this module's
    if (rc != ERROR_SUCCESS) return Note(first, rc);
    if (!EqualsNoCase(clsid, named.value.text)) return;
    if (registry.KeyExistsInOtherView(root, L"CLSID\\" + clsid + L"\\InprocServer32")) return;
    UnregisterKey(root, e.name, e, registry, first);
}

void UnregisterEntries(Root root, const std::wstring& parent, const std::vector<Entry>& entries,
                       RegistryBackend& registry, HRESULT* first) {
    std::vector<std::pair<const Entry*, const Entry*>> progIds;
    for (const Entry& e : entries) {
        if (e.isNamedValue) {
            if (e.flag != Flag::NoRemove) Note(first, registry.DeleteValue(root, parent, e.name));
            continue;
        }
        if (const Entry* named = ProgIdClass(parent, e)) {
            progIds.emplace_back(&e, named);
            continue;
        }
        const std::wstring path = Join(parent, e.name);
        switch (e.flag) {
        case Flag::Delete: break;
        case Flag::ForceRemove: Note(first, registry.DeleteTree(root, path)); break;
        case Flag::NoRemove:
            if (registry.KeyExists(root, path))
                UnregisterEntries(root, path, e.children, registry, first);
            break;
        case Flag::None: UnregisterKey(root, path, e, registry, first); break;
        }
    }
    for (const auto& p : progIds) UnregisterProgId(root, *p.first, *p.second, registry, first);
}

// ---------------------------------------------------------------- Win32

HKEY RootHandle(Root root) {
    switch (root) {
    case Root::ClassesRoot: return HKEY_CLASSES_ROOT;
    case Root::CurrentUser: return HKEY_CURRENT_USER;
    case Root::LocalMachine: return HKEY_LOCAL_MACHINE;
    case Root::Users: return HKEY_USERS;
    case Root::CurrentConfig: return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CLASSES_ROOT;
}

using KeyHandle = platform::UniqueKey;

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

HKEY Win32Registry::RootKey(Root root, std::wstring* path) const {
    if (scope_ == Scope::User && root == Root::ClassesRoot) {
        *path = path->empty() ? L"Software\\Classes" : L"Software\\Classes\\" + *path;
        return HKEY_CURRENT_USER;
    }
    return RootHandle(root);
}

LONG Win32Registry::Open(Root root, const std::wstring& path, REGSAM access, HKEY* key) const {
    std::wstring full = path;
    const HKEY base = RootKey(root, &full);
    return RegOpenKeyExW(base, full.c_str(), 0, access, key);
}

LONG Win32Registry::CreateKey(Root root, const std::wstring& path) {
    std::wstring full = path;
    const HKEY base = RootKey(root, &full);
    KeyHandle key;
    return RegCreateKeyExW(base, full.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
}

bool Win32Registry::KeyExists(Root root, const std::wstring& path) {
    KeyHandle key;
    return !IsAbsent(Open(root, path, KEY_READ, key.put()));
}

bool Win32Registry::HasSubkeys(Root root, const std::wstring& path) {
    KeyHandle key;
    if (Open(root, path, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return true;  // unknown: keep the key
    return subkeys != 0;
}

LONG Win32Registry::DeleteKey(Root root, const std::wstring& path) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;  // never a predefined key
    std::wstring full = path;
    const HKEY base = RootKey(root, &full);
    return RegDeleteKeyW(base, full.c_str());
}

LONG Win32Registry::DeleteTree(Root root, const std::wstring& path) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    std::wstring full = path;
    const HKEY base = RootKey(root, &full);
    return RegDeleteTreeW(base, full.c_str());
}

LONG Win32Registry::SetValue(Root root, const std::wstring& path, const std::wstring& name,
                             const Value& value) {
    KeyHandle key;
    LONG rc = Open(root, path, KEY_SET_VALUE, key.put());
    if (rc != ERROR_SUCCESS) return rc;
    const wchar_t* valueName = name.empty() ? nullptr : name.c_str();
    switch (value.type) {
    case Value::Type::String:
    case Value::Type::ExpandString:
        return RegSetValueExW(key.get(), valueName, 0,
                              value.type == Value::Type::String ? REG_SZ : REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(value.text.c_str()),
                              static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
    case Value::Type::Dword:
        return RegSetValueExW(key.get(), valueName, 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD));
    case Value::Type::Binary:
        return RegSetValueExW(key.get(), valueName, 0, REG_BINARY, value.bytes.data(),
                              static_cast<DWORD>(value.bytes.size()));
    }
    return ERROR_INVALID_PARAMETER;
}

LONG Win32Registry::DeleteValue(Root root, const std::wstring& path, const std::wstring& name) {
    KeyHandle key;
    LONG rc = Open(root, path, KEY_SET_VALUE, key.put());
    if (rc != ERROR_SUCCESS) return rc;
    return RegDeleteValueW(key.get(), name.empty() ? nullptr : name.c_str());
}

LONG Win32Registry::ReadString(Root root, const std::wstring& path, const std::wstring& name,
                               std::wstring* text) {
    KeyHandle key;
    LONG rc = Open(root, path, KEY_QUERY_VALUE, key.put());
    if (rc != ERROR_SUCCESS) return rc;
    const wchar_t* valueName = name.empty() ? nullptr : name.c_str();
    DWORD type = 0, size = 0;
    rc = RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;  // no class named
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    rc = RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]),
                          &size);
    if (rc != ERROR_SUCCESS) return rc;
    buffer.resize(wcsnlen(buffer.c_str(), size / sizeof(wchar_t)));
    *text = buffer;
    return ERROR_SUCCESS;
}

bool Win32Registry::KeyExistsInOtherView(Root root, const std::wstring& path) {
    REGSAM otherView = KEY_WOW64_32KEY;
    if (sizeof(void*) == 4) {
        BOOL wow64 = FALSE;  // a 32-bit process on 32-bit Windows has no other view
        if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return false;
        otherView = KEY_WOW64_64KEY;
    }
    KeyHandle key;
    return Open(root, path, KEY_READ | otherView, key.put()) == ERROR_SUCCESS;
}

HRESULT Register(const Script& script, RegistryBackend& registry) {
    for (const RootBlock& block : script.roots) {
        const HRESULT hr = RegisterEntries(block.root, std::wstring(), block.entries, registry);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT Unregister(const Script& script, RegistryBackend& registry) {
    HRESULT first = S_OK;
    for (const RootBlock& block : script.roots)
        UnregisterEntries(block.root, std::wstring(), block.entries, registry, &first);
    return first;
}

HRESULT RunScript(std::wstring_view text, const Replacements& replacements, bool doRegister,
                  RegistryBackend& registry) {
    Script script;
    const HRESULT hr = ParseScript(text, replacements, &script);
    if (FAILED(hr)) return hr;
    return doRegister ? Register(script, registry) : Unregister(script, registry);
}

namespace {

HRESULT LoadScriptResource(HMODULE module, UINT resourceId, Script* script) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    if (!info) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring text = DecodeScriptBytes(data, SizeofResource(module, info));
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return ParseScript(text, {{L"MODULE", path}}, script);
}

HRESULT LoadModuleScripts(HMODULE module, std::vector<Script>* scripts) {
    for (UINT id : {IDR_QLRCOM, IDR_COMMSETTINGS, IDR_QLRPORTLIST}) {
        Script script;
        const HRESULT hr = LoadScriptResource(module, id, &script);
        if (FAILED(hr)) return hr;
        scripts->push_back(std::move(script));
    }
    return S_OK;
}

HRESULT RegisterModuleTypeLib(HMODULE module, Scope scope) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring folder = path;
    const size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash);

    com::ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put());
    if (FAILED(hr)) return hr;
    // The registration functions take non-const strings.
    std::wstring pathArg = path;
    OLECHAR* helpDir = folder.empty() ? nullptr : &folder[0];
    return scope == Scope::User ? RegisterTypeLibForUser(typeLib.get(), &pathArg[0], helpDir)
                                : RegisterTypeLib(typeLib.get(), &pathArg[0], helpDir);
}

HRESULT UnregisterModuleTypeLibForUser(HMODULE module) {
    com::ComPtr<ITypeLib> typeLib;
    const std::wstring path = ModulePath(module);
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put());
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = typeLib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    hr = UnRegisterTypeLibForUser(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                  attr->syskind);
    typeLib->ReleaseTLibAttr(attr);
    // A library that was never registered is no failure.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

}  // namespace

HRESULT RunScriptResource(HMODULE module, UINT resourceId, bool doRegister,
                          RegistryBackend& registry) {
    Script script;
    const HRESULT hr = LoadScriptResource(module, resourceId, &script);
    if (FAILED(hr)) return hr;
    return doRegister ? Register(script, registry) : Unregister(script, registry);
}

HRESULT RegisterScripts(const std::vector<Script>& scripts, RegistryBackend& registry) {
    for (const Script& script : scripts) {
        const HRESULT hr = Register(script, registry);
        if (FAILED(hr)) {
            UnregisterScripts(scripts, registry);
            return hr;
        }
    }
    return S_OK;
}

HRESULT UnregisterScripts(const std::vector<Script>& scripts, RegistryBackend& registry) {
    HRESULT first = S_OK;
    for (const Script& script : scripts) {
        const HRESULT hr = Unregister(script, registry);
        if (SUCCEEDED(first) && FAILED(hr)) first = hr;
    }
    return first;
}

HRESULT RegisterServer(HMODULE module, Scope scope) {
    std::vector<Script> scripts;
    HRESULT hr = LoadModuleScripts(module, &scripts);
    if (FAILED(hr)) return hr;
    Win32Registry registry(scope);
    hr = RegisterScripts(scripts, registry);
    if (FAILED(hr)) return hr;
    hr = RegisterModuleTypeLib(module, scope);
    if (FAILED(hr)) UnregisterScripts(scripts, registry);
    return hr;
}

HRESULT UnregisterServer(HMODULE module, Scope scope) {
    std::vector<Script> scripts;
    HRESULT hr = LoadModuleScripts(module, &scripts);
    if (FAILED(hr)) return hr;
    Win32Registry registry(scope);
    hr = UnregisterScripts(scripts, registry);
    if (scope == Scope::User) {
        const HRESULT typeLib = UnregisterModuleTypeLibForUser(module);
        if (SUCCEEDED(hr)) hr = typeLib;
    }
    return hr;
}

HRESULT Install(HMODULE module, bool install, const wchar_t* commandLine) {
    const std::wstring command = commandLine ? commandLine : L"";
    Scope scope;
    if (EqualsNoCase(command, L"user"))
        scope = Scope::User;
    else if (command.empty() || EqualsNoCase(command, L"machine"))
        scope = Scope::Machine;
    else
        return E_INVALIDARG;
    return install ? RegisterServer(module, scope) : UnregisterServer(module, scope);
}

}  // namespace qlr::reg
