#include "control/registrar.h"

#include <oleauto.h>

#include <cstring>
#include <cwctype>
#include <memory>

#include "resources/resource_ids.h"

namespace qlr::reg {

namespace {

// ---------------------------------------------------------------- lexing

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v'; }

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

enum class TokenKind { End, OpenBrace, CloseBrace, Equals, Word, Quoted, Bad };

struct Token {
    TokenKind kind = TokenKind::End;
    std::wstring text;
    int line = 1;
};

class Lexer {
public:
    explicit Lexer(std::wstring_view text) : text_(text) {}

    const Token& Peek() {
        if (!hasPeek_) {
            peek_ = Scan();
            hasPeek_ = true;
        }
        return peek_;
    }

    Token Next() {
        Peek();
        hasPeek_ = false;
        return std::move(peek_);
    }

private:
    Token Scan() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) {
            if (text_[pos_] == L'\n') ++line_;
            ++pos_;
        }
        Token t;
        t.line = line_;
        if (pos_ >= text_.size()) return t;
        const wchar_t c = text_[pos_];
        const bool nextIsBreak = pos_ + 1 >= text_.size() || IsSpace(text_[pos_ + 1]);
        if (c == L'{' && nextIsBreak) {
            ++pos_;
            t.kind = TokenKind::OpenBrace;
        } else if (c == L'}') {
            ++pos_;
            t.kind = TokenKind::CloseBrace;
        } else if (c == L'=') {
            ++pos_;
            t.kind = TokenKind::Equals;
        } else if (c == L'\'') {
            ++pos_;
            t.kind = TokenKind::Bad;  // until the closing quote is found
            while (pos_ < text_.size()) {
                const wchar_t q = text_[pos_++];
                if (q == L'\'') {
                    if (pos_ < text_.size() && text_[pos_] == L'\'') {
                        t.text += L'\'';
                        ++pos_;
                        continue;
                    }
                    t.kind = TokenKind::Quoted;
                    break;
                }
                if (q == L'\n') ++line_;
                t.text += q;
            }
        } else {
            t.kind = TokenKind::Word;
            while (pos_ < text_.size() && !IsSpace(text_[pos_])) t.text += text_[pos_++];
        }
        return t;
    }

    std::wstring_view text_;
    size_t pos_ = 0;
    int line_ = 1;
    bool hasPeek_ = false;
    Token peek_;
};

// ---------------------------------------------------------------- parsing

class Parser {
public:
    Parser(std::wstring_view text, const Replacements& replacements)
        : lexer_(text), replacements_(replacements) {}

    bool ParseScript(Script* script) {
        while (lexer_.Peek().kind != TokenKind::End) {
            Token t = lexer_.Next();
            if (t.kind != TokenKind::Word && t.kind != TokenKind::Quoted)
                return Fail(t, L"root key name expected");
            RootBlock block;
            if (!RootFromName(t.text, &block.root)) return Fail(t, L"unknown root key '" + t.text + L"'");
            Token open = lexer_.Next();
            if (open.kind != TokenKind::OpenBrace) return Fail(open, L"'{' expected after the root key");
            if (!ParseBody(&block.entries)) return false;
            script->roots.push_back(std::move(block));
        }
        return true;
    }

    const std::wstring& error() const { return error_; }

private:
    static bool RootFromName(const std::wstring& name, Root* root) {
        static const struct {
            const wchar_t* shortName;
            const wchar_t* longName;
            Root root;
        } kRoots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", Root::ClassesRoot},
            {L"HKCU", L"HKEY_CURRENT_USER", Root::CurrentUser},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", Root::LocalMachine},
            {L"HKU", L"HKEY_USERS", Root::Users},
            {L"HKCC", L"HKEY_CURRENT_CONFIG", Root::CurrentConfig},
        };
        for (const auto& r : kRoots) {
            if (EqualsNoCase(name, r.shortName) || EqualsNoCase(name, r.longName)) {
                *root = r.root;
                return true;
            }
        }
        return false;
    }

    // Entries up to and including the closing brace.
    bool ParseBody(std::vector<Entry>* entries) {
        for (;;) {
            Token t = lexer_.Next();
            if (t.kind == TokenKind::CloseBrace) return true;
            if (t.kind == TokenKind::End) return Fail(t, L"'}' missing at the end of the script");
            if (t.kind != TokenKind::Word && t.kind != TokenKind::Quoted)
                return Fail(t, L"key name expected");

            Entry e;
            if (t.kind == TokenKind::Word) {
                if (EqualsNoCase(t.text, L"NoRemove")) e.flag = Flag::NoRemove;
                else if (EqualsNoCase(t.text, L"ForceRemove")) e.flag = Flag::ForceRemove;
                else if (EqualsNoCase(t.text, L"Delete")) e.flag = Flag::Delete;
                if (e.flag != Flag::None) {
                    t = lexer_.Next();
                    if (t.kind != TokenKind::Word && t.kind != TokenKind::Quoted)
                        return Fail(t, L"key name expected after the flag");
                }
            }

            if (t.kind == TokenKind::Word && EqualsNoCase(t.text, L"val")) {
                if (e.flag != Flag::None && e.flag != Flag::NoRemove)
                    return Fail(t, L"a named value can only be marked NoRemove");
                Token name = lexer_.Next();
                if (name.kind != TokenKind::Word && name.kind != TokenKind::Quoted)
                    return Fail(name, L"value name expected after 'val'");
                e.isNamedValue = true;
                if (!Expand(name, &e.name)) return false;
                Token eq = lexer_.Next();
                if (eq.kind != TokenKind::Equals) return Fail(eq, L"'=' expected after the value name");
                if (!ParseValue(&e.value)) return false;
                e.hasValue = true;
                entries->push_back(std::move(e));
                continue;
            }

            if (!Expand(t, &e.name)) return false;
            if (e.name.empty()) return Fail(t, L"empty key name");
            if (lexer_.Peek().kind == TokenKind::Equals) {
                lexer_.Next();
                if (!ParseValue(&e.value)) return false;
                e.hasValue = true;
            }
            if (lexer_.Peek().kind == TokenKind::OpenBrace) {
                lexer_.Next();
                if (!ParseBody(&e.children)) return false;
            }
            entries->push_back(std::move(e));
        }
    }

    bool ParseValue(Value* value) {
        Token type = lexer_.Next();
        if (type.kind != TokenKind::Word || type.text.size() != 1)
            return Fail(type, L"value type (s, e, d or b) expected");
        Token data = lexer_.Next();
        if (data.kind != TokenKind::Quoted) return Fail(data, L"quoted value expected");
        std::wstring text;
        if (!Expand(data, &text)) return false;
        switch (AsciiLower(type.text[0])) {
            case L's':
                value->type = Value::Type::String;
                value->text = std::move(text);
                return true;
            case L'e':
                value->type = Value::Type::ExpandString;
                value->text = std::move(text);
                return true;
            case L'd':
                value->type = Value::Type::Dword;
                return ParseNumber(data, text, &value->number);
            case L'b':
                value->type = Value::Type::Binary;
                return ParseBytes(data, text, &value->bytes);
            default:
                return Fail(type, L"unknown value type '" + type.text + L"'");
        }
    }

    bool ParseNumber(const Token& at, const std::wstring& text, DWORD* number) {
        unsigned base = 10;
        size_t i = 0;
        if (text.size() > 2 && text[0] == L'0' && AsciiLower(text[1]) == L'x') {
            base = 16;
            i = 2;
        }
        if (i >= text.size()) return Fail(at, L"number expected");
        uint64_t n = 0;
        for (; i < text.size(); ++i) {
            const wchar_t c = AsciiLower(text[i]);
            unsigned digit;
            if (c >= L'0' && c <= L'9') digit = static_cast<unsigned>(c - L'0');
            else if (base == 16 && c >= L'a' && c <= L'f') digit = static_cast<unsigned>(c - L'a' + 10);
            else return Fail(at, L"invalid number '" + text + L"'");
            n = n * base + digit;
            if (n > 0xFFFFFFFFull) return Fail(at, L"number out of range '" + text + L"'");
        }
        *number = static_cast<DWORD>(n);
        return true;
    }

    bool ParseBytes(const Token& at, const std::wstring& text, std::vector<BYTE>* bytes) {
        if (text.size() % 2 != 0) return Fail(at, L"odd number of hex digits");
        auto hex = [](wchar_t c) -> int {
            c = AsciiLower(c);
            if (c >= L'0' && c <= L'9') return c - L'0';
            if (c >= L'a' && c <= L'f') return c - L'a' + 10;
            return -1;
        };
        for (size_t i = 0; i < text.size(); i += 2) {
            const int hi = hex(text[i]), lo = hex(text[i + 1]);
            if (hi < 0 || lo < 0) return Fail(at, L"invalid hex digits '" + text + L"'");
            bytes->push_back(static_cast<BYTE>(hi * 16 + lo));
        }
        return true;
    }

    // Replaces %NAME% by its replacement and %% by %.
    bool Expand(const Token& t, std::wstring* out) {
        out->clear();
        const std::wstring& s = t.text;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != L'%') {
                *out += s[i];
                continue;
            }
            const size_t close = s.find(L'%', i + 1);
            if (close == std::wstring::npos) return Fail(t, L"unterminated replacement in '" + s + L"'");
            const std::wstring_view name(s.data() + i + 1, close - i - 1);
            if (name.empty()) {
                *out += L'%';
            } else {
                const std::wstring* found = nullptr;
                for (const auto& r : replacements_)
                    if (EqualsNoCase(r.first, name)) found = &r.second;
                if (!found) return Fail(t, L"unknown replacement %" + std::wstring(name) + L"%");
                *out += *found;
            }
            i = close;
        }
        return true;
    }

    bool Fail(const Token& at, const std::wstring& what) {
        if (at.kind == TokenKind::Bad) error_ = L"line " + std::to_wstring(at.line) + L": unterminated quoted text";
        else error_ = L"line " + std::to_wstring(at.line) + L": " + what;
        return false;
    }

    Lexer lexer_;
    const Replacements& replacements_;
    std::wstring error_;
};

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
            case Flag::Delete:
                break;
            case Flag::ForceRemove:
                Note(first, registry.DeleteTree(root, path));
                break;
            case Flag::NoRemove:
                if (registry.KeyExists(root, path)) UnregisterEntries(root, path, e.children, registry, first);
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

class KeyHandle {
public:
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* put() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
        return &key_;
    }

private:
    HKEY key_ = nullptr;
};

LONG OpenKey(Root root, const std::wstring& path, REGSAM access, KeyHandle* key) {
    return RegOpenKeyExW(RootHandle(root), path.c_str(), 0, access, key->put());
}

struct ReleaseUnknown {
    void operator()(IUnknown* p) const { p->Release(); }
};

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

HRESULT ParseScript(std::wstring_view text, const Replacements& replacements, Script* script,
                    std::wstring* error) {
    Parser parser(text, replacements);
    Script parsed;
    if (!parser.ParseScript(&parsed)) {
        if (error) *error = parser.error();
        return kScriptSyntaxError;
    }
    *script = std::move(parsed);
    return S_OK;
}

std::wstring DecodeScriptBytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::wstring text;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        const size_t count = (size - 2) / sizeof(wchar_t);
        text.resize(count);
        if (count) std::memcpy(&text[0], bytes + 2, count * sizeof(wchar_t));
    } else {
        if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            bytes += 3;
            size -= 3;
        }
        if (size > 0) {
            const int n = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes),
                                              static_cast<int>(size), nullptr, 0);
            if (n > 0) {
                text.resize(static_cast<size_t>(n));
                MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(size),
                                    &text[0], n);
            }
        }
    }
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
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

HRESULT RunScriptResource(HMODULE module, UINT resourceId, bool doRegister, RegistryBackend& registry) {
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

    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring folder = path;
    const size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash);

    ITypeLib* raw = nullptr;
    hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &raw);
    if (FAILED(hr)) return hr;
    std::unique_ptr<ITypeLib, ReleaseUnknown> typeLib(raw);
    // RegisterTypeLib takes non-const strings.
    std::wstring pathArg = path;
    return RegisterTypeLib(typeLib.get(), &pathArg[0], folder.empty() ? nullptr : &folder[0]);
}

HRESULT UnregisterServer(HMODULE module) {
    Win32Registry registry;
    RunScriptResource(module, IDR_QLRCOM, false, registry);
    RunScriptResource(module, IDR_COMMSETTINGS, false, registry);
    return S_OK;
}

}  // namespace qlr::reg
