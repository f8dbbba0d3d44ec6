// control/registration: registrar and its scripts, class factories, the module entry points.

#include "control/registration/registrar.h"

#include <oleauto.h>

#include <string>

#include "platform/com_ptr.h"
#include "platform/unique.h"
#include "resources/resource_ids.h"

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

void UnregisterEntries(Root root, const std::wstring& parent, const std::vector<Entry>& entries,
                       RegistryBackend& registry, HRESULT* first) {
    for (const Entry& e : entries) {
        if (e.isNamedValue) {
            if (e.flag != Flag::NoRemove) Note(first, registry.DeleteValue(root, parent, e.name));
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
        case Flag::None:
            if (!registry.KeyExists(root, path)) break;
            UnregisterEntries(root, path, e.children, registry, first);
            if (!registry.HasSubkeys(root, path)) Note(first, registry.DeleteKey(root, path));
            break;
        }
    }
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

LONG OpenKey(Root root, const std::wstring& path, REGSAM access, KeyHandle* key) {
    return RegOpenKeyExW(RootHandle(root), path.c_str(), 0, access, key->put());
}

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

LONG Win32Registry::CreateKey(Root root, const std::wstring& path) {
    KeyHandle key;
    return RegCreateKeyExW(RootHandle(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
}

bool Win32Registry::KeyExists(Root root, const std::wstring& path) {
    KeyHandle key;
    return OpenKey(root, path, KEY_READ, &key) == ERROR_SUCCESS;
}

bool Win32Registry::HasSubkeys(Root root, const std::wstring& path) {
    KeyHandle key;
    if (OpenKey(root, path, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return true;  // unknown: keep the key
    return subkeys != 0;
}

LONG Win32Registry::DeleteKey(Root root, const std::wstring& path) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;  // never a predefined key
    return RegDeleteKeyW(RootHandle(root), path.c_str());
}

LONG Win32Registry::DeleteTree(Root root, const std::wstring& path) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    return RegDeleteTreeW(RootHandle(root), path.c_str());
}

LONG Win32Registry::SetValue(Root root, const std::wstring& path, const std::wstring& name,
                             const Value& value) {
    KeyHandle key;
    LONG rc = OpenKey(root, path, KEY_SET_VALUE, &key);
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
    LONG rc = OpenKey(root, path, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    return RegDeleteValueW(key.get(), name.empty() ? nullptr : name.c_str());
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

HRESULT RunScriptResource(HMODULE module, UINT resourceId, bool doRegister,
                          RegistryBackend& registry) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    if (!info) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring text = DecodeScriptBytes(data, SizeofResource(module, info));
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return RunScript(text, {{L"MODULE", path}}, doRegister, registry);
}

HRESULT RegisterServer(HMODULE module) {
    Win32Registry registry;
    HRESULT hr = RunScriptResource(module, IDR_QLRCOM, true, registry);
    if (FAILED(hr)) return hr;
    hr = RunScriptResource(module, IDR_COMMSETTINGS, true, registry);
    if (FAILED(hr)) return hr;
    hr = RunScriptResource(module, IDR_QLRPORTLIST, true, registry);
    if (FAILED(hr)) return hr;

    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring folder = path;
    const size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash);

    com::ComPtr<ITypeLib> typeLib;
    hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put());
    if (FAILED(hr)) return hr;
    // RegisterTypeLib takes non-const strings.
    std::wstring pathArg = path;
    return RegisterTypeLib(typeLib.get(), &pathArg[0], folder.empty() ? nullptr : &folder[0]);
}

HRESULT UnregisterServer(HMODULE module) {
    Win32Registry registry;
    RunScriptResource(module, IDR_QLRCOM, false, registry);
    RunScriptResource(module, IDR_COMMSETTINGS, false, registry);
    RunScriptResource(module, IDR_QLRPORTLIST, false, registry);
    return S_OK;
}

}  // namespace qlr::reg
