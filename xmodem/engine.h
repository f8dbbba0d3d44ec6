// XModem file transfer: the per-transfer engine, its port and check
// operations, the block format, the end codes and the status values.
//
// One XModemEngine serves one transfer on one worker thread. It talks to the
// open port through platform::Current() with the port's transfer records (its
// own events and buffers, never the host's), and to the file through a
// FileSystem, so that tests can use memory files.
//
// Beyond the bare protocol:
// - Every wait is bounded (Timing): about 10 s for a start character, an
//   answer or a block header, about 1 s between the bytes of a block. A
//   time-out counts like a rejected block where the protocol retries.
// - For the length of a transfer the port's reads wait for their first byte
//   (ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD, a short
//   constant), so an answer wakes the engine through the read's event and
//   its latency never depends on the system's timer tick. OpenComm's
//   time-outs are restored at the end.
// - The pauses (3000, 500 and 300 ms) end early when the abort request is set.
// - Stale input is dropped (the line left to settle, then purged) before the
//   sender's first block, before every block sent again, and after the ACK
//   of a block that went out more than once, so that no answer is taken for
//   the block after it.
// - CAN CAN from the peer ends the transfer with 2112; a failure or an abort
//   of ours sends CAN CAN, so that the peer stops too.
// - The receiver acknowledges a repeat of the last accepted block (the sender
//   missed our ACK) and discards it; it sets status 4 and is not an error.
// - An EOT ends a receive only when the line stays quiet after it; the sender
//   repeats EOT when it is answered with NAK or not at all, up to 10 EOTs.
// - A block with a byte right behind it is refused: the sender is silent
//   until answered, so the block took in a foreign byte.
// - The checksum of a 1024-byte block is the sum of all its bytes, as standard
//   receivers check it. The receiver also knows the sum of the first 128
//   bytes that older senders put there, but it settles on one rule per
//   transfer, from two equal copies of a block that only one rule accepts.
// - Each block goes out with one write; the receiver writes each accepted
//   block to the file before its ACK (trailing SUB bytes wait for the next).
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "port/overlapped_io.h"
#include "port/device.h"
#include "port/state.h"

namespace qlr::xmodem {

// End codes of Send and Receive. A failed port read while the sender waits
// for the answer to EOT gives the system's error number instead.
enum EndCode : long {
    kCompleted = 0,
    kFileOpenFailed = 2102,   // cannot open for reading / create for writing
    kFileReadFailed = 2103,   // sending
    kFileWriteFailed = 2104,  // receiving
    kByteWriteFailed = 2105,  // header, number, complement, checksum; 'C', NAK, ACK
    kCrcWriteFailed = 2106,
    kDataWriteFailed = 2107,
    kByteReadFailed = 2108,  // start character or answer; number, complement, checksum
    kCrcReadFailed = 2109,
    kDataReadFailed = 2110,
    kProtocolFailed = 2112,   // no start, retry limit, EOT not acknowledged, bad header
    kNoChecksumStart = 2113,  // checksum receiving: no block after three NAKs
    kAborted = 2114,
};

// QcStatus values.
enum Status : short {
    kStatusFailed = -1,
    kStatusCompleted = 0,
    kStatusRunning = 1,
    kStatusBadCrc = 2,         // receiving: last rejected block had a wrong CRC
    kStatusBadComplement = 3,  // receiving: ... a complement that did not match
    kStatusBadNumber = 4,      // receiving: ... an unexpected number (or a repeat)
};

// QcProtocol values.
enum Protocol : short { kXModemAuto = 0, kXModemCheckSum = 1, kXModemCrc = 2, kXModem1K = 3 };

// Control characters on the line.
constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kCrcStart = 'C';
constexpr unsigned char kSub = 0x1A;

constexpr DWORD kSmallBlock = 128;
constexpr DWORD kLargeBlock = 1024;
constexpr int kRetryLimit = 10;

// Timing.
constexpr DWORD kSendStartPauseMs = 3000;  // one of the sender's four start attempts
constexpr DWORD kSendAfterStartMs = 500;
constexpr DWORD kStartQuietMs = 20;  // silence that ends the sender's wait after the start
constexpr DWORD kRecvStartPauseMs = 3000;
constexpr DWORD kRecvPassPauseMs = 300;
constexpr DWORD kWaitSliceMs = 50;  // longest wait between two looks at the abort request
constexpr DWORD kIdlePollMs = 3;    // sleep after an immediate empty read
constexpr DWORD kReadWaitMs = 50;   // a transfer's read waits this long for its first byte
constexpr DWORD kFifoBytes = 16;    // the bytes a port's receive FIFO hands over at once

// The bounds of the waits; tests shorten them.
struct Timing {
    DWORD answerMs = 10000;       // a start character, an answer or a block header
    DWORD byteGapMs = 1000;       // between two bytes of one block
    DWORD quietMs = 100;          // silence after EOT, or before a block goes out again
    DWORD settleBudgetMs = 2000;  // longest wait for the line to settle
    DWORD writeStallMs = 10000;   // a write that moves nothing this long fails
};

// ReadWithin's result when the wait ran out (never an end code).
constexpr long kTimedOut = -2;

// The CAN bytes at the end of what the line brought, backspaces not counted
// (lrzsz follows its CANs with backspaces): two are a peer's cancel.
struct CancelTail {
    int cans = 0;
    void Feed(const unsigned char* bytes, DWORD count) {
        for (DWORD i = 0; i < count; ++i)
            if (bytes[i] == kCan)
                ++cans;
            else if (bytes[i] != 0x08)
                cans = 0;
    }
    bool Heard() const { return cans >= 2; }
};

// The transfer's file, opened by a FileSystem and closed by its destructor.
class File {
public:
    virtual ~File() = default;
    // Reads up to want bytes; got < want only at the end of the file.
    virtual bool Read(unsigned char* buffer, DWORD want, DWORD& got) = 0;
    // Writes all count bytes.
    virtual bool Write(const unsigned char* buffer, DWORD count) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual std::unique_ptr<File> OpenForReading(const wchar_t* name) = 0;
    // Creates the file, replacing an existing one.
    virtual std::unique_ptr<File> CreateForWriting(const wchar_t* name) = 0;
};

// Disk files through platform::Current().
FileSystem& DiskFiles();

// The open port's handle and transfer records, which the engines use in
// place (the records outlive the transfer); while the port is not open the
// view's own empty records stand in and every operation fails.
struct PortView {
    port::Device* device = nullptr;  // never null once ViewOf made it
    port::IoRecord* read = nullptr;
    port::IoRecord* write = nullptr;
    port::IoRecord none;

    port::IoRecord& Read() { return read ? *read : none; }
    port::IoRecord& Write() { return write ? *write : none; }
};
PortView ViewOf(ControlState& s);

// Line errors an engine took from the port reach the host as the watch
// thread's do (WM_COMM_ERROR, 124).
std::function<void(DWORD errors)> PostLineErrors(ControlState& s);

class XModemEngine {
public:
    // Shown by Send's failure ending when its show-messages flag is nonzero
    // (the worker passes the message box of the send failure); may be empty.
    using FailureMessage = std::function<void(long code)>;

    explicit XModemEngine(FileSystem& files, FailureMessage sendFailed = {});
    XModemEngine(const XModemEngine&) = delete;
    XModemEngine& operator=(const XModemEngine&) = delete;

    // One transfer each; the result is the end code. The arguments are those of
    // the transfer record: port, file name, read record, write record, status,
    // progress, protocol, abort request and show-messages flag.
    long Send(port::Device& port, const wchar_t* fileName, port::IoRecord& read,
              port::IoRecord& write, std::atomic<short>& status, std::atomic<short>& progress,
              short protocol, const std::atomic<short>& abort, short showMessages);
    long Receive(port::Device& port, const wchar_t* fileName, port::IoRecord& read,
                 port::IoRecord& write, std::atomic<short>& status, std::atomic<short>& progress,
                 short protocol, const std::atomic<short>& abort, short showMessages);
    // The same, with the port, transfer records, status, progress and abort
    // request of the control; line errors go to the control's window as the
    // watch thread reports them (WM_COMM_ERROR, 124).
    long Send(ControlState& s, const wchar_t* fileName, short protocol, short showMessages);
    long Receive(ControlState& s, const wchar_t* fileName, short protocol, short showMessages);

    // ---- port operations (on the attached port) ----
    // Keeps the port device and the two records (which outlive the engine).
    void Attach(port::Device& port, port::IoRecord& read, port::IoRecord& write);
    // Where the line-error flags that the engine's looks at the port take go;
    // nothing the engine clears is lost unreported.
    void OnLineErrors(std::function<void(DWORD errors)> sink) { lineErrors_ = std::move(sink); }
    // 0: a byte was read; -1: none was waiting; otherwise the system's error.
    long PollByte(unsigned char& byte);
    // Reads n bytes, the first within firstMs and each further one within
    // gapMs of the one before: 0, kTimedOut, kAborted or the system's error.
    // got (optional) counts the bytes read, also when it fails.
    long ReadWithin(unsigned char* buffer, DWORD n, DWORD firstMs, DWORD gapMs,
                    const std::atomic<short>& abort, DWORD* got = nullptr);
    // Reads whatever is queued, up to max bytes, waiting up to firstMs for the
    // first one: 0, kTimedOut, kAborted or the system's error.
    long ReadAvailable(unsigned char* buffer, DWORD max, DWORD firstMs,
                       const std::atomic<short>& abort, DWORD& got);
    // The bytes in the receive queue (0 when the port cannot tell).
    DWORD QueuedBytes();
    // Reads and drops bytes until the line has been quiet for quietMs, for at
    // most budgetMs; false when it never settled or the abort request is set.
    // tail (optional) is fed every byte dropped.
    bool AwaitQuiet(DWORD quietMs, DWORD budgetMs, const std::atomic<short>& abort,
                    CancelTail* tail = nullptr);
    // Lets the line settle, then purges both queues; true when the bytes
    // dropped ended with a peer's CAN CAN.
    bool DropStaleInput(DWORD quietMs, const std::atomic<short>& abort);
    // Takes the bytes queued before a send began: the start character (kCrcStart
    // or kNak) of a receiver already waiting, or -1 when none follows the last
    // CAN there (an earlier peer's cancel, which ends nothing now).
    int TakeQueuedStart();
    // CAN CAN, whatever the abort request says.
    void SendCancel();
    // 0, kAborted, or the system's error of a failed read.
    long ReadExact(unsigned char* buffer, DWORD n, const std::atomic<short>& abort);
    long ReadByte(unsigned char& byte, const std::atomic<short>& abort);
    long ReadCrc(std::uint16_t& value, const std::atomic<short>& abort);  // high byte first
    long ReadBlock(unsigned char* buffer, DWORD size, const std::atomic<short>& abort);
    // 0, kAborted, or -1 when a write fails outright or moves nothing for
    // Timing::writeStallMs. sent (optional) counts the bytes that went out.
    long WriteBytes(const unsigned char* buffer, WORD n, const std::atomic<short>& abort,
                    DWORD* sent = nullptr);
    long WriteByte(unsigned char value, const std::atomic<short>& abort);
    long WriteCrc(std::uint16_t value, const std::atomic<short>& abort);  // 0 or -1
    long WriteBlock(const unsigned char* buffer, DWORD size, const std::atomic<short>& abort);
    void PurgeQueues();

    // Reads until one of the wanted bytes (a zero-terminated set) comes within
    // ms; other bytes are noise and CAN CAN cancels. The byte, or one of the
    // kAwait values; error gets the failed read's result.
    enum : int { kAwaitNothing = -1, kAwaitCancelled = -2, kAwaitAborted = -3, kAwaitFailed = -4 };
    int AwaitByte(const char* wanted, DWORD ms, const std::atomic<short>& abort, long& error);

    // ---- check operations ----
    static void PadBlock(unsigned char* buffer, DWORD length, DWORD size);
    static DWORD TrimPadding(const unsigned char* buffer, DWORD size);
    static unsigned char Checksum128(const unsigned char* buffer);
    static unsigned char Checksum(const unsigned char* buffer, DWORD length);  // 8-bit sum
    std::uint16_t Crc16(const unsigned char* buffer, DWORD length, std::uint16_t initial) const;

    void SetTiming(const Timing& timing) { timing_ = timing; }

    // The read time-outs of a transfer, from Attach to the end of Send or Receive.
    void UseTransferTimeouts();
    void RestoreTimeouts();
    // How long the line needs for one block and its answer at the port's speed.
    DWORD BlockTimeMs(DWORD size) const;
    // How long count bytes take on the line at the port's settings (start,
    // data, parity and stop bits), rounded up.
    DWORD WireTimeMs(DWORD count) const;
    const Timing& timing() const { return timing_; }

private:
    // The sender's wait for ACK, NAK or CAN CAN; other bytes are noise. A
    // driver completes a write once it holds the bytes, not once they are on
    // the line: the wait allows for the written bytes' own time on the wire.
    enum class Answer { kAck, kNak, kNone, kCancelled, kAborted, kFailed };
    Answer AwaitAnswer(const std::atomic<short>& abort, long& error, DWORD written);
    // One read; a read left pending is waited for up to waitMs (cancelled at
    // once when abort is null) and then cancelled.
    long ReadOnce(unsigned char* buffer, DWORD want, DWORD& got, bool& pended,
                  const std::atomic<short>* abort, DWORD waitMs = INFINITE);
    // Waits ms, in slices; false when the abort request ended it early.
    static bool Pause(DWORD ms, const std::atomic<short>& abort);

    FileSystem& files_;
    FailureMessage sendFailed_;
    std::array<std::uint16_t, 256> crcTable_{};
    // Hands errors the engine took from the port to lineErrors_.
    void NoteLineErrors(DWORD errors) const;

    port::Device* port_ = nullptr;
    port::IoRecord none_;  // the records while no port is attached: every call fails
    port::IoRecord* read_ = &none_;
    port::IoRecord* write_ = &none_;
    std::function<void(DWORD)> lineErrors_;
    unsigned char block_[kLargeBlock] = {};
    unsigned char spare_[kLargeBlock] = {};          // a repeated block, read and discarded
    unsigned char frame_[3 + kLargeBlock + 2] = {};  // a block as it goes out
    unsigned char candidate_[kLargeBlock] = {};      // a 1K block only one checksum rule takes
    Timing timing_;
    DWORD baud_ = 9600;
    DWORD halfBitsPerChar_ = 20;  // in half bits, for one and a half stop bits
    bool timeoutsChanged_ = false;
};

}  // namespace qlr::xmodem
