' Opening and closing a port from a script host.
' Arguments: PORT_INDEX (QcDeviceName of a port on a pty bridge),
'            HIGH_INDEX (QcDeviceName 9 or above, also on a bridge),
'            ABSENT_INDEX (QcDeviceName of a port that cannot be opened).
' Prints one line per check and a summary line; WScript.Quit with the number
' of failures. Every statement is guarded (an unhandled error ends a script
' silently under Wine); a call that raises leaves its result at -9999. A check
' whose statement raises is skipped, so t_vbs_open_close.sh also checks the
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

Dim portIndex, highIndex, absentIndex
portIndex = CInt(WScript.Arguments(0))
highIndex = CInt(WScript.Arguments(1))
absentIndex = CInt(WScript.Arguments(2))

Dim o
Set o = CreateObject("QLRCom.QLRCom")
If Err.Number <> 0 Then
    Err.Clear
    WScript.Echo "note: CreateObject(""QLRCom.QLRCom"") failed, using QLRCom.QLRCom.1"
    Set o = CreateObject("QLRCom.QLRCom.1")
End If
If Err.Number <> 0 Then
    Check False, "control created (error " & Hex(Err.Number) & ")"
    WScript.Quit 1
End If

Dim rc, i, cycles

Check CInt(o.IsOpen) = 0, "a new control is closed (IsOpen " & CInt(o.IsOpen) & ")"
rc = -9999: rc = o.CloseComm
Check rc = 111, "CloseComm on a new control returns 111 (" & rc & ")"

o.QcDeviceName = portIndex
rc = -9999: rc = o.OpenComm
Check rc = 0, "OpenComm on COM" & (portIndex + 1) & " returns 0 (" & rc & ")"
Check CInt(o.IsOpen) = -1, "IsOpen is -1 while open (" & CInt(o.IsOpen) & ")"
Dim h
h = -9999: h = o.hComm
Check CDbl(h) <> 0 And CDbl(h) <> -1 And CDbl(h) <> 4294967295, "hComm reports a handle while open (" & h & ")"
rc = -9999: rc = o.OpenComm
Check rc = 112, "OpenComm again returns 112 (" & rc & ")"
Check CInt(o.IsOpen) = -1, "the first session survives the second OpenComm (IsOpen " & CInt(o.IsOpen) & ")"
rc = -9999: rc = o.CloseComm
Check rc = 0, "CloseComm returns 0 (" & rc & ")"
Check CInt(o.IsOpen) = 0, "IsOpen is 0 after CloseComm (" & CInt(o.IsOpen) & ")"
Check CDbl(o.hComm) = CDbl(h), "hComm keeps its last value after CloseComm (" & o.hComm & ")"
rc = -9999: rc = o.CloseComm
Check rc = 111, "CloseComm again returns 111 (" & rc & ")"

cycles = 0
For i = 1 To 10
    rc = -9999: rc = o.OpenComm
    If rc = 0 Then
        rc = -9999: rc = o.CloseComm
        If rc = 0 Then cycles = cycles + 1
    End If
Next
Check cycles = 10, "10 OpenComm/CloseComm cycles on the same port (" & cycles & " succeeded)"

o.QcDeviceName = highIndex
rc = -9999: rc = o.OpenComm
Check rc = 0, "OpenComm on COM" & (highIndex + 1) & " (device namespace) returns 0 (" & rc & ")"
rc = -9999: rc = o.CloseComm
Check rc = 0, "CloseComm on COM" & (highIndex + 1) & " returns 0 (" & rc & ")"

o.QcDeviceName = absentIndex
rc = -9999: rc = o.OpenComm
Check rc = 100, "OpenComm on absent COM" & (absentIndex + 1) & " returns 100 (" & rc & ")"
Check CInt(o.IsOpen) = 0, "a failed OpenComm leaves the port closed (IsOpen " & CInt(o.IsOpen) & ")"
Check CDbl(o.hComm) = -1 Or CDbl(o.hComm) = 4294967295, "hComm reports INVALID_HANDLE_VALUE after the failed open (" & o.hComm & ")"
rc = -9999: rc = o.CloseComm
Check rc = 111, "CloseComm after the failed open returns 111 (" & rc & ")"

Set o = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
