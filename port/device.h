// The port device: the communication operations that the session, the watch
// thread, receive, send and the transfer engines use, with the system's
// semantics. A local port forwards them to the platform layer with its handle;
// a network or loop port emulates them (see network_device.h), so nothing
// above this interface knows which kind it drives.
//
// Every call behaves as the system call of the same name on an overlapped
// handle: a failure returns FALSE with the reason in the thread's last error
// (platform::Current().GetLastError()); an operation that cannot finish at
// once returns FALSE with ERROR_IO_PENDING and later completes through its
// record, whose event is then set. GetOverlappedResult collects it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace qlr::port {

class Device {
public:
    virtual ~Device() = default;

    // The system's handle of a local port; nullptr for a port that has none.
    virtual HANDLE SystemHandle() const = 0;

    virtual BOOL SetCommMask(DWORD mask) = 0;
    virtual BOOL SetupComm(DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL PurgeComm(DWORD flags) = 0;
    virtual BOOL SetCommTimeouts(COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL GetCommState(DCB* dcb) = 0;
    virtual BOOL SetCommState(DCB* dcb) = 0;
    virtual BOOL EscapeCommFunction(DWORD function) = 0;
    virtual BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* record) = 0;
    virtual BOOL ClearCommError(DWORD* errors, COMSTAT* stat) = 0;
    virtual BOOL ReadFile(void* buffer, DWORD length, DWORD* done, OVERLAPPED* record) = 0;
    virtual BOOL WriteFile(const void* data, DWORD length, DWORD* done, OVERLAPPED* record) = 0;
    virtual BOOL GetOverlappedResult(OVERLAPPED* record, DWORD* done, BOOL wait) = 0;
    virtual BOOL CancelIoEx(OVERLAPPED* record) = 0;
    virtual BOOL TransmitCommChar(char c) = 0;
    virtual BOOL SetCommBreak() = 0;
    virtual BOOL ClearCommBreak() = 0;
    virtual BOOL GetCommModemStatus(DWORD* status) = 0;
};

// A local port: the platform layer's calls on a handle the device owns.
class LocalDevice final : public Device {
public:
    explicit LocalDevice(HANDLE handle) : handle_(handle) {}
    ~LocalDevice() override;

    HANDLE SystemHandle() const override { return handle_; }
    BOOL SetCommMask(DWORD mask) override;
    BOOL SetupComm(DWORD inQueue, DWORD outQueue) override;
    BOOL PurgeComm(DWORD flags) override;
    BOOL SetCommTimeouts(COMMTIMEOUTS* timeouts) override;
    BOOL GetCommState(DCB* dcb) override;
    BOOL SetCommState(DCB* dcb) override;
    BOOL EscapeCommFunction(DWORD function) override;
    BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* record) override;
    BOOL ClearCommError(DWORD* errors, COMSTAT* stat) override;
    BOOL ReadFile(void* buffer, DWORD length, DWORD* done, OVERLAPPED* record) override;
    BOOL WriteFile(const void* data, DWORD length, DWORD* done, OVERLAPPED* record) override;
    BOOL GetOverlappedResult(OVERLAPPED* record, DWORD* done, BOOL wait) override;
    BOOL CancelIoEx(OVERLAPPED* record) override;
    BOOL TransmitCommChar(char c) override;
    BOOL SetCommBreak() override;
    BOOL ClearCommBreak() override;
    BOOL GetCommModemStatus(DWORD* status) override;

    // Gives the handle up without closing it (a caller that lent it).
    HANDLE Release();

private:
    HANDLE handle_;
};

}  // namespace qlr::port
