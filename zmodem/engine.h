// ZMODEM batches, on the XModem engine's port operations.
//
// - Headers and data with CRC-32 when the receiver offers it (ours always
//   does), CRC-16 otherwise; data subpackets of up to 8192 bytes in, 8192
//   bytes out while the line is clean, 1024 after an error and twice as
//   many after each eight clean ones; escaping as
//   zmodem/frames.h says, every control character too when the receiver asks
//   for it (lrzsz's rz -e) or the sender does (ZSINIT, sz -e).
// - The sender streams (ZCRCG) and listens between subpackets: a ZRPOS
//   rewinds to that position, a ZCRC request gets the CRC-32 of the file's
//   first bytes, a ZSKIP skips the file. A ZRINIT after the ZFILE (the
//   receiver's answer to an earlier ZRQINIT) is listened past, not taken
//   for a lost ZFILE. A receiver with a limited buffer
//   gets a ZCRCW (and is waited for) each time it is full.
// - Crash recovery: a ZFILE that asks to resume (lrzsz's sz -r) for a file
//   that exists and is not longer makes the receiver ask for the CRC-32 of
//   that many bytes (ZCRC); when it matches the file's own, the file is
//   appended to from its end, otherwise it is received anew (after the
//   overwrite question).
// - Five CANs cancel; a single CAN in data is ZDLE, an escape. Our failures
//   and aborts send ten CANs (and ten backspaces) so that the peer stops.
// - Waits: about 10 s for a header (answered by the last header sent again,
//   ten times at most), 1 s between the bytes of a subpacket; ten bad
//   subpackets in a row end the transfer with 2112. The sender waits 60 s
//   for a receiver to start.
// - Files: names, lengths, times, the overwrite question and the partial
//   file of a cut as for YMODEM (a receiver stores what the sender sends,
//   stamps the file when its ZEOF arrives at the right position, and ends
//   the batch with 2112 when the file is shorter than the ZFILE said).
// - QcProgress counts KiB (1024 bytes) of file data sent or received in the
//   batch, kept to 16 bits: the existing part of a resumed file is not
//   counted, data sent again after an error are.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/open_port.h"
#include "xmodem/batch_files.h"
#include "xmodem/engine.h"
#include "xmodem/transfer_control.h"
#include "zmodem/frames.h"

namespace qlr::zmodem {

constexpr short kZModem = 6;
constexpr size_t kLongestSubpacket = 8192;
constexpr size_t kShortSubpacket = 1024;
constexpr DWORD kSenderStartMs = 60000;

class ZModemEngine {
public:
    using Overwrite = std::function<bool(const std::wstring& path)>;

    explicit ZModemEngine(xmodem::BatchFileSystem& files, Overwrite overwrite = {});

    long Send(port::Device& port, port::IoRecord& read, port::IoRecord& write,
              const std::vector<std::wstring>& paths, std::atomic<short>& status,
              std::atomic<short>& progress, const std::atomic<short>& abort);
    long Receive(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                 const xmodem::Destination& destination, std::atomic<short>& status,
                 std::atomic<short>& progress, const std::atomic<short>& abort);

    void SetTiming(const xmodem::Timing& timing) { io_.SetTiming(timing); }
    // Where the line-error flags the engine takes from the port go.
    void OnLineErrors(std::function<void(DWORD errors)> sink) { io_.OnLineErrors(std::move(sink)); }

private:
    // What a read gave instead of a byte or a header.
    enum : int {
        kGotTimeout = -1,
        kGotCancel = -2,
        kGotAbort = -3,
        kGotFailure = -4,
        kGotBad = -5,
    };
    int NextByte(DWORD ms, const std::atomic<short>& abort);
    // A byte of escaped data, or 0x100 | the end of a subpacket, or a kGot.
    int NextDecoded(DWORD ms, const std::atomic<short>& abort);
    // The next header's type, or a kGot; crc32 tells how it came.
    int ReadHeader(Header& header, DWORD ms, const std::atomic<short>& abort);
    // True when a header (or a cancel) has begun to arrive.
    bool HeaderWaiting(const std::atomic<short>& abort);
    // A data subpacket: its end character, or a kGot.
    int ReadSubpacket(std::vector<unsigned char>& data, const std::atomic<short>& abort);
    // 0, or the end code of a failed write.
    long Put(const std::atomic<short>& abort);
    long SendHex(const Header& header, const std::atomic<short>& abort);
    void Cancel();
    // The end code of a kGot.
    long CodeOf(int got);
    void Begin(port::Device& port, port::IoRecord& read, port::IoRecord& write,
               std::atomic<short>& status, std::atomic<short>& progress);
    long Fail(long code);
    void Note(unsigned long long bytes);  // more file data moved: QcProgress

    // The sender's parts.
    long SendFile(const std::wstring& path, const std::atomic<short>& abort);
    // Streams from position on until ZEOF is answered: 0, 1 (skipped) or a code.
    long SendData(const std::wstring& path, std::uint32_t position, std::uint32_t size,
                  const std::atomic<short>& abort);
    std::unique_ptr<xmodem::File> OpenAt(const std::wstring& path, std::uint32_t position);
    bool CrcOf(const std::wstring& path, std::uint32_t length, std::uint32_t& crc);

    xmodem::BatchFileSystem& files_;
    Overwrite overwrite_;
    xmodem::XModemEngine io_;
    Escaper escaper_;
    Unescaper unescaper_;
    std::vector<unsigned char> out_;
    unsigned char in_[port::kTransferIoBytes] = {};
    DWORD inAt_ = 0;
    DWORD inEnd_ = 0;
    long readError_ = 0;
    bool crc32_ = false;      // the last header came with CRC-32: its data do too
    bool sendCrc32_ = false;  // ours go with CRC-32
    unsigned receiverBuffer_ = 0;
    bool peerGone_ = false;
    std::atomic<short>* status_ = nullptr;
    std::atomic<short>* progress_ = nullptr;
    unsigned long long moved_ = 0;  // file data sent or received in the batch
    unsigned long shownKiB_ = 0;
};

// The batch runner of ZModem for the transfer worker.
long Run(ControlState& s, const xmodem::BatchJob& job, const xmodem::OverwriteQuestion& ask);

}  // namespace qlr::zmodem
