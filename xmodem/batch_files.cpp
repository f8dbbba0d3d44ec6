#include "xmodem/batch_files.h"

#include <algorithm>
#include <cwctype>

#include "platform/platform.h"
#include "platform/unique.h"

namespace qlr::xmodem {
namespace {

constexpr size_t kLongestName = 200;
// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;

std::wstring Decode(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int n = static_cast<int>(bytes.size());
    for (UINT page : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(page, flags, bytes.data(), n, nullptr, 0);
        if (length <= 0) continue;
        std::wstring wide(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(page, flags, bytes.data(), n, &wide[0], length);
        return wide;
    }
    return std::wstring(bytes.begin(), bytes.end());
}

bool Reserved(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kFixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* fixed : kFixed)
        if (stem == fixed) return true;
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        const wchar_t d = stem[3];
        return (d >= L'0' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
    }
    return false;
}

long long UnixTime(const FILETIME& time) {
    const unsigned long long t =
        (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return t > kUnixEpoch ? static_cast<long long>((t - kUnixEpoch) / 10000000ULL) : 0;
}

FILETIME FileTime(long long unixSeconds) {
    const unsigned long long t =
        static_cast<unsigned long long>(unixSeconds) * 10000000ULL + kUnixEpoch;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
    time.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return time;
}

size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"\\/"); }

class DiskBatch final : public BatchFileSystem {
public:
    std::unique_ptr<File> OpenForReading(const wchar_t* name) override {
        return DiskFiles().OpenForReading(name);
    }
    std::unique_ptr<File> CreateForWriting(const wchar_t* name) override {
        return DiskFiles().CreateForWriting(name);
    }
    bool Stat(const wchar_t* path, FileFacts& facts) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
        facts.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.size =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        facts.modified = UnixTime(data.ftLastWriteTime);
        return true;
    }
    bool SetModified(const wchar_t* path, long long modified) override {
        const platform::UniqueHandle file(platform::Current().CreateFileW(
            path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL));
        if (!file.valid()) return false;
        const FILETIME time = FileTime(modified);
        return SetFileTime(file.get(), nullptr, nullptr, &time) != FALSE;
    }
    std::vector<std::wstring> Match(const std::wstring& pattern) override {
        std::vector<std::wstring> found;
        const size_t cut = LastSeparator(pattern);
        const std::wstring folder = cut == std::wstring::npos ? L"" : pattern.substr(0, cut + 1);
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return found;
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                found.push_back(folder + data.cFileName);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        std::sort(found.begin(), found.end());
        return found;
    }
    bool MakeFolder(const wchar_t* path) override {
        return CreateDirectoryW(path, nullptr) != FALSE;
    }
    std::unique_ptr<File> OpenForAppend(const wchar_t* path) override {
        HANDLE h = platform::Current().CreateFileW(path, GENERIC_WRITE, 0, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return nullptr;
        platform::UniqueHandle owner(h);
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) return nullptr;
        return DiskFileOf(owner.release());
    }
};

}  // namespace

BatchFileSystem& DiskBatchFiles() {
    static DiskBatch disk;
    return disk;
}

std::wstring SafeName(const std::string& sent) {
    std::wstring name = Decode(sent);
    const size_t cut = LastSeparator(name);
    if (cut != std::wstring::npos) name.erase(0, cut + 1);
    for (wchar_t& c : name)
        if (c < 0x20 || c == 0x7F || std::wcschr(L"<>:\"|?*", c)) c = L'_';
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    if (name.empty()) name = L"_";
    if (Reserved(name)) name.insert(0, 1, L'_');
    if (name.size() > kLongestName) {
        name.resize(kLongestName);
        if (name.back() >= 0xD800 && name.back() <= 0xDBFF) name.pop_back();  // half a pair
    }
    return name;
}

std::string HeaderName(const std::wstring& path) {
    const size_t cut = LastSeparator(path);
    const std::wstring last = cut == std::wstring::npos ? path : path.substr(cut + 1);
    if (last.empty()) return {};
    const int n = static_cast<int>(last.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, last.data(), n, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, last.data(), n, &bytes[0], length, nullptr, nullptr);
    return bytes;
}

std::vector<std::wstring> SplitNames(const std::wstring& names) {
    std::vector<std::wstring> pieces;
    size_t from = 0;
    for (;;) {
        const size_t bar = names.find(L'|', from);
        std::wstring piece = names.substr(from, bar == std::wstring::npos ? bar : bar - from);
        if (!piece.empty()) pieces.push_back(piece);
        if (bar == std::wstring::npos) return pieces;
        from = bar + 1;
    }
}

bool HasWildcard(const std::wstring& piece) {
    const size_t cut = LastSeparator(piece);
    return piece.find_first_of(L"*?", cut == std::wstring::npos ? 0 : cut + 1) !=
           std::wstring::npos;
}

bool ExpandNames(BatchFileSystem& files, const std::wstring& names,
                 std::vector<std::wstring>& paths, std::wstring& missing) {
    paths.clear();
    const std::vector<std::wstring> pieces = SplitNames(names);
    if (pieces.empty()) {
        missing = names;
        return false;
    }
    for (const std::wstring& piece : pieces) {
        FileFacts facts;
        if (HasWildcard(piece)) {
            const std::vector<std::wstring> matched = files.Match(piece);
            if (!matched.empty()) {
                paths.insert(paths.end(), matched.begin(), matched.end());
                continue;
            }
        } else if (files.Stat(piece.c_str(), facts) && !facts.folder) {
            paths.push_back(piece);
            continue;
        }
        missing = piece;
        return false;
    }
    return true;
}

Destination DestinationOf(BatchFileSystem& files, const std::wstring& name) {
    Destination d;
    FileFacts facts;
    const bool endsAsFolder = !name.empty() && (name.back() == L'\\' || name.back() == L'/');
    if (endsAsFolder || (!name.empty() && files.Stat(name.c_str(), facts) && facts.folder)) {
        d.folder = name;
        if (!endsAsFolder) d.folder += L'\\';
        return d;
    }
    d.first = name;
    const size_t cut = LastSeparator(name);
    if (cut != std::wstring::npos) d.folder = name.substr(0, cut + 1);
    return d;
}

std::wstring PathFor(const Destination& destination, size_t index, const std::string& sent) {
    if (index == 0 && !destination.first.empty()) return destination.first;
    return destination.folder + SafeName(sent);
}

}  // namespace qlr::xmodem
