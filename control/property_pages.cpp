// How the control advertises its property page, and the properties verb.
#include "control/qlrcom.h"

namespace qlr {

STDMETHODIMP QLRCom::GetPages(CAUUID* pages) {
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return E_NOTIMPL;
}

HRESULT QLRCom::ShowPropertyPages() { return E_NOTIMPL; }

}  // namespace qlr
