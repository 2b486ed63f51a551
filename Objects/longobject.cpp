/* The arbitrary-precision integer type `long`.
 *
 * Numbers are sign-magnitude arrays of 15-bit digits, least significant
 * first, normalized so the top digit is non-zero.  This file starts with
 * the type record; the arithmetic and conversions fill it. */
#include "zuvo.h"

extern "C" {

ZvTypeObject ZvLong_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "long", sizeof(ZvLongObject) - sizeof(digit), sizeof(digit),
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE,
    "long(x[, base]) -> integer",
};

} // extern "C"
