// The byte arrays that SendBinaryBytes and RecvBinaryBytes take: a variant
// holding a one-dimensional safe array of bytes, directly or by reference
// (script hosts pass variables by reference to a variant).
#pragma once

#include <oaidl.h>
#include <oleauto.h>

namespace qlr::transfer {

// The array, or null for anything else.
inline SAFEARRAY* ByteArrayOf(const VARIANT* value) {
    if (!value) return nullptr;
    const VARIANT* v = value;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_UI1))
        array = v->parray;
    else if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray)
        array = *v->pparray;
    if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) return nullptr;
    return array;
}

}  // namespace qlr::transfer
