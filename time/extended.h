// SPDX-License-Identifier: MIT
#pragma once

// TExtended, the type the clock arithmetic computes in: the x87 80-bit
// extended format, a 64-bit significand and a 15-bit exponent, each result
// rounded to nearest, ties to even. Where the compiler's long double is that
// format (x86-64 and x86) it is long double. Elsewhere long double is another
// format (the double format on armhf, a 113-bit one on arm64, s390x and
// riscv64, a pair of doubles on ppc64el) that would round differently and
// change the counts at exact seconds, so the same format is computed in
// software there, with bit-identical results. Defining OSTREVAN_SOFT_EXTENDED
// (the build's option of that name) takes the software format on x86 as well,
// so that both can be built and compared on one machine.
#if defined(OSTREVAN_SOFT_EXTENDED) || __LDBL_MANT_DIG__ != 64 || __LDBL_MAX_EXP__ != 16384

#include "ostrevan/time/soft_extended.h"

namespace ostrevan {
/// The x87 extended format the clock arithmetic computes in: long double where the compiler's long double is that format, else TSoftExtended.
using TExtended = TSoftExtended;
}  // namespace ostrevan

#else

namespace ostrevan {
/// The x87 extended format the clock arithmetic computes in: long double where the compiler's long double is that format, else TSoftExtended.
using TExtended = long double;
}  // namespace ostrevan

#endif
