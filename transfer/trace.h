// The debug trace channel: while QcDebugTrace is set, every completed send
// and read is handed to qlrshm32.dll's SetSharedMem (data, length, direction)
// and the trace viewer, a window of class "QLRTRACE", is then told of it with
// WM_USER, sent synchronously.
//
// qlrshm32.dll is loaded only by its full path next to the module that holds
// this code (never by bare name: a planted copy in the host's folder must not
// run), on the first record, and kept loaded, so its shared section is not
// made anew per record; without it tracing does nothing.
// The viewer is looked for anew with every record; one that does not answer
// within kViewerTimeoutMs is given up for that record, so a hung viewer delays
// the host's send or read but cannot stop it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

namespace qlr {
struct ControlState;
}

namespace qlr::trace {

enum class Direction : LONG { kSent = 115, kReceived = 114 };  // 's', 'r'

constexpr char kLibraryName[] = "qlrshm32.dll";
constexpr char kExportName[] = "SetSharedMem";
constexpr char kViewerClass[] = "QLRTRACE";
constexpr UINT kViewerMessage = WM_USER;
constexpr UINT kViewerTimeoutMs = 2000;

// Signature of SetSharedMem.
using SetSharedMemFn = int(WINAPI*)(const unsigned char* data, long length, long direction);

// Mirrors one run of bytes: when state.QcDebugTrace is nonzero, hands it over
// and notifies the viewer; otherwise does nothing. Never fails.
void Record(const ControlState& state, Direction direction, const unsigned char* bytes,
            size_t length);

inline void Sent(const ControlState& state, const unsigned char* bytes, size_t length) {
    Record(state, Direction::kSent, bytes, length);
}
inline void Received(const ControlState& state, const unsigned char* bytes, size_t length) {
    Record(state, Direction::kReceived, bytes, length);
}

// The two outside ends, replaceable by tests.
class Endpoints {
public:
    virtual ~Endpoints() = default;
    // Calls SetSharedMem; false when the library or its export is missing.
    virtual bool SetSharedMem(const unsigned char* data, LONG length, LONG direction) = 0;
    // The viewer's window, or null.
    virtual HWND FindViewer() = 0;
    // Sends the viewer kViewerMessage and waits for it to be handled (bounded).
    virtual void NotifyViewer(HWND viewer) = 0;
};

// The real ends. With a library path, only that file is loaded; without one,
// qlrshm32.dll next to this module. The library is loaded once and kept until
// the object goes.
class Win32Endpoints : public Endpoints {
public:
    Win32Endpoints() = default;
    explicit Win32Endpoints(std::string libraryPath) : libraryPath_(std::move(libraryPath)) {}
    ~Win32Endpoints() override;
    Win32Endpoints(const Win32Endpoints&) = delete;
    Win32Endpoints& operator=(const Win32Endpoints&) = delete;
    bool SetSharedMem(const unsigned char* data, LONG length, LONG direction) override;
    HWND FindViewer() override;
    void NotifyViewer(HWND viewer) override;

private:
    HMODULE Library();

    std::string libraryPath_;
    std::atomic<HMODULE> module_{nullptr};
};

// The ends in force: Win32Endpoints unless a test installed others.
Endpoints& CurrentEndpoints();
// Installs replacement ends (nullptr restores the real ones). Tests only.
void InstallEndpoints(Endpoints* endpoints);

}  // namespace qlr::trace
