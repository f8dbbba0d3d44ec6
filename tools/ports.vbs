' Which serial ports this machine has, from the port list object: each port's
' name, the QcDeviceName value that opens it, the system's description and,
' for a USB adapter, its vendor and product ids and serial number.
Option Explicit

Dim ports, i, name
Set ports = CreateObject("QLRCom.PortList")
WScript.Echo ports.Count & " ports:"
For i = 0 To ports.Count - 1
    WScript.Echo "  " & Left(ports(i) & Space(8), 8) & "QcDeviceName " & Left(ports.DeviceNumber(i) & Space(4), 4) & _
        """" & ports.FriendlyName(i) & """"
    If ports.UsbVendorId(i) <> 0 Then
        WScript.Echo "          USB " & Right("000" & Hex(ports.UsbVendorId(i)), 4) & ":" & _
            Right("000" & Hex(ports.UsbProductId(i)), 4) & " serial """ & ports.SerialNumber(i) & """"
    End If
Next

' For Each gives the names alone.
Dim names
names = ""
For Each name In ports
    names = names & " " & name
Next
WScript.Echo "For Each:" & names
