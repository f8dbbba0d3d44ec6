// Transfer control: preconditions, questions and the worker thread.
#include "xmodem/transfer_control.h"

#include <atomic>
#include <memory>
#include <string>

#include "control/module.h"
#include "port/line_settings.h"
#include "resources/resource_ids.h"
#include "xmodem/engine.h"

namespace qlr::xmodem {
namespace {

int SystemMessageBox(const wchar_t* text, UINT type) {
    return MessageBoxW(nullptr, text, nullptr, type);
}

bool DiskFileExists(const wchar_t* name) {
    const platform::UniqueHandle file(platform::Current().CreateFileW(
        name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
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
};

DWORD WINAPI Worker(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    ControlState& s = *job->state;
    const std::wstring name = job->name;
    long code = kNoEngine;
    {
        std::unique_ptr<XModemEngine> engine;
        try {
            engine = std::make_unique<XModemEngine>(
                DiskFiles(), [&name, &s](long c) {
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
    s.inFileTransfer = 0;
    if (!closing)  // a transfer stopped by CloseComm has no end to report
        platform::Current().PostMessageA(window, WM_COMM_TRANSFEREND, static_cast<WPARAM>(code), 0);
    return 0;
}

bool NameFits(const wchar_t* name) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    return bytes > 0 && bytes <= MAX_PATH;  // 259 bytes and the terminating zero
}

short Start(ControlState& s, Reporter& reporter, const wchar_t* name, Direction direction) {
    if (!s.portOpen.load()) {
        reporter.CommError(111, 0);
        return 111;
    }
    if (s.inFileTransfer.load()) {
        reporter.CommError(125, 0);
        return 125;
    }
    if (!NameFits(name)) {
        reporter.CommError(kNameTooLong, 0);
        return kNameTooLong;
    }
    if (direction == Direction::kSend) {
        if (!g_fileProbe.load()(name)) {
            ShowMessage(IDS_QE4006, name, 0, MB_OK);
            return 100;
        }
    } else if (s.QcShowErrorMessage != 0 && g_fileProbe.load()(name)) {
        if (ShowMessage(IDS_QE4005, name, 0, MB_OKCANCEL) == IDCANCEL) return -1;
    }
    s.abortRequested = 0;
    if (s.QcProtocol < kXModemAuto || s.QcProtocol > kXModem1K) return 0;

    auto job = std::make_unique<Job>(
        Job{&s, direction, name, static_cast<short>(s.QcProtocol), s.QcShowErrorMessage});
    platform::Api& api = platform::Current();
    s.inFileTransfer = 1;
    DWORD id = 0;
    HANDLE thread = api.CreateThread(&Worker, job.get(), &id);
    if (!thread) {
        s.inFileTransfer = 0;
        ShowMessage(IDS_QE4003, name, 0, MB_OK);
        return 118;
    }
    job.release();  // the worker owns it now
    api.SetThreadPriority(thread, port::ThreadPriority(s.QcFileTransferPriority));
    s.transferThread.reset(thread);
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

short SendFile(ControlState& s, Reporter& reporter, const wchar_t* name) {
    return Start(s, reporter, name ? name : L"", Direction::kSend);
}

short RecvFile(ControlState& s, Reporter& reporter, const wchar_t* name) {
    return Start(s, reporter, name ? name : L"", Direction::kReceive);
}

short AbortTransfer(ControlState& s) {
    if (!s.inFileTransfer.load()) return 126;
    s.abortRequested = 1;
    return 0;
}

}  // namespace qlr::xmodem
