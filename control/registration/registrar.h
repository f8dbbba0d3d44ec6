// control/registration: registrar and its scripts, class factories, the module entry points.
// Registration of the module: applying registrar scripts (registrar_script.h)
// to the registry, and the server's DllRegisterServer/DllUnregisterServer work.
//
// Registering: ForceRemove deletes the key with everything below it before
// writing it anew; Delete deletes the key; other keys are created or updated.
// Unregistering: ForceRemove keys are deleted whole; plain keys lose the
// entries the script names and are deleted when no subkey is left; NoRemove
// keys are never deleted; Delete entries are ignored.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "control/registration/registrar_script.h"

namespace qlr::reg {

// The registry operations that registering and unregistering need. Paths are
// backslash-separated and relative to the root; an empty value name stands
// for the key's default value. Results are Win32 error codes.
class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // Opens or creates the key and every missing key above it.
    virtual LONG CreateKey(Root root, const std::wstring& path) = 0;
    virtual bool KeyExists(Root root, const std::wstring& path) = 0;
    virtual bool HasSubkeys(Root root, const std::wstring& path) = 0;
    // Deletes a key that has no subkeys (its values go with it).
    virtual LONG DeleteKey(Root root, const std::wstring& path) = 0;
    // Deletes a key with everything below it; ERROR_FILE_NOT_FOUND if absent.
    virtual LONG DeleteTree(Root root, const std::wstring& path) = 0;
    virtual LONG SetValue(Root root, const std::wstring& path, const std::wstring& name,
                          const Value& value) = 0;
    // ERROR_FILE_NOT_FOUND if the key or the value is absent.
    virtual LONG DeleteValue(Root root, const std::wstring& path, const std::wstring& name) = 0;
};

// The real registry (HKEY_CLASSES_ROOT and the other predefined keys).
class Win32Registry final : public RegistryBackend {
public:
    LONG CreateKey(Root root, const std::wstring& path) override;
    bool KeyExists(Root root, const std::wstring& path) override;
    bool HasSubkeys(Root root, const std::wstring& path) override;
    LONG DeleteKey(Root root, const std::wstring& path) override;
    LONG DeleteTree(Root root, const std::wstring& path) override;
    LONG SetValue(Root root, const std::wstring& path, const std::wstring& name,
                  const Value& value) override;
    LONG DeleteValue(Root root, const std::wstring& path, const std::wstring& name) override;
};

// Writes the script's entries; returns S_OK or the first failure (the
// entries written before it stay).
HRESULT Register(const Script& script, RegistryBackend& registry);

// Removes the script's entries. Absent keys and values are no failure;
// returns S_OK or the first failure, after trying every entry.
HRESULT Unregister(const Script& script, RegistryBackend& registry);

// Parses and runs a script.
HRESULT RunScript(std::wstring_view text, const Replacements& replacements, bool doRegister,
                  RegistryBackend& registry);

// Loads the REGISTRY resource with the given id from module and runs it with
// %MODULE% set to the module's full path.
HRESULT RunScriptResource(HMODULE module, UINT resourceId, bool doRegister,
                          RegistryBackend& registry);

// DllRegisterServer: the three class scripts, then the type library (resource 1)
// with the module's folder as help folder. Returns the first failure.
HRESULT RegisterServer(HMODULE module);

// DllUnregisterServer: removes the entries of the three scripts; the type library
// stays registered. Always S_OK.
HRESULT UnregisterServer(HMODULE module);

}  // namespace qlr::reg
