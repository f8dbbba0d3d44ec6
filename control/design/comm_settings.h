// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// The property page CommSettings (object creation: CreateCommSettings in
// control/com/module.h). What the page's number boxes mean is exposed for tests.
#pragma once

#include <cstdint>

namespace qlr {

// The number a page edit box stands for: leading white space skipped, one
// optional sign, decimal digits up to the first other character (none: 0),
// wrapping modulo 2^32 on overflow.
int32_t ParsePageNumber(const wchar_t* text);

}  // namespace qlr
