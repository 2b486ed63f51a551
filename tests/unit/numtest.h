// Helpers shared by the integer tests: owned results rendered as text, and
// a two-sided slot call standing in for the generic number dispatch.
#ifndef ZV_TEST_NUMTEST_H
#define ZV_TEST_NUMTEST_H

#include "zvtest.h"

using Slot = binaryfunc ZvNumberMethods::*;

// repr() of an owned result, which is released; "!Name: message" when the
// call failed (the error is consumed).
inline std::string R(ZvObject *owned)
{
    if (owned == nullptr) {
        ZvObject *t, *v, *tb;
        ZvErr_Fetch(&t, &v, &tb);
        // "<class exceptions.Name>" or a plain name: keep the last word.
        std::string name = t ? zv_str(t) : "?";
        if (!name.empty() && name.back() == '>') name.pop_back();
        name = name.substr(name.find_last_of(". ") + 1);
        std::string msg = v ? zv_str(v) : "";
        Zv_XDECREF(t);
        Zv_XDECREF(v);
        Zv_XDECREF(tb);
        return "!" + name + ": " + msg;
    }
    std::string s = zv_repr(owned);
    Zv_DECREF(owned);
    return s;
}

// The left operand's slot, then the right one's when the first answers
// NotImplemented; borrowed operands.
inline ZvObject *binop(Slot slot, ZvObject *v, ZvObject *w)
{
    binaryfunc f = Zv_TYPE(v)->tp_as_number ? Zv_TYPE(v)->tp_as_number->*slot : nullptr;
    if (f != nullptr) {
        ZvObject *r = f(v, w);
        if (r != Zv_NotImplemented) return r;
        Zv_DECREF(r);
    }
    binaryfunc g = Zv_TYPE(w)->tp_as_number ? Zv_TYPE(w)->tp_as_number->*slot : nullptr;
    if (g != nullptr && g != f) return g(v, w);
    Zv_RETURN_NOTIMPLEMENTED;
}

inline ZvObject *power(ZvObject *v, ZvObject *w, ZvObject *z = Zv_None)
{
    ZvObject *r = Zv_TYPE(v)->tp_as_number->nb_power(v, w, z);
    if (r != Zv_NotImplemented) return r;
    Zv_DECREF(r);
    return Zv_TYPE(w)->tp_as_number->nb_power(v, w, z);
}

inline ZvObject *unop(unaryfunc ZvNumberMethods::*slot, ZvObject *v)
{
    return (Zv_TYPE(v)->tp_as_number->*slot)(v);
}

// Number objects from text: an int when it fits, else a long.
inline ZvObject *num(const char *text) { return ZvInt_FromString(text, nullptr, 0); }
inline ZvObject *lng(const char *text) { return ZvLong_FromString(text, nullptr, 0); }

// The operation on owned operands, rendered as repr.
inline std::string op(Slot slot, ZvObject *a, ZvObject *b)
{
    Owned oa(a), ob(b);
    return R(binop(slot, a, b));
}

#endif
