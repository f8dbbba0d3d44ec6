// Transfer control: preconditions, questions and the worker thread.
#include "xmodem/transfer_control.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/module_instance.h"
#include "port/errors.h"
#include "port/line_settings.h"
#include "port/open_port.h"
#include "resources/resource_ids.h"
#include "xmodem/engine.h"

namespace qlr::xmodem {
namespace {

int SystemMessageBox(const wchar_t* text, UINT type) {
    return MessageBoxW(nullptr, text, nullptr, type);
}

bool DiskFileExists(const wchar_t* name) {
    const platform::UniqueHandle file(
        platform::Current().CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    return file.valid();
}

std::atomic<MessageBoxFunction> g_messageBox{&SystemMessageBox};
std::atomic<FileProbeFunction> g_fileProbe{&DiskFileExists};

int ShowMessage(UINT id, const wchar_t* name, long code, UINT type) {
    const std::wstring text = FormatMessageText(id, name, code);
    return g_messageBox.load()(text.c_str(), type);
}

enum class Direction { kSend, kReceive };

// What the worker reads from its start to its end.
struct Job {
    ControlState* state;
    Direction direction;
    std::wstring name;
    short protocol;
    short showMessages;
    BatchRunner batch = nullptr;
    BatchJob batchJob;
    std::wstring answered;  // replaced on the host's word already
};

long RunBatch(Job& job) {
    ControlState& s = *job.state;
    std::wstring answered = job.answered;
    const OverwriteQuestion ask = [&](const std::wstring& path) {
        if (!answered.empty() && path == answered) {
            answered.clear();
            return true;
        }
        if (job.showMessages == 0 || s.transferClosing.load()) return true;
        return ShowMessage(IDS_QE4005, path.c_str(), 0, MB_OKCANCEL) == IDOK;
    };
    long code = kNoEngine;
    try {
        code = job.batch(s, job.batchJob, ask);
    } catch (...) {
        ShowMessage(IDS_QE4003, job.name.c_str(), 0, MB_OK);
        return kNoEngine;
    }
    const bool quiet = code == kCompleted || job.showMessages == 0 || s.transferClosing.load();
    if (!quiet && job.direction == Direction::kSend && code != kFileOpenFailed)
        ShowMessage(IDS_QE4007, job.name.c_str(), code, MB_OK);
    if (!quiet && job.direction == Direction::kReceive)
        ShowMessage(IDS_QE4004, job.name.c_str(), code, MB_OK);
    return code;
}

DWORD WINAPI Worker(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    ControlState& s = *job->state;
    const std::wstring name = job->name;
    long code = kNoEngine;
    if (job->batch) {
        code = RunBatch(*job);
    } else {
        std::unique_ptr<XModemEngine> engine;
        try {
            engine = std::make_unique<XModemEngine>(DiskFiles(), [&name, &s](long c) {
                if (!s.transferClosing.load()) ShowMessage(IDS_QE4007, name.c_str(), c, MB_OK);
            });
        } catch (...) {
            engine.reset();
        }
        if (!engine) {
            ShowMessage(IDS_QE4003, name.c_str(), 0, MB_OK);
        } else if (job->direction == Direction::kSend) {
            code = engine->Send(s, name.c_str(), job->protocol, job->showMessages);
        } else {
            code = engine->Receive(s, name.c_str(), job->protocol, job->showMessages);
            if (code != kCompleted && job->showMessages != 0 && !s.transferClosing.load())
                ShowMessage(IDS_QE4004, name.c_str(), code, MB_OK);
        }
    }
    const HWND window = s.notifyWindow.load();
    const bool closing = s.transferClosing.load() != 0;
    // The engine read from the queue: what arrives next is new to the watch thread.
    port::NoteRead(s);
    s.inFileTransfer = 0;
    if (!closing)  // a transfer stopped by CloseComm has no end to report
        platform::Current().PostMessageA(window, WM_COMM_TRANSFEREND, static_cast<WPARAM>(code), 0);
    return 0;
}

bool NameFits(const wchar_t* name) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    return bytes > 0 && bytes <= MAX_PATH;  // 259 bytes and the terminating zero
}

// 0 when a transfer may start on the port now; otherwise the code, reported.
short PortReady(ControlState& s, Reporter& reporter) {
    if (!err::RequireOpen(s, reporter)) return err::kNotOpen;
    if (s.inFileTransfer.load()) return err::Report(reporter, err::kTransferRunning);
    return 0;
}

short Launch(ControlState& s, std::unique_ptr<Job> job);

// The preconditions of a batch protocol; fills the job's batch part.
short PrepareBatch(ControlState& s, Reporter& reporter, Job& job,
                   const std::function<bool()>& released) {
    BatchFileSystem& files = DiskBatchFiles();
    BatchJob& batch = job.batchJob;
    batch.send = job.direction == Direction::kSend;
    batch.protocol = job.protocol;
    if (batch.send) {
        for (const std::wstring& piece : SplitNames(job.name))
            if (!NameFits(piece.c_str())) return err::Report(reporter, err::kNameTooLong);
        std::wstring missing;
        if (!ExpandNames(files, job.name, batch.paths, missing)) {
            ShowMessage(IDS_QE4006, missing.c_str(), 0, MB_OK);
            return err::kOpenFailed;
        }
        return 0;
    }
    if (!NameFits(job.name.c_str())) return err::Report(reporter, err::kNameTooLong);
    batch.destination = DestinationOf(files, job.name);
    const std::wstring& first = batch.destination.first;
    if (!first.empty() && s.QcShowErrorMessage != 0 && g_fileProbe.load()(first.c_str())) {
        if (ShowMessage(IDS_QE4005, first.c_str(), 0, MB_OKCANCEL) == IDCANCEL) return -1;
        if (released && released()) return -1;
        if (const short code = PortReady(s, reporter)) return code;
        job.answered = first;
    }
    return 0;
}

short Start(ControlState& s, Reporter& reporter, const wchar_t* name, Direction direction,
            const std::function<bool()>& released, BatchRunner batch) {
    if (const short code = PortReady(s, reporter)) return code;
    const short protocol = static_cast<short>(s.QcProtocol);
    std::unique_ptr<Job> job;
    if (batch && protocol > kXModem1K) {
        job = std::make_unique<Job>(Job{&s, direction, name, protocol, s.QcShowErrorMessage});
        job->batch = batch;
        if (const short code = PrepareBatch(s, reporter, *job, released)) return code;
        s.abortRequested = 0;
        return Launch(s, std::move(job));
    }
    if (!NameFits(name)) return err::Report(reporter, err::kNameTooLong);
    if (direction == Direction::kSend) {
        if (!g_fileProbe.load()(name)) {
            ShowMessage(IDS_QE4006, name, 0, MB_OK);
            return err::kOpenFailed;
        }
    } else if (s.QcShowErrorMessage != 0 && g_fileProbe.load()(name)) {
        if (ShowMessage(IDS_QE4005, name, 0, MB_OKCANCEL) == IDCANCEL) return -1;
        // The host kept pumping messages during the question: it may have
        // closed the port, started another transfer or let the control go.
        if (released && released()) return -1;
        if (const short code = PortReady(s, reporter)) return code;
    }
    s.abortRequested = 0;
    if (s.QcProtocol < kXModemAuto || s.QcProtocol > kXModem1K) return 0;
    return Launch(
        s, std::make_unique<Job>(
               Job{&s, direction, name, static_cast<short>(s.QcProtocol), s.QcShowErrorMessage}));
}

// Starts the worker for job.
short Launch(ControlState& s, std::unique_ptr<Job> job) {
    const std::wstring name = job->name;
    platform::Api& api = platform::Current();
    s.inFileTransfer = 1;
    port::WaitForWatchRead(s);  // a framing watch thread's last read is over
    DWORD id = 0;
    HANDLE thread = api.CreateThread(&Worker, job.get(), &id);
    if (!thread) {
        s.inFileTransfer = 0;
        ShowMessage(IDS_QE4003, name.c_str(), 0, MB_OK);
        return err::kNoThread;
    }
    job.release();  // the worker owns it now
    api.SetThreadPriority(thread, port::ThreadPriority(s.QcFileTransferPriority));
    s.transferThread.reset(thread);
    s.transferThreadId = id;
    return 0;
}

}  // namespace

void SetMessageBoxFunction(MessageBoxFunction function) {
    g_messageBox = function ? function : &SystemMessageBox;
}

void SetFileProbeFunction(FileProbeFunction function) {
    g_fileProbe = function ? function : &DiskFileExists;
}

std::wstring FormatMessageText(UINT id, const wchar_t* name, long code) {
    wchar_t pattern[512] = {};
    const int length = LoadStringW(ModuleInstance(), id, pattern, 512);
    std::wstring text;
    for (int i = 0; i < length; ++i) {
        if (pattern[i] == L'%' && i + 1 < length && pattern[i + 1] == L's') {
            text += name ? name : L"";
            ++i;
        } else if (pattern[i] == L'%' && i + 1 < length && pattern[i + 1] == L'd') {
            text += std::to_wstring(code);
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

short SendFile(ControlState& s, Reporter& reporter, const wchar_t* name, BatchRunner batch) {
    return Start(s, reporter, name ? name : L"", Direction::kSend, {}, batch);
}

short RecvFile(ControlState& s, Reporter& reporter, const wchar_t* name,
               const std::function<bool()>& released, BatchRunner batch) {
    return Start(s, reporter, name ? name : L"", Direction::kReceive, released, batch);
}

short AbortTransfer(ControlState& s) {
    if (!s.inFileTransfer.load()) return err::kNoTransfer;
    s.abortRequested = 1;
    return 0;
}

}  // namespace qlr::xmodem
