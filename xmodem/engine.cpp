#include "xmodem/engine.h"

#include <algorithm>

namespace qlr::xmodem {

XModemEngine::XModemEngine(FileSystem& files, FailureMessage sendFailed)
    : files_(files), sendFailed_(std::move(sendFailed)) {
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        crcTable_[i] = crc;
    }
}

long XModemEngine::Send(ControlState& s, const wchar_t* fileName, short protocol,
                        short showMessages) {
    return Send(s.hComm.load(), fileName, s.readOverlapped, s.writeOverlapped, s.QcStatus,
                s.QcProgress, protocol, s.abortRequested, showMessages);
}

long XModemEngine::Receive(ControlState& s, const wchar_t* fileName, short protocol,
                           short showMessages) {
    return Receive(s.hComm.load(), fileName, s.readOverlapped, s.writeOverlapped, s.QcStatus,
                   s.QcProgress, protocol, s.abortRequested, showMessages);
}

void XModemEngine::Attach(HANDLE port, const OVERLAPPED& read, const OVERLAPPED& write) {
    port_ = port;
    read_ = read;
    write_ = write;
}

long XModemEngine::ReadOnce(unsigned char* buffer, DWORD want, DWORD& got, bool& pended,
                            const std::atomic<short>* abort) {
    platform::Api& api = platform::Current();
    HANDLE event = read_.hEvent;
    got = 0;
    pended = false;
    api.ResetEvent(event);
    DWORD done = 0;
    if (api.ReadFile(port_, buffer, want, &done, &read_)) {
        got = std::min(done, want);
        return 0;
    }
    DWORD error = api.GetLastError();
    if (error == ERROR_IO_PENDING) {
        pended = true;
        for (;;) {
            if (!abort || abort->load()) {
                api.CancelIoEx(port_, &read_);
                while (api.WaitForSingleObject(event, kWaitSliceMs) == WAIT_TIMEOUT) {
                }
                break;
            }
            const DWORD waited = api.WaitForSingleObject(event, kWaitSliceMs);
            if (waited == WAIT_OBJECT_0) break;
            if (waited != WAIT_TIMEOUT) abort = nullptr;  // the wait itself failed: cancel
        }
        done = 0;
        if (api.GetOverlappedResult(port_, &read_, &done, FALSE)) {
            got = std::min(done, want);
            return 0;
        }
        error = api.GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {  // our own cancel; what it took counts
            got = std::min(done, want);
            return 0;
        }
    }
    api.ClearCommError(port_, nullptr, nullptr);
    return error != 0 ? static_cast<long>(error) : static_cast<long>(ERROR_GEN_FAILURE);
}

long XModemEngine::PollByte(unsigned char& byte) {
    DWORD got = 0;
    bool pended = false;
    const long rc = ReadOnce(&byte, 1, got, pended, nullptr);
    if (rc != 0) return rc;
    return got == 1 ? 0 : -1;
}

long XModemEngine::ReadExact(unsigned char* buffer, DWORD n, const std::atomic<short>& abort) {
    DWORD total = 0;
    while (total < n) {
        if (abort.load()) return kAborted;
        DWORD got = 0;
        bool pended = false;
        const long rc = ReadOnce(buffer + total, n - total, got, pended, &abort);
        if (rc != 0) return rc;
        total += got;
        // A driver that answered at once with nothing is asked again shortly;
        // one that left the read pending has already waited on its event.
        if (got == 0 && !pended) platform::Current().Sleep(kIdlePollMs);
    }
    return 0;
}

long XModemEngine::ReadByte(unsigned char& byte, const std::atomic<short>& abort) {
    return ReadExact(&byte, 1, abort);
}

long XModemEngine::ReadCrc(std::uint16_t& value, const std::atomic<short>& abort) {
    unsigned char high = 0, low = 0;
    long rc = ReadByte(high, abort);
    if (rc == 0) rc = ReadByte(low, abort);
    if (rc == 0) value = static_cast<std::uint16_t>((high << 8) | low);
    return rc;
}

long XModemEngine::ReadBlock(unsigned char* buffer, DWORD size, const std::atomic<short>& abort) {
    std::fill(buffer, buffer + size, static_cast<unsigned char>(0));
    return ReadExact(buffer, size, abort);
}

long XModemEngine::WriteBytes(const unsigned char* buffer, WORD n,
                              const std::atomic<short>& abort) {
    platform::Api& api = platform::Current();
    HANDLE event = write_.hEvent;
    DWORD sent = 0;
    while (sent < n) {
        if (abort.load()) return kAborted;
        api.ResetEvent(event);
        DWORD done = 0;
        if (!api.WriteFile(port_, buffer + sent, n - sent, &done, &write_)) {
            if (api.GetLastError() != ERROR_IO_PENDING) {
                api.ClearCommError(port_, nullptr, nullptr);
                return -1;
            }
            for (;;) {
                const DWORD waited = api.WaitForSingleObject(event, kWaitSliceMs);
                if (waited == WAIT_TIMEOUT && !abort.load()) continue;
                if (waited != WAIT_OBJECT_0) {  // aborted, or the wait failed: cancel
                    api.CancelIoEx(port_, &write_);
                    while (api.WaitForSingleObject(event, kWaitSliceMs) == WAIT_TIMEOUT) {
                    }
                }
                done = 0;
                if (api.GetOverlappedResult(port_, &write_, &done, FALSE)) break;
                if (api.GetLastError() == ERROR_IO_INCOMPLETE) continue;
                api.ClearCommError(port_, nullptr, nullptr);  // go on with the rest
                break;
            }
        }
        sent += std::min(done, static_cast<DWORD>(n - sent));
        if (done == 0 && sent < n) api.Sleep(kIdlePollMs);  // a write time-out took nothing
    }
    return 0;
}

long XModemEngine::WriteByte(unsigned char value, const std::atomic<short>& abort) {
    return WriteBytes(&value, 1, abort);
}

long XModemEngine::WriteCrc(std::uint16_t value, const std::atomic<short>& abort) {
    if (WriteByte(static_cast<unsigned char>(value >> 8), abort) != 0) return -1;
    if (WriteByte(static_cast<unsigned char>(value & 0xFF), abort) != 0) return -1;
    return 0;
}

long XModemEngine::WriteBlock(const unsigned char* buffer, DWORD size,
                              const std::atomic<short>& abort) {
    return WriteBytes(buffer, static_cast<WORD>(size), abort);
}

void XModemEngine::PurgeQueues() {
    platform::Current().PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void XModemEngine::PadBlock(unsigned char* buffer, DWORD length, DWORD size) {
    if (length < size) std::fill(buffer + length, buffer + size, kSub);
}

DWORD XModemEngine::TrimPadding(const unsigned char* buffer, DWORD size) {
    while (size > 0 && buffer[size - 1] == kSub) --size;
    return size;
}

unsigned char XModemEngine::Checksum128(const unsigned char* buffer) {
    return Checksum(buffer, kSmallBlock);
}

unsigned char XModemEngine::Checksum(const unsigned char* buffer, DWORD length) {
    unsigned sum = 0;
    for (DWORD i = 0; i < length; ++i) sum += buffer[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

std::uint16_t XModemEngine::Crc16(const unsigned char* buffer, DWORD length,
                                  std::uint16_t initial) const {
    std::uint16_t crc = initial;
    for (DWORD i = 0; i < length; ++i)
        crc = static_cast<std::uint16_t>(crcTable_[((crc >> 8) ^ buffer[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

bool XModemEngine::Pause(DWORD ms, const std::atomic<short>& abort) {
    platform::Api& api = platform::Current();
    const DWORD start = api.GetTickCount();
    for (;;) {
        if (abort.load()) return false;
        const DWORD elapsed = api.GetTickCount() - start;
        if (elapsed >= ms) return true;
        api.Sleep(std::min(ms - elapsed, kWaitSliceMs));
    }
}

}  // namespace qlr::xmodem
