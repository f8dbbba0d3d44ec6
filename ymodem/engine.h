// YMODEM batch transfers, on the XModem engine's port operations and checks.
//
// - Every file goes with a header block (number 0): its name (last
//   component, UTF-8), then "size mtime 0" (decimal length, octal seconds
//   since 1970); a header with an empty name ends the batch.
// - Data blocks are CRC-16 blocks of 1024 bytes while more than 896 bytes are
//   left, then of 128 bytes; the last block is padded with SUB. A receiver
//   that starts with NAK gets 8-bit checksums instead.
// - The receiver asks with 'C', or with 'G' for streaming (YModemG): the
//   sender then sends every block without waiting for an answer, and the
//   receiver ends the transfer (CAN CAN) at the first damaged block. The
//   sender follows what its receiver asks for, whatever its own protocol.
// - The receiver stores exactly the length of the header (SUB padding is
//   trimmed only when a sender gives none) and sets the file's modification
//   time from it once the file is complete. A file cut part-way keeps the
//   bytes that arrived but not the sender's time, and the batch ends with the
//   code of the cut; a file that ends shorter than its header said ends the
//   batch with 2112. Files completed before stay as they are.
// - QcProgress counts the data blocks of the whole batch (128 or 1024 bytes
//   each), kept to 16 bits; QcStatus as for XModem.
// - Waits and retries as for XModem: about 10 s for an answer or a header,
//   1 s between the bytes of a block, ten tries of a block; the sender waits
//   60 s for a receiver to start. No pause between blocks.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "xmodem/batch_files.h"
#include "xmodem/engine.h"
#include "xmodem/transfer_control.h"

namespace qlr::ymodem {

enum Protocol : short { kYModem = 4, kYModemG = 5 };

constexpr unsigned char kStreamStart = 'G';
constexpr DWORD kSenderStartMs = 60000;  // a receiver started by hand
constexpr DWORD kSmallTailBytes = 896;   // 128-byte blocks from here on

class YModemEngine {
public:
    // Asked before an existing file is replaced; false keeps the file (what
    // the sender sends for it is dropped).
    using Overwrite = std::function<bool(const std::wstring& path)>;

    explicit YModemEngine(xmodem::BatchFileSystem& files, Overwrite overwrite = {});

    long Send(port::Device& port, port::IoRecord& read, port::IoRecord& write,
              const std::vector<std::wstring>& paths, std::atomic<short>& status,
              std::atomic<short>& progress, const std::atomic<short>& abort);
    long Receive(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                 const xmodem::Destination& destination, std::atomic<short>& status,
                 std::atomic<short>& progress, short protocol, const std::atomic<short>& abort);

    void SetTiming(const xmodem::Timing& timing) { io_.SetTiming(timing); }
    // Where the line-error flags the engine takes from the port go.
    void OnLineErrors(std::function<void(DWORD errors)> sink) { io_.OnLineErrors(std::move(sink)); }

private:
    // What Await found instead of a wanted byte.
    enum : int {
        kNothing = xmodem::XModemEngine::kAwaitNothing,
        kCancelled = xmodem::XModemEngine::kAwaitCancelled,
        kAbortedWait = xmodem::XModemEngine::kAwaitAborted,
        kReadFailed = xmodem::XModemEngine::kAwaitFailed,
    };
    // Reads until one of the wanted bytes comes; other bytes are noise.
    int Await(const char* wanted, DWORD ms, const std::atomic<short>& abort);
    // The request of a receiver that was waiting before the send began.
    int TakeQueuedRequest();
    // The end code for what a wait found instead of a wanted byte; 0 for nothing.
    long WaitFailure(int answer);
    // Whether the receiver cancelled while data was streamed to it.
    bool CancelledWhileStreaming();
    // One block out; without streaming it waits for its ACK, sending it
    // again up to the retry limit. 0 or the end code.
    long SendBlock(unsigned number, DWORD size, bool crc, bool streaming,
                   const std::atomic<short>& abort);
    // Reads the rest of a block whose header byte came: 0, kTimedOut or a code.
    long ReadRest(unsigned char header, DWORD& size, const std::atomic<short>& abort);
    bool Intact(DWORD size, bool crc) const;

    xmodem::BatchFileSystem& files_;
    Overwrite overwrite_;
    xmodem::XModemEngine io_;
    bool peerGone_ = false;   // the peer cancelled: nobody to send CAN CAN to
    bool streamCan_ = false;  // the last byte read while streaming was a CAN
    unsigned char block_[xmodem::kLargeBlock] = {};
    unsigned char frame_[3 + xmodem::kLargeBlock + 2] = {};
};

// The batch runner of YModem and YModemG for the transfer worker.
long Run(ControlState& s, const xmodem::BatchJob& job, const xmodem::OverwriteQuestion& ask);

}  // namespace qlr::ymodem
