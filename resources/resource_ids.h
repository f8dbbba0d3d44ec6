// Resource identifiers of qlrcom32.ocx, shared by the resource script and C++.
#pragma once

// Type library (resource type TYPELIB).
#define IDR_TYPELIB 1

// Registration scripts (resource type REGISTRY).
#define IDR_QLRCOM 101
#define IDR_COMMSETTINGS 113

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
