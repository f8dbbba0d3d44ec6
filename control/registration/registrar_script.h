// control/registration: registrar and its scripts, class factories, the module entry points.
// The registrar script syntax that the REGISTRY resources are written in: its
// parsed form and the parser.
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

}  // namespace qlr::reg
