// control/registration: registrar and its scripts, class factories, the module entry points.
// Registration of the module: applying registrar scripts (registrar_script.h)
// to the registry, and the server's DllRegisterServer/DllUnregisterServer work.
//
// Registering: ForceRemove deletes the key with everything below it before
// writing it anew; Delete deletes the key; other keys are created or updated.
// Unregistering: ForceRemove keys are deleted whole; plain keys lose the
// entries the script names and are deleted when no subkey is left; NoRemove
// keys are never deleted; Delete entries are ignored. A ProgID key (a key of
// the root with a CLSID subkey that the script gives a value) is left alone
// unless its CLSID names the script's class and the other architecture's
// registry view no longer registers that class: the ProgIDs live in the
// root shared by both views, the CLSID subtree does not.
//
// Where: machine-wide, HKCR is the classes root as the system merges it
// (written to HKLM\Software\Classes); per user (DllInstall with "user") every
// HKCR entry goes to HKCU\Software\Classes and nothing else is written.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

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
    // False only when the key is absent (a key that cannot be opened exists).
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
    // A string value; ERROR_FILE_NOT_FOUND if the key or the value is absent.
    virtual LONG ReadString(Root root, const std::wstring& path, const std::wstring& name,
                            std::wstring* text) = 0;
    // Whether the key exists in the other architecture's registry view (the
    // 32-bit view from a 64-bit process and the other way round); false where
    // there is no other view.
    virtual bool KeyExistsInOtherView(Root root, const std::wstring& path) = 0;
};

enum class Scope { Machine, User };

// The real registry (HKEY_CLASSES_ROOT and the other predefined keys); with
// Scope::User, HKEY_CLASSES_ROOT stands for HKCU\Software\Classes.
class Win32Registry final : public RegistryBackend {
public:
    explicit Win32Registry(Scope scope = Scope::Machine) : scope_(scope) {}
    LONG CreateKey(Root root, const std::wstring& path) override;
    bool KeyExists(Root root, const std::wstring& path) override;
    bool HasSubkeys(Root root, const std::wstring& path) override;
    LONG DeleteKey(Root root, const std::wstring& path) override;
    LONG DeleteTree(Root root, const std::wstring& path) override;
    LONG SetValue(Root root, const std::wstring& path, const std::wstring& name,
                  const Value& value) override;
    LONG DeleteValue(Root root, const std::wstring& path, const std::wstring& name) override;
    LONG ReadString(Root root, const std::wstring& path, const std::wstring& name,
                    std::wstring* text) override;
    bool KeyExistsInOtherView(Root root, const std::wstring& path) override;

private:
    LONG Open(Root root, const std::wstring& path, REGSAM access, HKEY* key) const;
    HKEY RootKey(Root root, std::wstring* path) const;

    Scope scope_;
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

// Registers the scripts in order; when one fails, removes again what the
// scripts wrote (by the unregistering rules) and returns that failure, so
// that no half registration is left behind.
HRESULT RegisterScripts(const std::vector<Script>& scripts, RegistryBackend& registry);

// Unregisters every script; returns S_OK or the first failure.
HRESULT UnregisterScripts(const std::vector<Script>& scripts, RegistryBackend& registry);

// DllRegisterServer (Scope::Machine) and DllInstall(TRUE, "user")
// (Scope::User): the three class scripts, then the type library (resource 1)
// with the module's folder as help folder (per user: RegisterTypeLibForUser).
// Returns the first failure, after removing what was written.
HRESULT RegisterServer(HMODULE module, Scope scope = Scope::Machine);

// DllUnregisterServer and DllInstall(FALSE, "user"): removes the entries of
// the three scripts; machine-wide the type library stays registered, per user
// it is removed too (UnRegisterTypeLibForUser). Returns S_OK or the first
// failure; what was never registered is no failure.
HRESULT UnregisterServer(HMODULE module, Scope scope = Scope::Machine);

// DllInstall: "user" (any letter case) registers or removes per user; an empty
// or missing command line or "machine" acts as DllRegisterServer and
// DllUnregisterServer; anything else is E_INVALIDARG.
HRESULT Install(HMODULE module, bool install, const wchar_t* commandLine);

}  // namespace qlr::reg
