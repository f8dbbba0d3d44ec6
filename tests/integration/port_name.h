// The hosts' choice of port: the COM port their command line names, or, when
// the rig puts a network port in front of the same far end, the name in
// QLR_PORT_NAME (lib.sh's QLR_NET_PEER), set as QcPortName.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "qlrcom32_h.h"

template <class Control>
void SelectPort(Control* com, long comNumber) {
    com->put_QcDeviceName(static_cast<enumDeviceName>(comNumber - 1));
    wchar_t name[512];
    const DWORD length = GetEnvironmentVariableW(L"QLR_PORT_NAME", name, 512);
    if (length == 0 || length >= 512) return;
    BSTR text = SysAllocString(name);
    com->put_QcPortName(text);
    SysFreeString(text);
}
