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
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "port/state.h"

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

short SendFile(ControlState& s, Reporter& reporter, const wchar_t* name);
// released tells, after the overwrite question, whether the host has let the
// control go meanwhile; nothing is started then (-1).
short RecvFile(ControlState& s, Reporter& reporter, const wchar_t* name,
               const std::function<bool()>& released = {});
short AbortTransfer(ControlState& s);

}  // namespace qlr::xmodem
