#include "port/port_name.h"

#include <cwctype>

namespace qlr::port {
namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix, std::size_t& rest) {
    std::size_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= text.size() || std::towlower(text[i]) != prefix[i]) return false;
    rest = i;
    return true;
}

// HOST:PORT after the scheme; an empty path ("/") may follow.
bool HostAndPort(const std::wstring& text, PortAddress& out) {
    std::wstring rest = text;
    if (!rest.empty() && rest.back() == L'/') rest.pop_back();
    std::wstring host;
    std::size_t colon = 0;
    if (!rest.empty() && rest[0] == L'[') {
        const std::size_t close = rest.find(L']');
        if (close == std::wstring::npos || close + 1 >= rest.size() || rest[close + 1] != L':')
            return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(L':');
        if (colon == std::wstring::npos) return false;
        host = rest.substr(0, colon);
        if (host.find(L':') != std::wstring::npos) return false;  // IPv6 needs brackets
    }
    if (host.empty()) return false;
    for (wchar_t c : host)
        if (c <= L' ' || c > 0x7E || c == L'/' || c == L'@' || c == L'?' || c == L'#') return false;
    const std::wstring digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    unsigned long number = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (number == 0 || number > 65535) return false;
    out.host.assign(host.begin(), host.end());  // printable ASCII only, checked above
    out.tcpPort = static_cast<unsigned short>(number);
    return true;
}

bool LocalName(const std::wstring& text, PortAddress& out) {
    std::size_t at = 0;
    std::size_t skip = 0;
    if (StartsWithNoCase(text, L"\\\\.\\", skip)) at = skip;
    if (!StartsWithNoCase(text.substr(at), L"com", skip)) return false;
    at += skip;
    const std::wstring digits = text.substr(at);
    if (digits.empty() || digits.size() > 3 || digits[0] == L'0') return false;
    for (wchar_t c : digits)
        if (c < L'0' || c > L'9') return false;
    out.path = "\\\\.\\COM" + std::string(digits.begin(), digits.end());
    return true;
}

}  // namespace

PortAddress ParsePortName(const wchar_t* name) {
    PortAddress out;
    if (!name || !*name) return out;
    const std::wstring text(name);
    std::size_t rest = 0;
    bool ok = false;
    if (StartsWithNoCase(text, L"rfc2217://", rest)) {
        out.kind = PortAddress::kRfc2217;
        ok = HostAndPort(text.substr(rest), out);
    } else if (StartsWithNoCase(text, L"socket://", rest)) {
        out.kind = PortAddress::kSocket;
        ok = HostAndPort(text.substr(rest), out);
    } else if (StartsWithNoCase(text, L"loop://", rest)) {
        out.kind = PortAddress::kLoop;
        ok = text.size() == rest || (text.size() == rest + 1 && text.back() == L'/');
    } else {
        out.kind = PortAddress::kLocal;
        ok = LocalName(text, out);
    }
    if (!ok) out = PortAddress{PortAddress::kInvalid};
    return out;
}

}  // namespace qlr::port
