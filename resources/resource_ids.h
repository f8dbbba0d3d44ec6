// Resource identifiers of qlrcom32.ocx, shared by the resource script and C++.
#pragma once

// Type library (resource type TYPELIB).
#define IDR_TYPELIB 1

// Registration scripts (resource type REGISTRY).
#define IDR_QLRCOM 101
#define IDR_COMMSETTINGS 113
#define IDR_QLRPORTLIST 115

// Toolbox picture of the control (BITMAP); ToolboxBitmap32 names it as ", 1".
#define IDB_QLRCOM 1

// String table.
#define IDS_PROJNAME 100
#define IDS_QE4000 101
#define IDS_QE4001 102
#define IDS_QE4002 103
#define IDS_QE4003 104  // XModem worker cannot be started
#define IDS_QE4004 105  // XModem receive failed (%d)
#define IDS_QE4005 106  // file %s exists; overwrite?
#define IDS_QE4006 107  // file %s does not exist
#define IDS_QE4007 108  // XModem send failed (%d)
#define IDS_QE4008 109

// Design-time face of the control (BITMAP, 32 x 32).
#define IDB_FACE 2

// About box (appearance.rc).
#define IDD_ABOUT 206

// Property page CommSettings (page.rc).
#define IDS_PAGE_TITLE 110
#define IDS_PAGE_HELPFILE 111
#define IDS_PAGE_DOCSTRING 112
#define IDD_COMMSETTINGS 114
#define IDC_PAGE_PORT 201
#define IDC_PAGE_BAUD 202
#define IDC_PAGE_BYTESIZE 203
#define IDC_PAGE_PARITY 204
#define IDC_PAGE_STOPBITS 205
#define IDC_PAGE_FLOW 206
#define IDC_PAGE_RECVQ 207
#define IDC_PAGE_SENDQ 208
#define IDC_PAGE_RECVTIMEOUT 209
#define IDC_PAGE_SENDTIMEOUT 210
#define IDC_PAGE_NOTIFYCHARS 211
#define IDC_PAGE_PARITYREPLACE 212
