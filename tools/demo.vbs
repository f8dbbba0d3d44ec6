' The qlrcom32 control from a script: its properties, then one session on
' the port given as argument (QcDeviceName value): open, send a line, close.
' Exit status 0 when the port opened and closed cleanly.
Option Explicit
On Error Resume Next

Dim o, progid
progid = "QLRCom.QLRCom"
Set o = CreateObject(progid)
If Err.Number <> 0 Then
    Err.Clear
    progid = "QLRCom.QLRCom.1"
    Set o = CreateObject(progid)
End If
If Err.Number <> 0 Then
    WScript.Echo "cannot create the control (error " & Hex(Err.Number) & ")"
    WScript.Quit 2
End If
WScript.Echo "created " & progid

Sub Show(name, value)
    WScript.Echo "  " & Left(name & String(24, " "), 24) & value
End Sub

WScript.Echo "properties of a new control:"
Show "QcBaudRate", o.QcBaudRate
Show "QcByteSize", o.QcByteSize
Show "QcParity", o.QcParity
Show "QcStopBits", o.QcStopBits
Show "QcFlowControl", o.QcFlowControl
Show "QcDeviceName", o.QcDeviceName
Show "QcCustomBaudRate", o.QcCustomBaudRate
Show "QcRecvQSize", o.QcRecvQSize
Show "QcSendQSize", o.QcSendQSize
Show "QcRecvTimeOut", o.QcRecvTimeOut
Show "QcSendTimeOut", o.QcSendTimeOut
Show "QcNotifyRecvChars", o.QcNotifyRecvChars
Show "QcNotifySendComplete", CInt(o.QcNotifySendComplete)
Show "QcRecvNotifyOnly", CInt(o.QcRecvNotifyOnly)
Show "QcRecvEventType", o.QcRecvEventType
Show "QcMode", o.QcMode
Show "QcDTREnable", CInt(o.QcDTREnable)
Show "QcRTSEnable", CInt(o.QcRTSEnable)
Show "QcNullDiscard", CInt(o.QcNullDiscard)
Show "QcParityReplace", """" & o.QcParityReplace & """"
Show "QcAutoOpen", CInt(o.QcAutoOpen)
Show "QcDebugTrace", CInt(o.QcDebugTrace)
Show "QcProtocol", o.QcProtocol
Show "QcShowErrorMessage", CInt(o.QcShowErrorMessage)
Show "QcFileTransferPriority", o.QcFileTransferPriority
Show "QcWatchPriority", o.QcWatchPriority
Show "QcStatus", o.QcStatus
Show "QcProgress", o.QcProgress
Show "QcLastMajorErrCode", o.QcLastMajorErrCode
Show "QcLastMinorErrCode", o.QcLastMinorErrCode
Show "hComm", o.hComm

Dim port, rc, rcOpen, rcClose
port = CInt(WScript.Arguments(0))
o.QcDeviceName = port
WScript.Echo "session on COM" & (port + 1) & ":"
rc = -9999: rc = o.OpenComm
rcOpen = rc
Show "OpenComm", rc
Show "IsOpen", CInt(o.IsOpen)
Show "hComm", o.hComm
o.QcDebugTrace = True          ' mirror the traffic to a running trace viewer
Err.Clear
rc = o.SendString("Hello from qlrcom32" & vbCrLf)
If Err.Number <> 0 Then
    Show "SendString", "not available (error " & Hex(Err.Number) & ")"
    Err.Clear
Else
    Show "SendString", rc
End If
Show "GetCTS", CInt(o.GetCTS)
Show "GetDSR", CInt(o.GetDSR)
Show "GetRLSD", CInt(o.GetRLSD)
Show "SendBreak", o.SendBreak
Show "ClearBreak", o.ClearBreak
Show "ClearRTS", o.ClearRTS
rc = -9999: rc = o.CloseComm
rcClose = rc
Show "CloseComm", rc
Show "IsOpen", CInt(o.IsOpen)
If rcOpen = 0 And rcClose = 0 Then WScript.Quit 0
WScript.Quit 1
