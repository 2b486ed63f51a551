// libFuzzer target for the % operator of byte strings.
//
// Input layout: the first byte chooses how the arguments are passed (a
// tuple, a single value, a dictionary or a list); the bytes up to the first
// 0x01 are the format string; every byte after it picks one argument value
// from a table of edge cases (ints at the 32-bit limits, longs, signed
// zeros, infinities, NaN, huge and tiny floats, strings, complex numbers,
// containers).  With a dictionary the values go under the keys "a", "b",
// "", "(x)" and "0" in turn.
//
// Nothing here may crash, leak or read out of bounds.  Formats whose
// widths or precisions are written with more than four digits are skipped:
// a width of a billion is a legitimate billion-byte result, not a fault,
// and would only exhaust the fuzzer's memory (the checked limits of such
// counts have their own unit tests).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zuvo.h"

namespace {

// Never destroyed: the values must stay reachable until the process ends.
std::vector<ZvObject *> &values = *new std::vector<ZvObject *>;

void add(ZvObject *o)
{
    if (o == nullptr) abort();
    values.push_back(o);
}

ZvObject *from_text(const char *s) { return ZvInt_FromString(s, nullptr, 0); }

void build_values()
{
    for (int32_t i : {0, 1, -1, 2, 7, 10, 42, -42, 65, 127, 128, 255, 256, -256, 65535,
                      INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1})
        add(ZvInt_FromLong(i));
    for (const char *s : {"0L", "1L", "-1L", "0x10000000000000000", "-0x10000000000000000",
                          "0xffffffffffffffffffff", "123456789012345678901234567890"})
        add(ZvLong_FromString(s, nullptr, 0));
    add(from_text("2147483648"));
    for (double d : {0.0, -0.0, 0.5, -1.5, 3.14159, 1e16, 1e17, 1e49, 1e50, -1e300, 1e-310,
                     5e-324, 1.7976931348623157e308, HUGE_VAL, -HUGE_VAL, (double)NAN, 2147483647.5,
                     -2147483648.5, 1e10})
        add(ZvFloat_FromDouble(d));
    for (const char *s : {"", "a", "abc", "%s", "%(a)s", "\xff", "0123456789abcdef0123456789"})
        add(ZvString_FromString(s));
    add(ZvString_FromStringAndSize("a\0b", 3));
    add(ZvComplex_FromDoubles(1.0, -2.0));
    add(ZvComplex_FromDoubles(0.0, 1.0));
    Zv_INCREF(Zv_None);
    add(Zv_None);
    Zv_INCREF(Zv_True);
    add(Zv_True);
    add(Zv_BuildValue("(ii)", 1, 2));
    add(Zv_BuildValue("()"));
    add(Zv_BuildValue("{s:i}", "a", 1));
    add(Zv_BuildValue("[i]", 1));
}

// True when some run of digits in the format is longer than four.
bool has_long_count(const std::string &format)
{
    int run = 0;
    for (char c : format) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run > 4) return true;
    }
    return false;
}

ZvObject *make_args(int kind, const uint8_t *picks, size_t n)
{
    auto pick = [&](size_t i) {
        ZvObject *v = values[picks[i] % values.size()];
        Zv_INCREF(v);
        return v;
    };
    switch (kind) {
    case 0: { // a tuple
        ZvObject *t = ZvTuple_New((int)n);
        for (size_t i = 0; t != nullptr && i < n; i++) ZvTuple_SET_ITEM(t, (int)i, pick(i));
        return t;
    }
    case 1: // a single value (None without picks)
        if (n == 0) {
            Zv_INCREF(Zv_None);
            return Zv_None;
        }
        return pick(0);
    case 2: { // a dictionary
        static const char *const keys[] = {"a", "b", "", "(x)", "0"};
        ZvObject *d = ZvDict_New();
        for (size_t i = 0; d != nullptr && i < n; i++) {
            ZvObject *v = pick(i);
            ZvDict_SetItemString(d, keys[i % 5], v);
            Zv_DECREF(v);
        }
        return d;
    }
    default: { // a list, which counts as a mapping
        ZvObject *l = ZvList_New(0);
        for (size_t i = 0; l != nullptr && i < n; i++) {
            ZvObject *v = pick(i);
            ZvList_Append(l, v);
            Zv_DECREF(v);
        }
        return l;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Zv_Initialize();
    build_values();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    int kind = data[0] & 3;
    const uint8_t *rest = data + 1;
    size_t n = size - 1;
    const uint8_t *sep = (const uint8_t *)memchr(rest, 0x01, n);
    size_t flen = sep ? (size_t)(sep - rest) : n;
    std::string format((const char *)rest, flen);
    if (has_long_count(format)) return 0;
    const uint8_t *picks = sep ? sep + 1 : rest + n;
    size_t npicks = (size_t)(rest + n - picks);
    ZvObject *f = ZvString_FromStringAndSize(format.data(), (int)format.size());
    ZvObject *args = make_args(kind, picks, npicks);
    if (f != nullptr && args != nullptr) {
        ZvObject *r = ZvString_Format(f, args);
        if (r != nullptr && !ZvString_Check(r)) abort();
        Zv_XDECREF(r);
    }
    Zv_XDECREF(f);
    Zv_XDECREF(args);
    ZvErr_Clear();
    return 0;
}
