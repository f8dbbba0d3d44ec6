// The real platform: each operation is the Win32 call of the same name.
#include <cstring>

#include "platform/platform.h"

namespace qlr::platform {

ULONGLONG Api::MicrosecondClock() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.QuadPart);
    const ULONGLONG f = static_cast<ULONGLONG>(frequency);
    return ticks / f * 1000000 + ticks % f * 1000000 / f;
}

namespace {

class Win32Api final : public Api {
public:
    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override {
        return ::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override {
        return ::CreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL SetCommMask(HANDLE h, DWORD mask) override { return ::SetCommMask(h, mask); }
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override { return ::SetupComm(h, in, out); }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
    BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) override { return ::SetCommTimeouts(h, t); }
    BOOL GetCommState(HANDLE h, DCB* dcb) override { return ::GetCommState(h, dcb); }
    BOOL BuildCommDCBA(LPCSTR settings, DCB* dcb) override {
        // The device-namespace prefix is not part of the mode syntax: hand over
        // "COM10:..." for "\\.\COM10:...".
        if (std::strncmp(settings, "\\\\.\\", 4) == 0) settings += 4;
        return ::BuildCommDCBA(settings, dcb);
    }
    BOOL SetCommState(HANDLE h, DCB* dcb) override { return ::SetCommState(h, dcb); }
    BOOL EscapeCommFunction(HANDLE h, DWORD func) override { return ::EscapeCommFunction(h, func); }
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) override {
        return ::WaitCommEvent(h, mask, ov);
    }
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) override {
        return ::ClearCommError(h, errors, stat);
    }
    BOOL ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) override {
        return ::ReadFile(h, buf, len, done, ov);
    }
    BOOL WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) override {
        return ::WriteFile(h, buf, len, done, ov);
    }
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* done, BOOL wait) override {
        return ::GetOverlappedResult(h, ov, done, wait);
    }
    BOOL CancelIoEx(HANDLE h, OVERLAPPED* ov) override { return ::CancelIoEx(h, ov); }
    BOOL TransmitCommChar(HANDLE h, char c) override { return ::TransmitCommChar(h, c); }
    BOOL SetCommBreak(HANDLE h) override { return ::SetCommBreak(h); }
    BOOL ClearCommBreak(HANDLE h) override { return ::ClearCommBreak(h); }
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        return ::GetCommModemStatus(h, status);
    }

    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
    }
    BOOL SetEvent(HANDLE h) override { return ::SetEvent(h); }
    BOOL ResetEvent(HANDLE h) override { return ::ResetEvent(h); }
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override { return ::WaitForSingleObject(h, ms); }
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) override {
        return ::WaitForMultipleObjects(count, handles, all, ms);
    }
    HANDLE CreateThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id) override {
        return ::CreateThread(nullptr, 0, routine, arg, 0, id);
    }
    BOOL SetThreadPriority(HANDLE thread, int priority) override {
        return ::SetThreadPriority(thread, priority);
    }
    DWORD GetTickCount() override { return ::GetTickCount(); }
    void Sleep(DWORD ms) override { ::Sleep(ms); }
    DWORD GetLastError() override { return ::GetLastError(); }
    void SetLastError(DWORD code) override { ::SetLastError(code); }
    BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override {
        return ::PostMessageA(wnd, msg, wp, lp);
    }
};

Win32Api g_win32;
Api* g_current = &g_win32;

}  // namespace

Api& Current() { return *g_current; }
void Install(Api* api) { g_current = api ? api : &g_win32; }

}  // namespace qlr::platform
