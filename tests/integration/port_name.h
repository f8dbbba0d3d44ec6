// The hosts' choice of port: the COM port their command line names, or, when
// the rig serves that port's line over the network (lib.sh's QLR_NET_PEER;
// QLR_NET_COM its number), the name in QLR_PORT_NAME, set as QcPortName.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>

#include "qlrcom32_h.h"

template <class Control>
void SelectPort(Control* com, long comNumber) {
    com->put_QcDeviceName(static_cast<enumDeviceName>(comNumber - 1));
    char served[16] = {};
    if (GetEnvironmentVariableA("QLR_NET_COM", served, sizeof served) == 0 ||
        std::atol(served) != comNumber)
        return;
    wchar_t name[512];
    const DWORD length = GetEnvironmentVariableW(L"QLR_PORT_NAME", name, 512);
    if (length == 0 || length >= 512) return;
    BSTR text = SysAllocString(name);
    com->put_QcPortName(text);
    SysFreeString(text);
}
