// Registration of the module: an interpreter of the registrar script syntax
// that the REGISTRY resources are written in, and the server's
// DllRegisterServer/DllUnregisterServer work.
//
// Script syntax:
//   script  := { rootkey '{' body '}' }
//   rootkey := HKCR | HKCU | HKLM | HKU | HKCC | HKEY_CLASSES_ROOT | ...
//   body    := { entry }
//   entry   := [NoRemove | ForceRemove | Delete] name [ '=' type 'text' ] [ '{' body '}' ]
//            | [NoRemove] 'val' name '=' type 'text'
//   type    := s (string) | e (expandable string) | d (number, decimal or 0x hex)
//            | b (hex bytes)
// A name is a bare word (ending at white space, such as {GUID} or a.b.1) or
// a quoted text. Quoted texts use '' for a single quote. %NAME% in names and
// values is replaced by a replacement parameter (%MODULE%), %% by %.
//
// Registering: ForceRemove deletes the key with everything below it before
// writing it anew; Delete deletes the key; other keys are created or updated.
// Unregistering: ForceRemove keys are deleted whole; plain keys lose the
// entries the script names and are deleted when no subkey is left; NoRemove
// keys are never deleted; Delete entries are ignored.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlr::reg {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

struct Value {
    enum class Type { String, ExpandString, Dword, Binary };
    Type type = Type::String;
    std::wstring text;        // String, ExpandString
    DWORD number = 0;         // Dword
    std::vector<BYTE> bytes;  // Binary

    bool operator==(const Value& o) const {
        return type == o.type && text == o.text && number == o.number && bytes == o.bytes;
    }
};

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

enum class Flag { None, NoRemove, ForceRemove, Delete };

// One entry of a script: a key (with its optional default value and its
// entries) or a named value ('val').
struct Entry {
    bool isNamedValue = false;
    Flag flag = Flag::None;
    std::wstring name;
    bool hasValue = false;
    Value value;
    std::vector<Entry> children;
};

struct RootBlock {
    Root root = Root::ClassesRoot;
    std::vector<Entry> entries;
};

struct Script {
    std::vector<RootBlock> roots;
};

using Replacements = std::vector<std::pair<std::wstring, std::wstring>>;

// The status of a script that does not follow the syntax.
constexpr HRESULT kScriptSyntaxError = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Parses a script. On a syntax error returns kScriptSyntaxError and, if error
// is given, a description with the line number.
HRESULT ParseScript(std::wstring_view text, const Replacements& replacements, Script* script,
                    std::wstring* error = nullptr);

// Decodes the bytes of a script resource: UTF-16LE with a byte-order mark,
// otherwise UTF-8 (with or without a byte-order mark).
std::wstring DecodeScriptBytes(const void* data, size_t size);

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

// DllRegisterServer: both class scripts, then the type library (resource 1)
// with the module's folder as help folder. Returns the first failure.
HRESULT RegisterServer(HMODULE module);

// DllUnregisterServer: removes the entries of both scripts; the type library
// stays registered. Always S_OK.
HRESULT UnregisterServer(HMODULE module);

}  // namespace qlr::reg
