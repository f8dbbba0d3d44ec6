' A script host creates the control through both of its ProgIDs.
' Prints one line per check and a summary line; WScript.Quit with the number
' of failures.
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

Sub TryCreate(progid)
    Dim o, e, rate
    ' Needed here too: without it an error leaves the Sub before its check.
    On Error Resume Next
    Err.Clear
    Set o = CreateObject(progid)
    e = Err.Number
    Err.Clear
    rate = -1
    If e = 0 Then rate = o.QcBaudRate
    Check e = 0 And rate = 8, "CreateObject(""" & progid & """) gives a control (error " & Hex(e) & ", QcBaudRate " & rate & ")"
    Set o = Nothing
End Sub

TryCreate "QLRCom.QLRCom.1"
TryCreate "QLRCom.QLRCom"

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
