// The About box (dialog 206), modal, closed only by its OK button.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::About() { return E_NOTIMPL; }

}  // namespace qlr
