// control/automation: the control object, its automation surface, events, window; the port list.
// The About box (dialog 206), modal, closed only by its OK button.
#include "control/automation/qlrcom.h"
#include "resources/resource_ids.h"

namespace qlr {

namespace {

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
    case WM_INITDIALOG: *reinterpret_cast<bool*>(lp) = true; return TRUE;
    case WM_COMMAND:
        // Esc, the close box and WM_CLOSE arrive as IDCANCEL and are ignored.
        if (LOWORD(wp) == IDOK) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

STDMETHODIMP QLRCom::About() {
    // The dialog ends with 0, which DialogBoxParam also returns for a bad
    // owner: only a dialog that was really shown counts as success.
    bool shown = false;
    const INT_PTR result =
        DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_ABOUT), GetActiveWindow(),
                        AboutProcedure, reinterpret_cast<LPARAM>(&shown));
    if (result == -1 || !shown) return E_FAIL;
    return S_OK;
}

}  // namespace qlr
