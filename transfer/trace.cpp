#include "transfer/trace.h"

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "port/state.h"

namespace qlr::trace {
namespace {

Endpoints* g_installed = nullptr;

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
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
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

// Only ever by full path: a library of that name in the host's current folder
// or along the search path must never run inside the host.
HMODULE LoadTraceLibrary(const std::string& explicitPath) {
    QuietErrors quiet;
    if (!explicitPath.empty()) return ::LoadLibraryA(explicitPath.c_str());
    const std::wstring dir = OwnDirectory();
    if (dir.empty()) return nullptr;
    const std::wstring beside = dir + L"qlrshm32.dll";
    return ::LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

Win32Endpoints::~Win32Endpoints() {
    if (HMODULE module = module_.exchange(nullptr)) ::FreeLibrary(module);
}

HMODULE Win32Endpoints::Library() {
    if (HMODULE module = module_.load()) return module;
    HMODULE loaded = LoadTraceLibrary(libraryPath_);
    if (!loaded) return nullptr;  // looked for again with the next record
    HMODULE expected = nullptr;
    if (module_.compare_exchange_strong(expected, loaded)) return loaded;
    ::FreeLibrary(loaded);  // another thread was first
    return expected;
}

bool Win32Endpoints::SetSharedMem(const unsigned char* data, LONG length, LONG direction) {
    HMODULE library = Library();
    if (!library) return false;
    auto fn = reinterpret_cast<SetSharedMemFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, kExportName)));
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
    // Never destroyed: the library is not freed while the module unloads.
    static Win32Endpoints* real = new Win32Endpoints;
    return g_installed ? *g_installed : *real;
}

void InstallEndpoints(Endpoints* endpoints) { g_installed = endpoints; }

void Record(const ControlState& state, Direction direction, const unsigned char* bytes,
            size_t length) {
    if (!state.QcDebugTrace) return;
    Endpoints& ends = CurrentEndpoints();
    const LONG count =
        length > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<LONG>(length);
    if (!ends.SetSharedMem(bytes, count, static_cast<LONG>(direction))) return;
    if (HWND viewer = ends.FindViewer()) ends.NotifyViewer(viewer);
}

}  // namespace qlr::trace
