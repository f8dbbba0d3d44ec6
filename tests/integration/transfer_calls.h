// The control's file-transfer members as the test hosts call them: each gives
// back the member's code or value (-99 or -1 when the call itself failed).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "qlrcom32_h.h"

namespace xfer {

inline short Start(IQLRCom* com, bool send, const std::wstring& name) {
    BSTR b = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    short rc = -99;
    if (send)
        com->SendFile(b, &rc);
    else
        com->RecvFile(b, &rc);
    SysFreeString(b);
    return rc;
}

inline short Progress(IQLRCom* com) {
    short v = -1;
    com->get_QcProgress(&v);
    return v;
}

inline short Abort(IQLRCom* com) {
    short rc = -99;
    com->AbortTransfer(&rc);
    return rc;
}

}  // namespace xfer
