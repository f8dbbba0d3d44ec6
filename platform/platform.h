// The narrow layer between the control's logic and the operating system.
//
// Every serial-port, event, thread, timing and posting call that the port and
// transfer logic makes goes through Api, under the platform's own names, so that
// unit tests can swap in a scriptable fake (queues, modem lines, line errors,
// pending I/O, failing calls with chosen last-error codes).
#pragma once

#include <windows.h>

#include "platform/unique.h"

namespace qlr::platform {

class Api {
public:
    virtual ~Api() = default;

    // Serial device.
    virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) = 0;
    virtual BOOL CloseHandle(HANDLE h) = 0;
    // Disk files (the transfer's file): ReadFile, WriteFile and CloseHandle
    // serve them as well.
    virtual HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) = 0;
    virtual BOOL SetCommMask(HANDLE h, DWORD mask) = 0;
    virtual BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL PurgeComm(HANDLE h, DWORD flags) = 0;
    virtual BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL GetCommState(HANDLE h, DCB* dcb) = 0;
    virtual BOOL BuildCommDCBA(LPCSTR settings, DCB* dcb) = 0;
    virtual BOOL SetCommState(HANDLE h, DCB* dcb) = 0;
    virtual BOOL EscapeCommFunction(HANDLE h, DWORD func) = 0;
    virtual BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) = 0;
    virtual BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) = 0;
    virtual BOOL ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) = 0;
    virtual BOOL WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) = 0;
    virtual BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* done, BOOL wait) = 0;
    virtual BOOL CancelIoEx(HANDLE h, OVERLAPPED* ov) = 0;
    virtual BOOL TransmitCommChar(HANDLE h, char c) = 0;
    virtual BOOL SetCommBreak(HANDLE h) = 0;
    virtual BOOL ClearCommBreak(HANDLE h) = 0;
    virtual BOOL GetCommModemStatus(HANDLE h, DWORD* status) = 0;

    // Events, threads and timing.
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
    virtual BOOL SetEvent(HANDLE h) = 0;
    virtual BOOL ResetEvent(HANDLE h) = 0;
    virtual DWORD WaitForSingleObject(HANDLE h, DWORD ms) = 0;
    virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all,
                                         DWORD ms) = 0;
    virtual HANDLE CreateThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id) = 0;
    virtual BOOL SetThreadPriority(HANDLE thread, int priority) = 0;
    virtual DWORD GetTickCount() = 0;
    // A monotonic clock in microseconds (the performance counter).
    virtual ULONGLONG MicrosecondClock();
    virtual void Sleep(DWORD ms) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD code) = 0;

    // Messages to the host's thread.
    virtual BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) = 0;
};

// The Api in force: the real Win32 one unless a test installed another.
Api& Current();
// Installs a replacement (nullptr restores the real one). Tests only.
void Install(Api* api);

// Handles obtained through Api, closed through Api.
struct ApiHandleTraits {
    static HANDLE Empty() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { Current().CloseHandle(h); }
};
using UniqueHandle = Unique<HANDLE, ApiHandleTraits>;

}  // namespace qlr::platform
