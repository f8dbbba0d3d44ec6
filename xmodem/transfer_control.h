// Transfer control: SendFile, RecvFile and AbortTransfer, and the worker
// thread that runs one XModem transfer over the open port.
//
// - The worker runs at the priority mapped from QcFileTransferPriority, clears
//   inFileTransfer and then posts WM_COMM_TRANSFEREND (wParam: the end code) to
//   the control's notify window, so a host may start the next transfer from
//   its CommTransferEnd handler.
// - When the worker cannot create its engine it shows message 104 and posts
//   kNoEngine as the end code instead of leaving inFileTransfer set.
// - File names stay Unicode end to end. A name whose ANSI form does not fit
//   259 bytes is refused, never shortened: CommError(kNameTooLong, 0) and
//   the same return code, no message box. 113 is a major code that nothing
//   else fires (119 belongs to ClearDTR).
// - RecvFile's overwrite question is modal while the host keeps pumping: the
//   preconditions are checked again after it (111, 125), and nothing starts
//   for a control the host released meanwhile.
// - Every message box goes through a replaceable function, so that tests can
//   answer it; file existence is probed through a replaceable function too.
// - Batch protocols: SendFile takes one name, a pattern in the last component
//   or names separated by '|' (the first piece that names no file is shown
//   with message 107, 100); each piece must fit 259 ANSI bytes (113).
//   RecvFile into a folder asks nothing before the start; into a file, the
//   question is asked for that file as for XModem. The worker asks the same
//   question for every other existing file of the batch (Cancel keeps the
//   file and drops what the sender sends for it), and shows messages 108 and
//   105 for a failed batch as for XModem.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "port/state.h"
#include "xmodem/batch_files.h"

namespace qlr::xmodem {

constexpr long kNoEngine = 2115;

// Shows text modally with the buttons of type (MB_OK or MB_OKCANCEL) and gives
// the button chosen (IDOK, IDCANCEL).
using MessageBoxFunction = int (*)(const wchar_t* text, UINT type);
// True when the named file exists and can be opened.
using FileProbeFunction = bool (*)(const wchar_t* name);

// Replace the message box or the file probe; nullptr restores the default.
void SetMessageBoxFunction(MessageBoxFunction function);
void SetFileProbeFunction(FileProbeFunction function);

// The text of string-table entry id, with %s replaced by name and %d by code.
std::wstring FormatMessageText(UINT id, const wchar_t* name, long code);

// A transfer of a batch protocol (YModem and beyond), whose engines live in
// the libraries above this one.
struct BatchJob {
    bool send = false;
    std::vector<std::wstring> paths;  // sending: the files, in order
    Destination destination;          // receiving
    short protocol = 0;
};
// Asked on the worker before an existing file is replaced: true replaces it.
using OverwriteQuestion = std::function<bool(const std::wstring& path)>;
// Runs a batch on the worker thread; gives the end code.
using BatchRunner = long (*)(ControlState& s, const BatchJob& job, const OverwriteQuestion& ask);

// batch runs the protocols above XModem (QcProtocol 4 and up); without one,
// such a protocol starts nothing, as an unknown one.
short SendFile(ControlState& s, Reporter& reporter, const wchar_t* name,
               BatchRunner batch = nullptr);
// released tells, after the overwrite question, whether the host has let the
// control go meanwhile; nothing is started then (-1).
short RecvFile(ControlState& s, Reporter& reporter, const wchar_t* name,
               const std::function<bool()>& released = {}, BatchRunner batch = nullptr);
short AbortTransfer(ControlState& s);

}  // namespace qlr::xmodem
