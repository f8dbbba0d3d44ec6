' The 32-bit control on a pty line, from the 32-bit script host: opens the
' port, sends a line that the far end reads, receives the far end's answer.
' Arguments: PORT_INDEX (QcDeviceName), TEXT_OUT, TEXT_IN (without line end).
' Prints one line per check and a summary line; WScript.Quit with the number
' of failures. Every statement is guarded (an unhandled error ends a script
' silently under Wine); the caller also checks the number of checks.
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

Dim o, rc, got, textOut, textIn
textOut = WScript.Arguments(1)
textIn = WScript.Arguments(2)
Set o = CreateObject("QLRCom.QLRCom")
Check Err.Number = 0, "control created (error " & Hex(Err.Number) & ")"

o.QcDeviceName = CInt(WScript.Arguments(0))
o.QcBaudRate = 14                 ' 115200
o.QcMode = 1                      ' text mode: CR LF appended and removed
o.QcRecvTimeOut = 20000           ' the far end answers after it read our line
rc = -9999: rc = o.OpenComm
Check rc = 0, "OpenComm returns 0 (" & rc & ")"
Check CInt(o.IsOpen) <> 0, "IsOpen after OpenComm"

rc = -9999: rc = o.SendString(textOut)
Check rc = 0, "SendString returns 0 (" & rc & ")"

got = "": got = o.RecvString(Len(textIn) + 2)
Check got = textIn, "RecvString gets the far end's line (""" & got & """)"

rc = -9999: rc = o.CloseComm
Check rc = 0, "CloseComm returns 0 (" & rc & ")"
Check CInt(o.IsOpen) = 0, "closed after CloseComm"

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
