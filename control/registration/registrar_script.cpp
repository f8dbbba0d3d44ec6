// control/registration: registrar and its scripts, class factories, the module entry points.
// The registrar script's parser: text to a Script, nothing touched.
#include "control/registration/registrar_script.h"

#include <cstring>
#include <cwctype>

namespace qlr::reg {

namespace {

// ---------------------------------------------------------------- lexing

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v';
}

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

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
            if (!RootFromName(t.text, &block.root))
                return Fail(t, L"unknown root key '" + t.text + L"'");
            Token open = lexer_.Next();
            if (open.kind != TokenKind::OpenBrace)
                return Fail(open, L"'{' expected after the root key");
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
                if (EqualsNoCase(t.text, L"NoRemove"))
                    e.flag = Flag::NoRemove;
                else if (EqualsNoCase(t.text, L"ForceRemove"))
                    e.flag = Flag::ForceRemove;
                else if (EqualsNoCase(t.text, L"Delete"))
                    e.flag = Flag::Delete;
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
                if (eq.kind != TokenKind::Equals)
                    return Fail(eq, L"'=' expected after the value name");
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
        case L'd': value->type = Value::Type::Dword; return ParseNumber(data, text, &value->number);
        case L'b': value->type = Value::Type::Binary; return ParseBytes(data, text, &value->bytes);
        default: return Fail(type, L"unknown value type '" + type.text + L"'");
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
            if (c >= L'0' && c <= L'9')
                digit = static_cast<unsigned>(c - L'0');
            else if (base == 16 && c >= L'a' && c <= L'f')
                digit = static_cast<unsigned>(c - L'a' + 10);
            else
                return Fail(at, L"invalid number '" + text + L"'");
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
            if (close == std::wstring::npos)
                return Fail(t, L"unterminated replacement in '" + s + L"'");
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
        if (at.kind == TokenKind::Bad)
            error_ = L"line " + std::to_wstring(at.line) + L": unterminated quoted text";
        else
            error_ = L"line " + std::to_wstring(at.line) + L": " + what;
        return false;
    }

    Lexer lexer_;
    const Replacements& replacements_;
    std::wstring error_;
};

}  // namespace

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
                MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes),
                                    static_cast<int>(size), &text[0], n);
            }
        }
    }
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

}  // namespace qlr::reg
