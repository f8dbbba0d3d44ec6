' Properties of a new control through IDispatch, as a script host sees them:
' defaults, types, put/get round trips, read-only and write-only members.
' Prints one line per check and a summary line; WScript.Quit with the number
' of failures. Written for Wine's VBScript too: no Eval/Execute, and every
' statement guarded, since an unhandled error ends a script there silently.
' A statement that raises is skipped, so t_vbs_properties.sh also checks the
' number of checks in the summary: keep it in step when adding checks.
Option Explicit
On Error Resume Next

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
        WScript.Echo "ok   " & what
    Else
        failed = failed + 1
        WScript.Echo "FAIL " & what
    End If
End Sub

Function Describe(v)
    Dim s
    s = "(VarType " & VarType(v) & ")"
    On Error Resume Next
    s = CStr(v) & " " & s
    Describe = s
End Function

Const vI2 = 2, vI4 = 3, vBSTR = 8, vBOOL = 11

' Checks one value read with `v = o.Prop` right before; err is Err.Number of that read.
Sub Expect(name, v, errNum, want, wantType)
    Dim ok
    On Error Resume Next
    If errNum <> 0 Then
        Check False, name & " can be read (error " & Hex(errNum) & ")"
        Exit Sub
    End If
    ok = False
    ok = (VarType(v) = wantType) And (CStr(CLng(v)) = CStr(want))
    Check ok, name & " = " & Describe(v) & ", expected " & want & " (VarType " & wantType & ")"
End Sub

' Checks a value read back after a put; err is Err.Number of put and get.
Sub Back(name, v, errNum, want)
    Dim ok
    On Error Resume Next
    If errNum <> 0 Then
        Check False, name & " = " & want & " (error " & Hex(errNum) & ")"
        Exit Sub
    End If
    ok = False
    ok = (CStr(v) = CStr(want))
    Check ok, name & " = " & want & " reads back " & Describe(v)
End Sub

' 0x800A017F / 0x800A018A: script hosts give OLE-control status codes by their
' low word (383, 394); the whole HRESULT is accepted as well.
Function IsStatus(number, code)
    IsStatus = (number = code) Or (number = (&H800A0000 Or code))
End Function

Dim o, created, v, e
' Creation through both ProgIDs is checked by progid.vbs.
created = "QLRCom.QLRCom.1"
Err.Clear
Set o = CreateObject(created)
Check Err.Number = 0, "CreateObject(""" & created & """) (error " & Hex(Err.Number) & ")"
If Err.Number <> 0 Then
    WScript.Echo passed & " passed, " & failed & " failed"
    WScript.Quit failed
End If

' ---- defaults of a new control
Err.Clear: v = o.QcRecvQSize: Expect "QcRecvQSize", v, Err.Number, 1024, vI2
Err.Clear: v = o.QcSendQSize: Expect "QcSendQSize", v, Err.Number, 1024, vI2
Err.Clear: v = o.QcByteSize: Expect "QcByteSize", v, Err.Number, 1, vI4
Err.Clear: v = o.QcStopBits: Expect "QcStopBits", v, Err.Number, 0, vI4
Err.Clear: v = o.QcAutoOpen: Expect "QcAutoOpen", v, Err.Number, 0, vBOOL
Err.Clear: v = o.QcMode: Expect "QcMode", v, Err.Number, 0, vI4
Err.Clear: v = o.QcRecvTimeOut: Expect "QcRecvTimeOut", v, Err.Number, 0, vI4
Err.Clear: v = o.QcDTREnable: Expect "QcDTREnable", v, Err.Number, 1, vBOOL
Err.Clear: v = o.QcProtocol: Expect "QcProtocol", v, Err.Number, 1, vI4
Err.Clear: v = o.QcProgress: Expect "QcProgress", v, Err.Number, 0, vI2
Err.Clear: v = o.QcStatus: Expect "QcStatus", v, Err.Number, 0, vI2
Err.Clear: v = o.QcNullDiscard: Expect "QcNullDiscard", v, Err.Number, 0, vBOOL
Err.Clear: v = o.QcRTSEnable: Expect "QcRTSEnable", v, Err.Number, 1, vBOOL
Err.Clear: v = o.QcNotifyRecvChars: Expect "QcNotifyRecvChars", v, Err.Number, -1, vI4
Err.Clear: v = o.QcLastMajorErrCode: Expect "QcLastMajorErrCode", v, Err.Number, 0, vI2
Err.Clear: v = o.QcLastMinorErrCode: Expect "QcLastMinorErrCode", v, Err.Number, 0, vI4
Err.Clear: v = o.QcProtocolNegd: Expect "QcProtocolNegd", v, Err.Number, 0, vI2
Err.Clear: v = o.QcBaudRate: Expect "QcBaudRate", v, Err.Number, 8, vI4
Err.Clear: v = o.QcDeviceName: Expect "QcDeviceName", v, Err.Number, 0, vI4
Err.Clear: v = o.QcParity: Expect "QcParity", v, Err.Number, 0, vI4
Err.Clear: v = o.QcFlowControl: Expect "QcFlowControl", v, Err.Number, 0, vI4
Err.Clear: v = o.QcDebugTrace: Expect "QcDebugTrace", v, Err.Number, 0, vBOOL
Err.Clear: v = o.QcNotifySendComplete: Expect "QcNotifySendComplete", v, Err.Number, 0, vBOOL
Err.Clear: v = o.QcShowErrorMessage: Expect "QcShowErrorMessage", v, Err.Number, 1, vBOOL
Err.Clear: v = o.QcFileTransferPriority: Expect "QcFileTransferPriority", v, Err.Number, 2, vI4
Err.Clear: v = o.QcSendTimeOut: Expect "QcSendTimeOut", v, Err.Number, 0, vI4
Err.Clear: v = o.QcWatchPriority: Expect "QcWatchPriority", v, Err.Number, 2, vI4
Err.Clear: v = o.QcRecvNotifyOnly: Expect "QcRecvNotifyOnly", v, Err.Number, 0, vBOOL
Err.Clear: v = o.QcCustomBaudRate: Expect "QcCustomBaudRate", v, Err.Number, 0, vI4
Err.Clear: v = o.QcRecvEventType: Expect "QcRecvEventType", v, Err.Number, 0, vI4
Err.Clear: v = o.QcFrameMode: Expect "QcFrameMode", v, Err.Number, 0, vI4
Err.Clear: v = o.QcFrameLength: Expect "QcFrameLength", v, Err.Number, 4096, vI4
Err.Clear: v = o.QcFrameGap: Expect "QcFrameGap", v, Err.Number, 0, vI4
Err.Clear: v = o.QcFrameDelimiter: e = Err.Number
Check e = 0 And VarType(v) = vBSTR And v = vbCrLf, "QcFrameDelimiter = " & Describe(v) & ", expected CR LF (error " & Hex(e) & ")"
Err.Clear: v = o.QcParityReplace: e = Err.Number
Check e = 0 And VarType(v) = vBSTR And v = "?", "QcParityReplace = " & Describe(v) & ", expected ""?"" (error " & Hex(e) & ")"
Err.Clear: v = o.hComm: e = Err.Number
Check e = 0 And CDbl(v) = 0, "hComm = " & Describe(v) & ", expected 0 (error " & Hex(e) & ")"

' ---- put and get back a value other than the default
Err.Clear: o.QcRecvQSize = 2048: v = o.QcRecvQSize: Back "QcRecvQSize", v, Err.Number, 2048
Err.Clear: o.QcSendQSize = 512: v = o.QcSendQSize: Back "QcSendQSize", v, Err.Number, 512
Err.Clear: o.QcByteSize = 0: v = o.QcByteSize: Back "QcByteSize", v, Err.Number, 0
Err.Clear: o.QcStopBits = 2: v = o.QcStopBits: Back "QcStopBits", v, Err.Number, 2
Err.Clear: o.QcAutoOpen = True: v = o.QcAutoOpen: Back "QcAutoOpen", v, Err.Number, True
Err.Clear: o.QcMode = 1: v = o.QcMode: Back "QcMode", v, Err.Number, 1
Err.Clear: o.QcRecvTimeOut = 1234: v = o.QcRecvTimeOut: Back "QcRecvTimeOut", v, Err.Number, 1234
Err.Clear: o.QcDTREnable = False: v = o.QcDTREnable: Back "QcDTREnable", v, Err.Number, False
Err.Clear: o.QcProtocol = 3: v = o.QcProtocol: Back "QcProtocol", v, Err.Number, 3
Err.Clear: o.QcNullDiscard = True: v = o.QcNullDiscard: Back "QcNullDiscard", v, Err.Number, True
Err.Clear: o.QcRTSEnable = False: v = o.QcRTSEnable: Back "QcRTSEnable", v, Err.Number, False
Err.Clear: o.QcParityReplace = "#": v = o.QcParityReplace: Back "QcParityReplace", v, Err.Number, "#"
Err.Clear: o.QcNotifyRecvChars = 10: v = o.QcNotifyRecvChars: Back "QcNotifyRecvChars", v, Err.Number, 10
Err.Clear: o.QcBaudRate = 12: v = o.QcBaudRate: Back "QcBaudRate", v, Err.Number, 12
Err.Clear: o.QcDeviceName = 9: v = o.QcDeviceName: Back "QcDeviceName", v, Err.Number, 9
Err.Clear: o.QcParity = 2: v = o.QcParity: Back "QcParity", v, Err.Number, 2
Err.Clear: o.QcFlowControl = 1: v = o.QcFlowControl: Back "QcFlowControl", v, Err.Number, 1
Err.Clear: o.QcDebugTrace = True: v = o.QcDebugTrace: Back "QcDebugTrace", v, Err.Number, True
Err.Clear: o.QcDebugTrace = False: v = o.QcDebugTrace: Back "QcDebugTrace", v, Err.Number, False
Err.Clear: o.QcNotifySendComplete = True: v = o.QcNotifySendComplete: Back "QcNotifySendComplete", v, Err.Number, True
Err.Clear: o.QcShowErrorMessage = False: v = o.QcShowErrorMessage: Back "QcShowErrorMessage", v, Err.Number, False
Err.Clear: o.QcFileTransferPriority = 4: v = o.QcFileTransferPriority: Back "QcFileTransferPriority", v, Err.Number, 4
Err.Clear: o.QcSendTimeOut = 5000: v = o.QcSendTimeOut: Back "QcSendTimeOut", v, Err.Number, 5000
Err.Clear: o.QcWatchPriority = 0: v = o.QcWatchPriority: Back "QcWatchPriority", v, Err.Number, 0
Err.Clear: o.QcRecvNotifyOnly = True: v = o.QcRecvNotifyOnly: Back "QcRecvNotifyOnly", v, Err.Number, True
Err.Clear: o.QcCustomBaudRate = 250000: v = o.QcCustomBaudRate: Back "QcCustomBaudRate", v, Err.Number, 250000
Err.Clear: o.QcRecvEventType = 2: v = o.QcRecvEventType: Back "QcRecvEventType", v, Err.Number, 2
Err.Clear: o.QcFrameMode = 4: v = o.QcFrameMode: Back "QcFrameMode", v, Err.Number, 4
Err.Clear: o.QcFrameDelimiter = ";": v = o.QcFrameDelimiter: Back "QcFrameDelimiter", v, Err.Number, ";"
Err.Clear: o.QcFrameLength = 256: v = o.QcFrameLength: Back "QcFrameLength", v, Err.Number, 256
Err.Clear: o.QcFrameGap = 20: v = o.QcFrameGap: Back "QcFrameGap", v, Err.Number, 20
' Puts do not validate: out-of-range values are stored as they are.
Err.Clear: o.QcBaudRate = 99: v = o.QcBaudRate: Back "QcBaudRate", v, Err.Number, 99
Err.Clear: o.QcDeviceName = 42: v = o.QcDeviceName: Back "QcDeviceName", v, Err.Number, 42
Err.Clear: o.QcRecvQSize = -5: v = o.QcRecvQSize: Back "QcRecvQSize", v, Err.Number, -5
Err.Clear: o.QcNotifyRecvChars = -2: v = o.QcNotifyRecvChars: Back "QcNotifyRecvChars", v, Err.Number, -2
Err.Clear: o.QcParityReplace = "": v = o.QcParityReplace: Back "QcParityReplace", v, Err.Number, ""

' ---- read-only members refuse puts and keep their values
Err.Clear: o.QcProgress = 5: e = Err.Number: Err.Clear: v = o.QcProgress
Check IsStatus(e, &H17F) And (v = 0), "put of read-only QcProgress fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.QcStatus = 5: e = Err.Number: Err.Clear: v = o.QcStatus
Check IsStatus(e, &H17F) And (v = 0), "put of read-only QcStatus fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.QcLastMajorErrCode = 100: e = Err.Number: Err.Clear: v = o.QcLastMajorErrCode
Check IsStatus(e, &H17F) And (v = 0), "put of read-only QcLastMajorErrCode fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.QcLastMinorErrCode = 7: e = Err.Number: Err.Clear: v = o.QcLastMinorErrCode
Check IsStatus(e, &H17F) And (v = 0), "put of read-only QcLastMinorErrCode fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.QcProtocolNegd = 1: e = Err.Number: Err.Clear: v = o.QcProtocolNegd
Check IsStatus(e, &H17F) And (v = 0), "put of read-only QcProtocolNegd fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.hComm = 5: e = Err.Number: Err.Clear: v = o.hComm
Check IsStatus(e, &H17F) And (CDbl(v) = 0), "put of read-only hComm fails with 0x800A017F (Err.Number " & e & "), value " & Describe(v)
Err.Clear: o.Input = "x": e = Err.Number
Check IsStatus(e, &H17F), "put of read-only Input fails with 0x800A017F (Err.Number " & e & ")"
Err.Clear: o.InputLen = 3: e = Err.Number
Check IsStatus(e, &H17F), "put of read-only InputLen fails with 0x800A017F (Err.Number " & e & ")"
Err.Clear: o.QcInBufferCount = 3: e = Err.Number
Check IsStatus(e, &H17F), "put of read-only QcInBufferCount fails with 0x800A017F (Err.Number " & e & ")"
Err.Clear: v = o.Output: e = Err.Number
Check IsStatus(e, &H18A), "get of write-only Output fails with 0x800A018A (Err.Number " & e & ")"
Err.Clear

WScript.Echo "control created as " & created
WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
