#include "transfer/trace.h"

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "control/state.h"

namespace qlr::trace {
namespace {

Endpoints* g_installed = nullptr;

// A loaded library, freed with the object.
class Library {
public:
    explicit Library(HMODULE module) : module_(module) {}
    ~Library() {
        if (module_) ::FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// No "cannot find" message boxes while a library is looked for.
class QuietErrors {
public:
    QuietErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_); }
    ~QuietErrors() { ::SetThreadErrorMode(old_, nullptr); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    DWORD old_ = 0;
};

// The directory of the module that holds this code (qlrcom32.ocx, or a test
// program that links it), with a trailing separator; empty if unknown.
std::wstring OwnDirectory() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&OwnDirectory), &self))
        return {};
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            std::wstring dir(path.data(), n);
            size_t slash = dir.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

HMODULE LoadTraceLibrary(const std::string& explicitPath) {
    QuietErrors quiet;
    if (!explicitPath.empty()) return ::LoadLibraryA(explicitPath.c_str());
    std::wstring dir = OwnDirectory();
    if (!dir.empty()) {
        std::wstring beside = dir + L"qlrshm32.dll";
        if (HMODULE m = ::LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
            return m;
    }
    return ::LoadLibraryA(kLibraryName);
}

}  // namespace

bool Win32Endpoints::SetSharedMem(const unsigned char* data, LONG length, LONG direction) {
    Library library(LoadTraceLibrary(libraryPath_));
    if (!library.get()) return false;
    auto fn = reinterpret_cast<SetSharedMemFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), kExportName)));
    if (!fn) return false;
    fn(data, length, direction);  // its result tells nothing the control could act on
    return true;
}

HWND Win32Endpoints::FindViewer() { return ::FindWindowA(kViewerClass, nullptr); }

void Win32Endpoints::NotifyViewer(HWND viewer) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(viewer, kViewerMessage, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                          kViewerTimeoutMs, &result);
}

Endpoints& CurrentEndpoints() {
    static Win32Endpoints real;
    return g_installed ? *g_installed : real;
}

void InstallEndpoints(Endpoints* endpoints) { g_installed = endpoints; }

void Record(const ControlState& state, Direction direction, const unsigned char* bytes,
            size_t length) {
    if (!state.QcDebugTrace) return;
    Endpoints& ends = CurrentEndpoints();
    const LONG count = length > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<LONG>(length);
    if (!ends.SetSharedMem(bytes, count, static_cast<LONG>(direction))) return;
    if (HWND viewer = ends.FindViewer()) ends.NotifyViewer(viewer);
}

}  // namespace qlr::trace
