' The port list from a script host: every port named on the command line
' (COMn) is listed once, with its device number, as a SERIALCOMM-only port;
' For Each visits the same names; indices outside the list fail with 381.
'   cscript port_list.vbs COM3 COM12 ...      the list must hold these ports
'   cscript port_list.vbs /absent             the class must not be creatable
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

Sub Finish()
    WScript.Echo passed & " passed, " & failed & " failed"
    WScript.Quit failed
End Sub

Dim list, e
Err.Clear
Set list = CreateObject("QLRCom.PortList")
e = Err.Number
Err.Clear

If WScript.Arguments.Count = 1 Then
    If WScript.Arguments(0) = "/absent" Then
        Check e <> 0, "CreateObject(""QLRCom.PortList"") fails once unregistered (error " & Hex(e) & ")"
        Finish
    End If
End If

Check e = 0, "CreateObject(""QLRCom.PortList"") (error " & Hex(e) & ")"
If e <> 0 Then Finish

Dim count, i
count = list.Count
Check Err.Number = 0 And count > 0, "Count is " & count
For i = 0 To count - 1
    WScript.Echo "port " & i & ": " & list.Item(i) & " device " & list.DeviceNumber(i) & _
        " friendly """ & list.FriendlyName(i) & """ usb " & Hex(list.UsbVendorId(i)) & ":" & _
        Hex(list.UsbProductId(i)) & " serial """ & list.SerialNumber(i) & """"
Next

' (Wine's WScript.Arguments cannot be walked with For Each.)
Dim a, arg, n, at, ok
For a = 0 To WScript.Arguments.Count - 1
    arg = WScript.Arguments(a)
    n = 0
    at = -1
    For i = 0 To count - 1
        If list(i) = arg Then
            n = n + 1
            at = i
        End If
    Next
    Check n = 1, arg & " is listed once (" & n & " times)"
    If at >= 0 Then
        Check list.DeviceNumber(at) = CLng(Mid(arg, 4)) - 1, arg & " has device number " & list.DeviceNumber(at)
        Check list.FriendlyName(at) = arg, arg & " has no device node: its friendly name is its name (""" & _
            list.FriendlyName(at) & """)"
        Check list.UsbVendorId(at) = 0 And list.UsbProductId(at) = 0 And list.SerialNumber(at) = "", _
            arg & " is not on USB"
    End If
Next
Check Err.Number = 0, "no error reading the list (" & Err.Number & ")"
Err.Clear

ok = True
For i = 1 To count - 1
    If list.DeviceNumber(i - 1) >= 0 And list.DeviceNumber(i) >= 0 Then
        If list.DeviceNumber(i) <= list.DeviceNumber(i - 1) Then ok = False
    End If
    If list.DeviceNumber(i - 1) < 0 And list.DeviceNumber(i) >= 0 Then ok = False
Next
Check ok, "sorted by port number, each number once"

Dim p, k
k = 0
ok = True
Err.Clear
For Each p In list
    If k >= count Then
        ok = False
    ElseIf p <> list.Item(k) Then
        ok = False
    End If
    k = k + 1
Next
Check Err.Number = 0 And ok And k = count, "For Each visits the " & count & " names in order (" & k & " visited)"

Dim x
Err.Clear
x = list.Item(count)
e = Err.Number
Err.Clear
Check e = 381, "Item(Count) fails with 381 (" & e & ")"
x = list.DeviceNumber(-1)
e = Err.Number
Err.Clear
Check e = 381, "DeviceNumber(-1) fails with 381 (" & e & ")"

list.Refresh
e = Err.Number
Err.Clear
Check e = 0 And list.Count = count, "Refresh reads the same ports again (error " & Hex(e) & ")"

Dim versioned
Set versioned = CreateObject("QLRCom.PortList.1")
e = Err.Number
Err.Clear
Check e = 0, "CreateObject(""QLRCom.PortList.1"") (error " & Hex(e) & ")"
If e = 0 Then Check versioned.Count = count, "the versioned ProgID lists the same ports"

Finish
