#include "port/device.h"

#include "platform/platform.h"

namespace qlr::port {

LocalDevice::~LocalDevice() {
    if (platform::ApiHandleTraits::Valid(handle_)) platform::Current().CloseHandle(handle_);
}

HANDLE LocalDevice::Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
}

BOOL LocalDevice::SetCommMask(DWORD mask) { return platform::Current().SetCommMask(handle_, mask); }
BOOL LocalDevice::SetupComm(DWORD inQueue, DWORD outQueue) {
    return platform::Current().SetupComm(handle_, inQueue, outQueue);
}
BOOL LocalDevice::PurgeComm(DWORD flags) { return platform::Current().PurgeComm(handle_, flags); }
BOOL LocalDevice::SetCommTimeouts(COMMTIMEOUTS* timeouts) {
    return platform::Current().SetCommTimeouts(handle_, timeouts);
}
BOOL LocalDevice::GetCommState(DCB* dcb) { return platform::Current().GetCommState(handle_, dcb); }
BOOL LocalDevice::SetCommState(DCB* dcb) { return platform::Current().SetCommState(handle_, dcb); }
BOOL LocalDevice::EscapeCommFunction(DWORD function) {
    return platform::Current().EscapeCommFunction(handle_, function);
}
BOOL LocalDevice::WaitCommEvent(DWORD* mask, OVERLAPPED* record) {
    return platform::Current().WaitCommEvent(handle_, mask, record);
}
BOOL LocalDevice::ClearCommError(DWORD* errors, COMSTAT* stat) {
    return platform::Current().ClearCommError(handle_, errors, stat);
}
BOOL LocalDevice::ReadFile(void* buffer, DWORD length, DWORD* done, OVERLAPPED* record) {
    return platform::Current().ReadFile(handle_, buffer, length, done, record);
}
BOOL LocalDevice::WriteFile(const void* data, DWORD length, DWORD* done, OVERLAPPED* record) {
    return platform::Current().WriteFile(handle_, data, length, done, record);
}
BOOL LocalDevice::GetOverlappedResult(OVERLAPPED* record, DWORD* done, BOOL wait) {
    return platform::Current().GetOverlappedResult(handle_, record, done, wait);
}
BOOL LocalDevice::CancelIoEx(OVERLAPPED* record) {
    return platform::Current().CancelIoEx(handle_, record);
}
BOOL LocalDevice::TransmitCommChar(char c) {
    return platform::Current().TransmitCommChar(handle_, c);
}
BOOL LocalDevice::SetCommBreak() { return platform::Current().SetCommBreak(handle_); }
BOOL LocalDevice::ClearCommBreak() { return platform::Current().ClearCommBreak(handle_); }
BOOL LocalDevice::GetCommModemStatus(DWORD* status) {
    return platform::Current().GetCommModemStatus(handle_, status);
}

}  // namespace qlr::port
