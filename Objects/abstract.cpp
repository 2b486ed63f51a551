/* The abstract object protocols.
 *
 * This is the dispatch layer between callers that do not know an object's
 * type and the type slots: it decides which operand's slot is tried first,
 * when coercion happens and what falls back to what (numbers to sequences,
 * mappings to sequences, containment to iteration).  Numeric slots are
 * addressed by their byte offset in ZvNumberMethods so that one routine
 * serves every binary operator and one every ternary one. */
#include "zuvo.h"

#include <stddef.h>
#include <string.h>

#include "zvref.h"

extern "C" {

static ZvObject *type_error(const char *msg)
{
    ZvErr_SetString(ZvExc_TypeError, msg);
    return nullptr;
}

static ZvObject *null_error(void)
{
    if (!ZvErr_Occurred())
        ZvErr_SetString(ZvExc_SystemError, "null argument to internal routine");
    return nullptr;
}

/* --- generic ------------------------------------------------------------- */

int ZvObject_Cmp(ZvObject *o1, ZvObject *o2, int *result)
{
    if (o1 == nullptr || o2 == nullptr) {
        null_error();
        return -1;
    }
    int r = ZvObject_Compare(o1, o2);
    if (ZvErr_Occurred()) return -1;
    *result = r;
    return 0;
}

ZvObject *ZvObject_Type(ZvObject *o)
{
    if (o == nullptr) return null_error();
    ZvObject *v = (ZvObject *)Zv_TYPE(o);
    Zv_INCREF(v);
    return v;
}

int ZvObject_Size(ZvObject *o)
{
    if (o == nullptr) {
        null_error();
        return -1;
    }
    ZvSequenceMethods *m = Zv_TYPE(o)->tp_as_sequence;
    if (m && m->sq_length) return m->sq_length(o);
    return ZvMapping_Size(o);
}

int ZvObject_Length(ZvObject *o) { return ZvObject_Size(o); }

/* An int or long subscript as a native index; a long that does not fit is
 * an OverflowError. */
static int index_from_key(ZvObject *key, int *out)
{
    if (ZvInt_Check(key)) {
        *out = ZvInt_AS_LONG(key);
        return 0;
    }
    int32_t v = ZvLong_AsLong(key);
    if (v == -1 && ZvErr_Occurred()) return -1;
    *out = v;
    return 0;
}

static bool is_integer(ZvObject *o) { return ZvInt_Check(o) || ZvLong_Check(o); }

ZvObject *ZvObject_GetItem(ZvObject *o, ZvObject *key)
{
    if (o == nullptr || key == nullptr) return null_error();
    ZvMappingMethods *m = Zv_TYPE(o)->tp_as_mapping;
    if (m && m->mp_subscript) return m->mp_subscript(o, key);
    if (Zv_TYPE(o)->tp_as_sequence) {
        if (is_integer(key)) {
            int i;
            if (index_from_key(key, &i) < 0) return nullptr;
            return ZvSequence_GetItem(o, i);
        }
        if (Zv_TYPE(o)->tp_as_sequence->sq_item)
            return type_error("sequence index must be integer");
    }
    return type_error("unsubscriptable object");
}

int ZvObject_SetItem(ZvObject *o, ZvObject *key, ZvObject *value)
{
    if (o == nullptr || key == nullptr || value == nullptr) {
        null_error();
        return -1;
    }
    ZvMappingMethods *m = Zv_TYPE(o)->tp_as_mapping;
    if (m && m->mp_ass_subscript) return m->mp_ass_subscript(o, key, value);
    if (Zv_TYPE(o)->tp_as_sequence) {
        if (is_integer(key)) {
            int i;
            if (index_from_key(key, &i) < 0) return -1;
            return ZvSequence_SetItem(o, i, value);
        }
        if (Zv_TYPE(o)->tp_as_sequence->sq_ass_item) {
            type_error("sequence index must be integer");
            return -1;
        }
    }
    type_error("object does not support item assignment");
    return -1;
}

int ZvObject_DelItem(ZvObject *o, ZvObject *key)
{
    if (o == nullptr || key == nullptr) {
        null_error();
        return -1;
    }
    ZvMappingMethods *m = Zv_TYPE(o)->tp_as_mapping;
    if (m && m->mp_ass_subscript) return m->mp_ass_subscript(o, key, nullptr);
    if (Zv_TYPE(o)->tp_as_sequence) {
        if (is_integer(key)) {
            int i;
            if (index_from_key(key, &i) < 0) return -1;
            return ZvSequence_DelItem(o, i);
        }
        if (Zv_TYPE(o)->tp_as_sequence->sq_ass_item) {
            type_error("sequence index must be integer");
            return -1;
        }
    }
    type_error("object does not support item deletion");
    return -1;
}

int ZvObject_DelItemString(ZvObject *o, const char *key)
{
    if (o == nullptr || key == nullptr) {
        null_error();
        return -1;
    }
    ZvObject *okey = ZvString_FromString(key);
    if (okey == nullptr) return -1;
    int ret = ZvObject_DelItem(o, okey);
    Zv_DECREF(okey);
    return ret;
}

/* --- buffers ------------------------------------------------------------- */

int ZvObject_CheckReadBuffer(ZvObject *o)
{
    ZvBufferProcs *pb = Zv_TYPE(o)->tp_as_buffer;
    return pb != nullptr && pb->bf_getreadbuffer != nullptr && pb->bf_getsegcount != nullptr &&
           pb->bf_getsegcount(o, nullptr) == 1;
}

} // extern "C"

/* Segment 0 of a buffer that must have exactly one segment.  `slot_of`
 * picks the buffer slot to read it through (NULL when the type lacks it,
 * which is TypeError `missing`). */
template <typename Seg, typename SlotOf>
static int single_segment(ZvObject *o, SlotOf slot_of, const char *missing, Seg *buffer,
                          int *buffer_len)
{
    if (o == nullptr || buffer == nullptr || buffer_len == nullptr) {
        null_error();
        return -1;
    }
    ZvBufferProcs *pb = Zv_TYPE(o)->tp_as_buffer;
    auto slot = pb != nullptr ? slot_of(o, pb) : nullptr;
    if (slot == nullptr || pb->bf_getsegcount == nullptr) {
        type_error(missing);
        return -1;
    }
    if (pb->bf_getsegcount(o, nullptr) != 1) {
        type_error("expected a single-segment buffer object");
        return -1;
    }
    Seg pp;
    int len = slot(o, 0, &pp);
    if (len < 0) return -1;
    *buffer = pp;
    *buffer_len = len;
    return 0;
}

extern "C" {

int ZvObject_AsCharBuffer(ZvObject *o, const char **buffer, int *buffer_len)
{
    auto slot_of = [](ZvObject *ob, ZvBufferProcs *pb) {
        return ZvType_HasFeature(Zv_TYPE(ob), Zv_TPFLAGS_HAVE_GETCHARBUFFER) ? pb->bf_getcharbuffer
                                                                            : nullptr;
    };
    return single_segment(o, slot_of, "expected a character buffer object", buffer, buffer_len);
}

int ZvObject_AsReadBuffer(ZvObject *o, const void **buffer, int *buffer_len)
{
    auto slot_of = [](ZvObject *, ZvBufferProcs *pb) { return pb->bf_getreadbuffer; };
    void *p = nullptr;
    int r = single_segment(o, slot_of, "expected a readable buffer object",
                           buffer ? &p : nullptr, buffer_len);
    if (r == 0) *buffer = p;
    return r;
}

int ZvObject_AsWriteBuffer(ZvObject *o, void **buffer, int *buffer_len)
{
    auto slot_of = [](ZvObject *, ZvBufferProcs *pb) { return pb->bf_getwritebuffer; };
    return single_segment(o, slot_of, "expected a writeable buffer object", buffer, buffer_len);
}

/* --- numbers ------------------------------------------------------------- */

int ZvNumber_Check(ZvObject *o)
{
    return o && Zv_TYPE(o)->tp_as_number &&
           (Zv_TYPE(o)->tp_as_number->nb_int || Zv_TYPE(o)->tp_as_number->nb_float);
}

#define NB_SLOT(x) offsetof(ZvNumberMethods, x)
#define NB_BINOP(nb_methods, slot) (*(binaryfunc *)(&((char *)(nb_methods))[slot]))
#define NB_TERNOP(nb_methods, slot) (*(ternaryfunc *)(&((char *)(nb_methods))[slot]))

static inline bool new_style_number(ZvObject *o)
{
    return ZvType_HasFeature(Zv_TYPE(o), Zv_TPFLAGS_CHECKTYPES);
}

static ZvObject *binary_op1(ZvObject *v, ZvObject *w, size_t op_slot)
{
    if (v == nullptr || w == nullptr) return null_error();
    binaryfunc slotv = nullptr, slotw = nullptr;
    if (Zv_TYPE(v)->tp_as_number != nullptr && new_style_number(v))
        slotv = NB_BINOP(Zv_TYPE(v)->tp_as_number, op_slot);
    if (Zv_TYPE(w) != Zv_TYPE(v) && Zv_TYPE(w)->tp_as_number != nullptr && new_style_number(w)) {
        slotw = NB_BINOP(Zv_TYPE(w)->tp_as_number, op_slot);
        if (slotw == slotv) slotw = nullptr;
    }
    ZvObject *x;
    if (slotv) {
        if (slotw && ZvType_IsSubtype(Zv_TYPE(w), Zv_TYPE(v))) {
            x = slotw(v, w);
            if (x != Zv_NotImplemented) return x;
            Zv_DECREF(x);
            slotw = nullptr;
        }
        x = slotv(v, w);
        if (x != Zv_NotImplemented) return x;
        Zv_DECREF(x);
    }
    if (slotw) {
        x = slotw(v, w);
        if (x != Zv_NotImplemented) return x;
        Zv_DECREF(x);
    }
    if (!new_style_number(v) || !new_style_number(w)) {
        int err = ZvNumber_CoerceEx(&v, &w);
        if (err < 0) return nullptr;
        if (err == 0) {
            ZvNumberMethods *mv = Zv_TYPE(v)->tp_as_number;
            if (mv) {
                binaryfunc slot = NB_BINOP(mv, op_slot);
                if (slot) {
                    x = slot(v, w);
                    Zv_DECREF(v);
                    Zv_DECREF(w);
                    return x;
                }
            }
            Zv_DECREF(v);
            Zv_DECREF(w);
        }
    }
    Zv_RETURN_NOTIMPLEMENTED;
}

static ZvObject *binop_type_error(ZvObject *v, ZvObject *w, const char *op_name)
{
    ZvErr_Format(ZvExc_TypeError, "unsupported operand type(s) for %s: '%s' and '%s'", op_name,
                 Zv_TYPE(v)->tp_name, Zv_TYPE(w)->tp_name);
    return nullptr;
}

static ZvObject *binary_op(ZvObject *v, ZvObject *w, size_t op_slot, const char *op_name)
{
    ZvObject *result = binary_op1(v, w, op_slot);
    if (result == Zv_NotImplemented) {
        Zv_DECREF(result);
        return binop_type_error(v, w, op_name);
    }
    return result;
}

/* The slot of an old-style left operand after coercing the operands
 * pairwise: (v, w), then with z when z is not None.  *called tells whether
 * a slot ran (its result, even an error, is then final). */
static ZvObject *coerced_ternary(ZvObject *v, ZvObject *w, ZvObject *z, size_t op_slot,
                                 bool *called)
{
    auto slot_of = [op_slot](ZvObject *o) -> ternaryfunc {
        ZvNumberMethods *m = Zv_TYPE(o)->tp_as_number;
        return m ? NB_TERNOP(m, op_slot) : nullptr;
    };
    ZvObject *x = nullptr;
    if (ZvNumber_Coerce(&v, &w) != 0) return nullptr;
    if (z == Zv_None) {
        if (ternaryfunc slot = slot_of(v)) {
            *called = true;
            x = slot(v, w, z);
        }
    } else {
        ZvObject *v2 = v, *z1 = z;
        if (ZvNumber_Coerce(&v2, &z1) == 0) {
            ZvObject *w2 = w, *z2 = z1;
            if (ZvNumber_Coerce(&w2, &z2) == 0) {
                if (ternaryfunc slot = slot_of(v2)) {
                    *called = true;
                    x = slot(v2, w2, z2);
                }
                Zv_DECREF(w2);
                Zv_DECREF(z2);
            }
            Zv_DECREF(v2);
            Zv_DECREF(z1);
        }
    }
    Zv_DECREF(v);
    Zv_DECREF(w);
    return x;
}

static ZvObject *ternary_op(ZvObject *v, ZvObject *w, ZvObject *z, size_t op_slot)
{
    if (v == nullptr || w == nullptr || z == nullptr) return null_error();
    ZvNumberMethods *mv = Zv_TYPE(v)->tp_as_number, *mw = Zv_TYPE(w)->tp_as_number;
    ternaryfunc slotv = nullptr, slotw = nullptr, slotz = nullptr;
    if (mv != nullptr && new_style_number(v)) slotv = NB_TERNOP(mv, op_slot);
    if (Zv_TYPE(w) != Zv_TYPE(v) && mw != nullptr && new_style_number(w)) {
        slotw = NB_TERNOP(mw, op_slot);
        if (slotw == slotv) slotw = nullptr;
    }
    ZvObject *x;
    if (slotv) {
        if (slotw && ZvType_IsSubtype(Zv_TYPE(w), Zv_TYPE(v))) {
            x = slotw(v, w, z);
            if (x != Zv_NotImplemented) return x;
            Zv_DECREF(x);
            slotw = nullptr;
        }
        x = slotv(v, w, z);
        if (x != Zv_NotImplemented) return x;
        Zv_DECREF(x);
    }
    if (slotw) {
        x = slotw(v, w, z);
        if (x != Zv_NotImplemented) return x;
        Zv_DECREF(x);
    }
    ZvNumberMethods *mz = Zv_TYPE(z)->tp_as_number;
    if (mz != nullptr && new_style_number(z)) {
        slotz = NB_TERNOP(mz, op_slot);
        if (slotz == slotv || slotz == slotw) slotz = nullptr;
        if (slotz) {
            x = slotz(v, w, z);
            if (x != Zv_NotImplemented) return x;
            Zv_DECREF(x);
        }
    }
    if (!new_style_number(v) || !new_style_number(w) ||
        (z != Zv_None && !new_style_number(z))) {
        /* Old-style numbers: coerce pairwise, then call the slot of the
         * coerced left operand. */
        bool called = false;
        x = coerced_ternary(v, w, z, op_slot, &called);
        if (called) return x;
        ZvErr_Clear();
    }
    if (z == Zv_None)
        ZvErr_Format(ZvExc_TypeError, "unsupported operand type(s) for ** or pow(): '%s' and '%s'",
                     Zv_TYPE(v)->tp_name, Zv_TYPE(w)->tp_name);
    else
        ZvErr_Format(ZvExc_TypeError, "unsupported operand type(s) for pow(): '%s', '%s', '%s'",
                     Zv_TYPE(v)->tp_name, Zv_TYPE(w)->tp_name, Zv_TYPE(z)->tp_name);
    return nullptr;
}

#define BINARY_FUNC(func, op, op_name)                                        \
    ZvObject *func(ZvObject *v, ZvObject *w) { return binary_op(v, w, NB_SLOT(op), op_name); }

BINARY_FUNC(ZvNumber_Or, nb_or, "|")
BINARY_FUNC(ZvNumber_Xor, nb_xor, "^")
BINARY_FUNC(ZvNumber_And, nb_and, "&")
BINARY_FUNC(ZvNumber_Lshift, nb_lshift, "<<")
BINARY_FUNC(ZvNumber_Rshift, nb_rshift, ">>")
BINARY_FUNC(ZvNumber_Subtract, nb_subtract, "-")
BINARY_FUNC(ZvNumber_Divide, nb_divide, "/")
BINARY_FUNC(ZvNumber_Divmod, nb_divmod, "divmod()")
BINARY_FUNC(ZvNumber_FloorDivide, nb_floor_divide, "//")
BINARY_FUNC(ZvNumber_TrueDivide, nb_true_divide, "/")
BINARY_FUNC(ZvNumber_Remainder, nb_remainder, "%")

ZvObject *ZvNumber_Add(ZvObject *v, ZvObject *w)
{
    ZvObject *result = binary_op1(v, w, NB_SLOT(nb_add));
    if (result != Zv_NotImplemented) return result;
    Zv_DECREF(result);
    ZvSequenceMethods *m = Zv_TYPE(v)->tp_as_sequence;
    if (m && m->sq_concat) return m->sq_concat(v, w);
    return binop_type_error(v, w, "+");
}

/* The count of a sequence repetition must be an integer. */
static ZvObject *sequence_repeat(intargfunc repeatfunc, ZvObject *seq, ZvObject *n)
{
    int count;
    if (ZvInt_Check(n)) {
        count = ZvInt_AS_LONG(n);
    } else if (ZvLong_Check(n)) {
        count = ZvLong_AsLong(n);
        if (count == -1 && ZvErr_Occurred()) return nullptr;
    } else {
        return type_error("can't multiply sequence by non-int");
    }
    return repeatfunc(seq, count);
}

ZvObject *ZvNumber_Multiply(ZvObject *v, ZvObject *w)
{
    ZvObject *result = binary_op1(v, w, NB_SLOT(nb_multiply));
    if (result != Zv_NotImplemented) return result;
    ZvSequenceMethods *mv = Zv_TYPE(v)->tp_as_sequence, *mw = Zv_TYPE(w)->tp_as_sequence;
    Zv_DECREF(result);
    if (mv && mv->sq_repeat) return sequence_repeat(mv->sq_repeat, v, w);
    if (mw && mw->sq_repeat) return sequence_repeat(mw->sq_repeat, w, v);
    return binop_type_error(v, w, "*");
}

ZvObject *ZvNumber_Power(ZvObject *v, ZvObject *w, ZvObject *z)
{
    return ternary_op(v, w, z, NB_SLOT(nb_power));
}

static inline bool has_inplace(ZvObject *v)
{
    return Zv_TYPE(v)->tp_as_number != nullptr &&
           ZvType_HasFeature(Zv_TYPE(v), Zv_TPFLAGS_HAVE_INPLACEOPS);
}

static ZvObject *binary_iop1(ZvObject *v, ZvObject *w, size_t iop_slot, size_t op_slot)
{
    if (v == nullptr || w == nullptr) return null_error();
    if (has_inplace(v)) {
        binaryfunc slot = NB_BINOP(Zv_TYPE(v)->tp_as_number, iop_slot);
        if (slot) {
            ZvObject *x = slot(v, w);
            if (x != Zv_NotImplemented) return x;
            Zv_DECREF(x);
        }
    }
    return binary_op1(v, w, op_slot);
}

static ZvObject *binary_iop(ZvObject *v, ZvObject *w, size_t iop_slot, size_t op_slot,
                            const char *op_name)
{
    ZvObject *result = binary_iop1(v, w, iop_slot, op_slot);
    if (result == Zv_NotImplemented) {
        Zv_DECREF(result);
        return binop_type_error(v, w, op_name);
    }
    return result;
}

#define INPLACE_BINOP(func, iop, op, op_name)                                 \
    ZvObject *func(ZvObject *v, ZvObject *w)                                  \
    {                                                                         \
        return binary_iop(v, w, NB_SLOT(iop), NB_SLOT(op), op_name);          \
    }

INPLACE_BINOP(ZvNumber_InPlaceOr, nb_inplace_or, nb_or, "|=")
INPLACE_BINOP(ZvNumber_InPlaceXor, nb_inplace_xor, nb_xor, "^=")
INPLACE_BINOP(ZvNumber_InPlaceAnd, nb_inplace_and, nb_and, "&=")
INPLACE_BINOP(ZvNumber_InPlaceLshift, nb_inplace_lshift, nb_lshift, "<<=")
INPLACE_BINOP(ZvNumber_InPlaceRshift, nb_inplace_rshift, nb_rshift, ">>=")
INPLACE_BINOP(ZvNumber_InPlaceSubtract, nb_inplace_subtract, nb_subtract, "-=")
INPLACE_BINOP(ZvNumber_InPlaceDivide, nb_inplace_divide, nb_divide, "/=")
INPLACE_BINOP(ZvNumber_InPlaceFloorDivide, nb_inplace_floor_divide, nb_floor_divide, "//=")
INPLACE_BINOP(ZvNumber_InPlaceTrueDivide, nb_inplace_true_divide, nb_true_divide, "/=")
INPLACE_BINOP(ZvNumber_InPlaceRemainder, nb_inplace_remainder, nb_remainder, "%=")

ZvObject *ZvNumber_InPlaceAdd(ZvObject *v, ZvObject *w)
{
    ZvObject *result = binary_iop1(v, w, NB_SLOT(nb_inplace_add), NB_SLOT(nb_add));
    if (result != Zv_NotImplemented) return result;
    ZvSequenceMethods *m = Zv_TYPE(v)->tp_as_sequence;
    Zv_DECREF(result);
    if (m != nullptr) {
        binaryfunc f = nullptr;
        if (ZvType_HasFeature(Zv_TYPE(v), Zv_TPFLAGS_HAVE_INPLACEOPS)) f = m->sq_inplace_concat;
        if (f == nullptr) f = m->sq_concat;
        if (f != nullptr) return f(v, w);
    }
    return binop_type_error(v, w, "+=");
}

ZvObject *ZvNumber_InPlaceMultiply(ZvObject *v, ZvObject *w)
{
    ZvObject *result = binary_iop1(v, w, NB_SLOT(nb_inplace_multiply), NB_SLOT(nb_multiply));
    if (result != Zv_NotImplemented) return result;
    ZvSequenceMethods *mv = Zv_TYPE(v)->tp_as_sequence, *mw = Zv_TYPE(w)->tp_as_sequence;
    Zv_DECREF(result);
    if (mv != nullptr) {
        intargfunc f = nullptr;
        if (ZvType_HasFeature(Zv_TYPE(v), Zv_TPFLAGS_HAVE_INPLACEOPS)) f = mv->sq_inplace_repeat;
        if (f == nullptr) f = mv->sq_repeat;
        if (f != nullptr) return sequence_repeat(f, v, w);
    } else if (mw != nullptr && mw->sq_repeat) {
        /* The right operand is repeated, never in place. */
        return sequence_repeat(mw->sq_repeat, w, v);
    }
    return binop_type_error(v, w, "*=");
}

ZvObject *ZvNumber_InPlacePower(ZvObject *v, ZvObject *w, ZvObject *z)
{
    if (v == nullptr) return null_error();
    if (has_inplace(v) && Zv_TYPE(v)->tp_as_number->nb_inplace_power != nullptr)
        return ternary_op(v, w, z, NB_SLOT(nb_inplace_power));
    return ternary_op(v, w, z, NB_SLOT(nb_power));
}

static ZvObject *unary_op(ZvObject *o, size_t slot, const char *msg)
{
    if (o == nullptr) return null_error();
    ZvNumberMethods *m = Zv_TYPE(o)->tp_as_number;
    if (m) {
        unaryfunc f = *(unaryfunc *)(&((char *)m)[slot]);
        if (f) return f(o);
    }
    return type_error(msg);
}

ZvObject *ZvNumber_Negative(ZvObject *o)
{
    return unary_op(o, NB_SLOT(nb_negative), "bad operand type for unary -");
}
ZvObject *ZvNumber_Positive(ZvObject *o)
{
    return unary_op(o, NB_SLOT(nb_positive), "bad operand type for unary +");
}
ZvObject *ZvNumber_Invert(ZvObject *o)
{
    return unary_op(o, NB_SLOT(nb_invert), "bad operand type for unary ~");
}
ZvObject *ZvNumber_Absolute(ZvObject *o)
{
    return unary_op(o, NB_SLOT(nb_absolute), "bad operand type for abs()");
}

/* Parses the whole of a string's bytes as an integer; an embedded NUL
 * means the parse stopped early. */
static ZvObject *int_from_string(const char *s, int len, bool as_long)
{
    char *end;
    ZvObject *x = as_long ? ZvLong_FromString(s, &end, 10) : ZvInt_FromString(s, &end, 10);
    if (x != nullptr && end != s + len) {
        ZvErr_SetString(ZvExc_ValueError, as_long ? "null byte in argument for long()"
                                                  : "null byte in argument for int()");
        Zv_DECREF(x);
        return nullptr;
    }
    return x;
}

/* The integer conversion shared by int() and long() after their own exact
 * and subtype cases: a string is parsed in base 10, else the number slot
 * (whose result must be an int or a long), else a character buffer is
 * parsed like a string. */
static ZvObject *integer_conversion(ZvObject *o, unaryfunc slot, bool as_long)
{
    if (ZvString_Check(o)) return int_from_string(ZvString_AS_STRING(o), ZvString_GET_SIZE(o), as_long);
    if (slot != nullptr) {
        ZvObject *res = slot(o);
        if (res && !ZvInt_Check(res) && !ZvLong_Check(res)) {
            ZvErr_Format(ZvExc_TypeError,
                         as_long ? "__long__ returned non-long (type %.200s)"
                                 : "__int__ returned non-int (type %.200s)",
                         Zv_TYPE(res)->tp_name);
            Zv_DECREF(res);
            return nullptr;
        }
        return res;
    }
    const char *buffer;
    int buffer_len;
    if (ZvObject_AsCharBuffer(o, &buffer, &buffer_len) == 0) {
        /* Copied so the parser sees a NUL-terminated text. */
        ZvObject *s = ZvString_FromStringAndSize(buffer, buffer_len);
        if (s == nullptr) return nullptr;
        ZvObject *r = int_from_string(ZvString_AS_STRING(s), buffer_len, as_long);
        Zv_DECREF(s);
        return r;
    }
    ZvErr_Clear();
    return type_error(as_long ? "long() argument must be a string or a number"
                              : "int() argument must be a string or a number");
}

ZvObject *ZvNumber_Int(ZvObject *o)
{
    if (o == nullptr) return null_error();
    if (ZvInt_CheckExact(o)) {
        Zv_INCREF(o);
        return o;
    }
    if (ZvInt_Check(o)) return ZvInt_FromLong(ZvInt_AS_LONG(o));
    ZvNumberMethods *m = Zv_TYPE(o)->tp_as_number;
    return integer_conversion(o, m ? m->nb_int : nullptr, false);
}

ZvObject *ZvNumber_Long(ZvObject *o)
{
    if (o == nullptr) return null_error();
    if (ZvLong_CheckExact(o)) {
        Zv_INCREF(o);
        return o;
    }
    if (ZvLong_Check(o)) return _ZvLong_Copy((ZvLongObject *)o);
    ZvNumberMethods *m = Zv_TYPE(o)->tp_as_number;
    return integer_conversion(o, m ? m->nb_long : nullptr, true);
}

ZvObject *ZvNumber_Float(ZvObject *o)
{
    if (o == nullptr) return null_error();
    if (ZvFloat_CheckExact(o)) {
        Zv_INCREF(o);
        return o;
    }
    if (ZvFloat_Check(o)) return ZvFloat_FromDouble(ZvFloat_AS_DOUBLE(o));
    ZvNumberMethods *m = Zv_TYPE(o)->tp_as_number;
    if (m && m->nb_float && !ZvString_Check(o)) {
        ZvObject *res = m->nb_float(o);
        if (res && !ZvFloat_Check(res)) {
            ZvErr_Format(ZvExc_TypeError, "__float__ returned non-float (type %.200s)",
                         Zv_TYPE(res)->tp_name);
            Zv_DECREF(res);
            return nullptr;
        }
        return res;
    }
    return ZvFloat_FromString(o, nullptr);
}

/* --- sequences ----------------------------------------------------------- */

int ZvSequence_Check(ZvObject *s)
{
    return s != nullptr && Zv_TYPE(s)->tp_as_sequence && Zv_TYPE(s)->tp_as_sequence->sq_item != nullptr;
}

int ZvSequence_Size(ZvObject *s)
{
    if (s == nullptr) {
        null_error();
        return -1;
    }
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_length) return m->sq_length(s);
    type_error("len() of unsized object");
    return -1;
}

int ZvSequence_Length(ZvObject *s) { return ZvSequence_Size(s); }

ZvObject *ZvSequence_Concat(ZvObject *s, ZvObject *o)
{
    if (s == nullptr || o == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_concat) return m->sq_concat(s, o);
    if (ZvSequence_Check(s) && ZvSequence_Check(o)) {
        ZvObject *result = binary_op1(s, o, NB_SLOT(nb_add));
        if (result != Zv_NotImplemented) return result;
        Zv_DECREF(result);
    }
    return type_error("object can't be concatenated");
}

ZvObject *ZvSequence_Repeat(ZvObject *o, int count)
{
    if (o == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(o)->tp_as_sequence;
    if (m && m->sq_repeat) return m->sq_repeat(o, count);
    if (ZvSequence_Check(o)) {
        ZvObject *n = ZvInt_FromLong(count);
        if (n == nullptr) return nullptr;
        ZvObject *result = binary_op1(o, n, NB_SLOT(nb_multiply));
        Zv_DECREF(n);
        if (result != Zv_NotImplemented) return result;
        Zv_DECREF(result);
    }
    return type_error("object can't be repeated");
}

ZvObject *ZvSequence_InPlaceConcat(ZvObject *s, ZvObject *o)
{
    if (s == nullptr || o == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && ZvType_HasFeature(Zv_TYPE(s), Zv_TPFLAGS_HAVE_INPLACEOPS) && m->sq_inplace_concat)
        return m->sq_inplace_concat(s, o);
    if (m && m->sq_concat) return m->sq_concat(s, o);
    if (ZvSequence_Check(s) && ZvSequence_Check(o)) {
        ZvObject *result = binary_iop1(s, o, NB_SLOT(nb_inplace_add), NB_SLOT(nb_add));
        if (result != Zv_NotImplemented) return result;
        Zv_DECREF(result);
    }
    return type_error("object can't be concatenated");
}

ZvObject *ZvSequence_InPlaceRepeat(ZvObject *o, int count)
{
    if (o == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(o)->tp_as_sequence;
    if (m && ZvType_HasFeature(Zv_TYPE(o), Zv_TPFLAGS_HAVE_INPLACEOPS) && m->sq_inplace_repeat)
        return m->sq_inplace_repeat(o, count);
    if (m && m->sq_repeat) return m->sq_repeat(o, count);
    if (ZvSequence_Check(o)) {
        ZvObject *n = ZvInt_FromLong(count);
        if (n == nullptr) return nullptr;
        ZvObject *result =
            binary_iop1(o, n, NB_SLOT(nb_inplace_multiply), NB_SLOT(nb_multiply));
        Zv_DECREF(n);
        if (result != Zv_NotImplemented) return result;
        Zv_DECREF(result);
    }
    return type_error("object can't be repeated");
}

/* A negative index has the length added once; range checks are the
 * type's own business.  __len__ can assign __class__ and free the class
 * whose table *m points into: the table is read again after it, and the
 * caller checks its slot again. */
static int adjust_index(ZvObject *s, ZvSequenceMethods **m, int *i)
{
    if (*i < 0 && (*m)->sq_length) {
        int l = (*m)->sq_length(s);
        if (l < 0) return -1;
        *i += l;
        *m = Zv_TYPE(s)->tp_as_sequence;
    }
    return 0;
}

ZvObject *ZvSequence_GetItem(ZvObject *s, int i)
{
    if (s == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_item) {
        if (adjust_index(s, &m, &i) < 0) return nullptr;
        if (m && m->sq_item) return m->sq_item(s, i);
    }
    return type_error("unindexable object");
}

int ZvSequence_SetItem(ZvObject *s, int i, ZvObject *o)
{
    if (s == nullptr) {
        null_error();
        return -1;
    }
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_ass_item) {
        if (adjust_index(s, &m, &i) < 0) return -1;
        if (m && m->sq_ass_item) return m->sq_ass_item(s, i, o);
    }
    type_error("object does not support item assignment");
    return -1;
}

int ZvSequence_DelItem(ZvObject *s, int i)
{
    if (s == nullptr) {
        null_error();
        return -1;
    }
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_ass_item) {
        if (adjust_index(s, &m, &i) < 0) return -1;
        if (m && m->sq_ass_item) return m->sq_ass_item(s, i, nullptr);
    }
    type_error("object doesn't support item deletion");
    return -1;
}

/* As adjust_index, for both bounds of a slice. */
static int adjust_slice(ZvObject *s, ZvSequenceMethods **m, int *i1, int *i2)
{
    if ((*i1 < 0 || *i2 < 0) && (*m)->sq_length) {
        int l = (*m)->sq_length(s);
        if (l < 0) return -1;
        if (*i1 < 0) *i1 += l;
        if (*i2 < 0) *i2 += l;
        *m = Zv_TYPE(s)->tp_as_sequence;
    }
    return 0;
}

/* A slice object for a mapping-only type, built from two native bounds. */
static ZvObject *slice_from_ints(int i1, int i2)
{
    ZvObject *start = ZvInt_FromLong(i1);
    ZvObject *stop = start ? ZvInt_FromLong(i2) : nullptr;
    ZvObject *slice = stop ? ZvSlice_New(start, stop, nullptr) : nullptr;
    Zv_XDECREF(start);
    Zv_XDECREF(stop);
    return slice;
}

ZvObject *ZvSequence_GetSlice(ZvObject *s, int i1, int i2)
{
    if (s == nullptr) return null_error();
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_slice) {
        if (adjust_slice(s, &m, &i1, &i2) < 0) return nullptr;
        if (m && m->sq_slice) return m->sq_slice(s, i1, i2);
        return type_error("unsliceable object");
    }
    ZvMappingMethods *mp = Zv_TYPE(s)->tp_as_mapping;
    if (mp && mp->mp_subscript) {
        ZvObject *slice = slice_from_ints(i1, i2);
        if (slice == nullptr) return nullptr;
        ZvObject *res = mp->mp_subscript(s, slice);
        Zv_DECREF(slice);
        return res;
    }
    return type_error("unsliceable object");
}

static int assign_slice(ZvObject *s, int i1, int i2, ZvObject *o, const char *msg)
{
    if (s == nullptr) {
        null_error();
        return -1;
    }
    ZvSequenceMethods *m = Zv_TYPE(s)->tp_as_sequence;
    if (m && m->sq_ass_slice) {
        if (adjust_slice(s, &m, &i1, &i2) < 0) return -1;
        if (m && m->sq_ass_slice) return m->sq_ass_slice(s, i1, i2, o);
        type_error(msg);
        return -1;
    }
    ZvMappingMethods *mp = Zv_TYPE(s)->tp_as_mapping;
    if (mp && mp->mp_ass_subscript) {
        ZvObject *slice = slice_from_ints(i1, i2);
        if (slice == nullptr) return -1;
        int res = mp->mp_ass_subscript(s, slice, o);
        Zv_DECREF(slice);
        return res;
    }
    type_error(msg);
    return -1;
}

int ZvSequence_SetSlice(ZvObject *s, int i1, int i2, ZvObject *o)
{
    return assign_slice(s, i1, i2, o, "object doesn't support slice assignment");
}

int ZvSequence_DelSlice(ZvObject *s, int i1, int i2)
{
    return assign_slice(s, i1, i2, nullptr, "object doesn't support slice deletion");
}

ZvObject *ZvSequence_Tuple(ZvObject *v)
{
    if (v == nullptr) return null_error();
    if (ZvTuple_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    if (ZvList_Check(v)) return ZvList_AsTuple(v);
    ZvObject *it = ZvObject_GetIter(v);
    if (it == nullptr) return nullptr;
    int n = ZvObject_Size(v);
    if (n < 0) {
        if (!ZvErr_ExceptionMatches(ZvExc_TypeError) &&
            !ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
            Zv_DECREF(it);
            return nullptr;
        }
        ZvErr_Clear();
        n = 10;
    }
    ZvObject *result = ZvTuple_New(n);
    if (result == nullptr) {
        Zv_DECREF(it);
        return nullptr;
    }
    int j;
    for (j = 0;; ++j) {
        ZvObject *item = ZvIter_Next(it);
        if (item == nullptr) {
            if (ZvErr_Occurred()) goto fail;
            break;
        }
        if (j >= n) {
            /* Grow by about a quarter plus a constant, computed wide: the
             * sum can leave the int range before the allocation fails. */
            int64_t grown = (int64_t)n + 10;
            grown += grown >> 2;
            if (grown > INT32_MAX) {
                Zv_DECREF(item);
                ZvErr_NoMemory();
                goto fail;
            }
            n = (int)grown;
            if (_ZvTuple_Resize(&result, n) != 0) {
                Zv_DECREF(item);
                goto fail;
            }
        }
        ZvTuple_SET_ITEM(result, j, item);
    }
    if (j < n && _ZvTuple_Resize(&result, j) != 0) goto fail;
    Zv_DECREF(it);
    return result;
fail:
    Zv_XDECREF(result);
    Zv_DECREF(it);
    return nullptr;
}

ZvObject *ZvSequence_List(ZvObject *v)
{
    if (v == nullptr) return null_error();
    ZvObject *result = ZvList_New(0);
    if (result == nullptr) return nullptr;
    ZvObject *rv = _ZvList_Extend((ZvListObject *)result, v);
    if (rv == nullptr) {
        Zv_DECREF(result);
        return nullptr;
    }
    Zv_DECREF(rv);
    return result;
}

ZvObject *ZvSequence_Fast(ZvObject *v, const char *m)
{
    if (v == nullptr) return null_error();
    if (ZvList_CheckExact(v) || ZvTuple_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    ZvObject *it = ZvObject_GetIter(v);
    if (it == nullptr) {
        if (ZvErr_ExceptionMatches(ZvExc_TypeError)) return type_error(m);
        return nullptr;
    }
    Zv_DECREF(it);
    return ZvSequence_Tuple(v);
}

int _ZvSequence_IterSearch(ZvObject *seq, ZvObject *obj, int operation)
{
    if (seq == nullptr || obj == nullptr) {
        null_error();
        return -1;
    }
    ZvObject *it = ZvObject_GetIter(seq);
    if (it == nullptr) {
        type_error("iterable argument required");
        return -1;
    }
    int n = 0;
    bool wrapped = false;
    for (;;) {
        ZvObject *item = ZvIter_Next(it);
        if (item == nullptr) {
            if (ZvErr_Occurred()) goto fail;
            break;
        }
        int cmp = ZvObject_RichCompareBool(obj, item, Zv_EQ);
        Zv_DECREF(item);
        if (cmp < 0) goto fail;
        if (cmp > 0) {
            switch (operation) {
            case ZV_ITERSEARCH_COUNT:
                if (n == INT32_MAX) {
                    ZvErr_SetString(ZvExc_OverflowError, "count exceeds C int size");
                    goto fail;
                }
                ++n;
                break;
            case ZV_ITERSEARCH_INDEX:
                if (wrapped) {
                    ZvErr_SetString(ZvExc_OverflowError, "index exceeds C int size");
                    goto fail;
                }
                goto done;
            default: /* contains */
                n = 1;
                goto done;
            }
        }
        if (operation == ZV_ITERSEARCH_INDEX) {
            if (n == INT32_MAX) wrapped = true;
            ++n;
        }
    }
    if (operation == ZV_ITERSEARCH_INDEX) {
        ZvErr_SetString(ZvExc_ValueError, "sequence.index(x): x not in sequence");
        goto fail;
    }
done:
    Zv_DECREF(it);
    return n;
fail:
    Zv_DECREF(it);
    return -1;
}

int ZvSequence_Count(ZvObject *s, ZvObject *o)
{
    return _ZvSequence_IterSearch(s, o, ZV_ITERSEARCH_COUNT);
}

int ZvSequence_Contains(ZvObject *seq, ZvObject *ob)
{
    if (seq == nullptr || ob == nullptr) {
        null_error();
        return -1;
    }
    if (ZvType_HasFeature(Zv_TYPE(seq), Zv_TPFLAGS_HAVE_SEQUENCE_IN)) {
        ZvSequenceMethods *sqm = Zv_TYPE(seq)->tp_as_sequence;
        if (sqm != nullptr && sqm->sq_contains != nullptr) return sqm->sq_contains(seq, ob);
    }
    return _ZvSequence_IterSearch(seq, ob, ZV_ITERSEARCH_CONTAINS);
}

int ZvSequence_In(ZvObject *w, ZvObject *v) { return ZvSequence_Contains(w, v); }

int ZvSequence_Index(ZvObject *s, ZvObject *o)
{
    return _ZvSequence_IterSearch(s, o, ZV_ITERSEARCH_INDEX);
}

/* --- mappings ------------------------------------------------------------ */

int ZvMapping_Check(ZvObject *o)
{
    return o && Zv_TYPE(o)->tp_as_mapping && Zv_TYPE(o)->tp_as_mapping->mp_subscript &&
           !(Zv_TYPE(o)->tp_as_sequence && Zv_TYPE(o)->tp_as_sequence->sq_slice);
}

int ZvMapping_Size(ZvObject *o)
{
    if (o == nullptr) {
        null_error();
        return -1;
    }
    ZvMappingMethods *m = Zv_TYPE(o)->tp_as_mapping;
    if (m && m->mp_length) return m->mp_length(o);
    type_error("len() of unsized object");
    return -1;
}

int ZvMapping_Length(ZvObject *o) { return ZvMapping_Size(o); }

ZvObject *ZvMapping_GetItemString(ZvObject *o, const char *key)
{
    if (key == nullptr) return null_error();
    ZvObject *okey = ZvString_FromString(key);
    if (okey == nullptr) return nullptr;
    ZvObject *r = ZvObject_GetItem(o, okey);
    Zv_DECREF(okey);
    return r;
}

int ZvMapping_SetItemString(ZvObject *o, const char *key, ZvObject *value)
{
    if (key == nullptr) {
        null_error();
        return -1;
    }
    ZvObject *okey = ZvString_FromString(key);
    if (okey == nullptr) return -1;
    int r = ZvObject_SetItem(o, okey, value);
    Zv_DECREF(okey);
    return r;
}

int ZvMapping_HasKeyString(ZvObject *o, const char *key)
{
    ZvObject *v = ZvMapping_GetItemString(o, key);
    if (v) {
        Zv_DECREF(v);
        return 1;
    }
    ZvErr_Clear();
    return 0;
}

int ZvMapping_HasKey(ZvObject *o, ZvObject *key)
{
    ZvObject *v = ZvObject_GetItem(o, key);
    if (v) {
        Zv_DECREF(v);
        return 1;
    }
    ZvErr_Clear();
    return 0;
}

/* --- calls --------------------------------------------------------------- */

ZvObject *ZvObject_CallObject(ZvObject *o, ZvObject *a)
{
    return ZvEval_CallObjectWithKeywords(o, a, nullptr);
}

ZvObject *ZvObject_Call(ZvObject *func, ZvObject *arg, ZvObject *kw)
{
    if (func == nullptr || arg == nullptr) return null_error();
    ternaryfunc call = Zv_TYPE(func)->tp_call;
    if (call == nullptr) {
        ZvErr_Format(ZvExc_TypeError, "'%s' object is not callable", Zv_TYPE(func)->tp_name);
        return nullptr;
    }
    ZvObject *result = call(func, arg, kw);
    if (result == nullptr && !ZvErr_Occurred())
        ZvErr_SetString(ZvExc_SystemError, "NULL result without error in ZvObject_Call");
    return result;
}

/* Calls with arguments built from a value-building format; a single
 * non-tuple value becomes a one-element argument tuple. */
static ZvObject *call_function_tail(ZvObject *callable, ZvObject *args)
{
    if (args == nullptr) return nullptr;
    if (!ZvTuple_Check(args)) {
        ZvObject *a = ZvTuple_New(1);
        if (a == nullptr) {
            Zv_DECREF(args);
            return nullptr;
        }
        ZvTuple_SET_ITEM(a, 0, args);
        args = a;
    }
    ZvObject *retval = ZvObject_Call(callable, args, nullptr);
    Zv_DECREF(args);
    return retval;
}

ZvObject *ZvObject_CallFunction(ZvObject *callable, const char *format, ...)
{
    if (callable == nullptr) return null_error();
    ZvObject *args;
    if (format && *format) {
        va_list va;
        va_start(va, format);
        args = Zv_VaBuildValue(format, va);
        va_end(va);
    } else {
        args = ZvTuple_New(0);
    }
    return call_function_tail(callable, args);
}

ZvObject *ZvObject_CallMethod(ZvObject *o, const char *name, const char *format, ...)
{
    if (o == nullptr || name == nullptr) return null_error();
    ZvObject *func = ZvObject_GetAttrString(o, name);
    if (func == nullptr) {
        /* The lookup's error becomes AttributeError naming the attribute,
         * except running out of memory, which must reach the caller as
         * such. */
        if (!ZvErr_ExceptionMatches(ZvExc_MemoryError)) ZvErr_SetString(ZvExc_AttributeError, name);
        return nullptr;
    }
    if (!ZvCallable_Check(func)) {
        Zv_DECREF(func);
        return type_error("call of non-callable attribute");
    }
    ZvObject *args;
    if (format && *format) {
        va_list va;
        va_start(va, format);
        args = Zv_VaBuildValue(format, va);
        va_end(va);
    } else {
        args = ZvTuple_New(0);
    }
    ZvObject *retval = call_function_tail(func, args);
    Zv_DECREF(func);
    return retval;
}

/* Builds the argument tuple from a NULL-terminated list of objects. */
static ZvObject *objargs_mktuple(va_list va)
{
    va_list countva;
    va_copy(countva, va);
    int n = 0;
    while (va_arg(countva, ZvObject *) != nullptr) ++n;
    va_end(countva);
    ZvObject *result = ZvTuple_New(n);
    if (result == nullptr) return nullptr;
    for (int i = 0; i < n; ++i) {
        ZvObject *tmp = va_arg(va, ZvObject *);
        Zv_INCREF(tmp);
        ZvTuple_SET_ITEM(result, i, tmp);
    }
    return result;
}

ZvObject *ZvObject_CallFunctionObjArgs(ZvObject *callable, ...)
{
    if (callable == nullptr) return null_error();
    va_list vargs;
    va_start(vargs, callable);
    ZvObject *args = objargs_mktuple(vargs);
    va_end(vargs);
    if (args == nullptr) return nullptr;
    ZvObject *tmp = ZvObject_Call(callable, args, nullptr);
    Zv_DECREF(args);
    return tmp;
}

ZvObject *ZvObject_CallMethodObjArgs(ZvObject *callable, ZvObject *name, ...)
{
    if (callable == nullptr || name == nullptr) return null_error();
    ZvObject *meth = ZvObject_GetAttr(callable, name);
    if (meth == nullptr) return nullptr;
    va_list vargs;
    va_start(vargs, name);
    ZvObject *args = objargs_mktuple(vargs);
    va_end(vargs);
    if (args == nullptr) {
        Zv_DECREF(meth);
        return nullptr;
    }
    ZvObject *tmp = ZvObject_Call(meth, args, nullptr);
    Zv_DECREF(args);
    Zv_DECREF(meth);
    return tmp;
}

/* --- isinstance / issubclass ----------------------------------------------- */

static ZvObject *bases_name(void)
{
    static ZvObject *name;
    if (name == nullptr) name = ZvString_InternFromString("__bases__");
    return name;
}

static ZvObject *class_name(void)
{
    static ZvObject *name;
    if (name == nullptr) name = ZvString_InternFromString("__class__");
    return name;
}

/* The `__bases__` tuple of cls, or NULL (with no error unless one other
 * than AttributeError occurred). */
static ZvObject *abstract_get_bases(ZvObject *cls)
{
    ZvObject *name = bases_name();
    if (name == nullptr) return nullptr;
    ZvObject *bases = ZvObject_GetAttr(cls, name);
    if (bases == nullptr) {
        if (ZvErr_ExceptionMatches(ZvExc_AttributeError)) ZvErr_Clear();
        return nullptr;
    }
    if (!ZvTuple_Check(bases)) {
        Zv_DECREF(bases);
        return nullptr;
    }
    return bases;
}

static bool tuple_holds(ZvObject *tuple, ZvObject *o)
{
    int n = ZvTuple_GET_SIZE(tuple);
    for (int i = 0; i < n; i++)
        if (ZvTuple_GET_ITEM(tuple, i) == o) return true;
    return false;
}

/* Whether derived reaches cls through __bases__, depth first.  __bases__
 * is an attribute, so it may be computed afresh on each access (a base
 * held only by that tuple is held here while it is walked) or lead back
 * to itself: every step of the walk, looping or recursing, counts against
 * the recursion limit. */
static int abstract_issubclass(ZvObject *derived_arg, ZvObject *cls)
{
    zv::Ref derived = zv::Ref::borrow(derived_arg);
    int depth = 0, r = 0;
    for (;;) {
        if (derived.get() == cls) {
            r = 1;
            break;
        }
        if (ZvTuple_Check(cls) && tuple_holds(cls, derived.get())) {
            r = 1;
            break;
        }
        if (Zv_EnterRecursiveCall(" while checking __bases__")) {
            r = -1;
            break;
        }
        depth++;
        zv::Ref bases(abstract_get_bases(derived.get()));
        if (!bases) {
            r = ZvErr_Occurred() ? -1 : 0;
            break;
        }
        int n = ZvTuple_GET_SIZE(bases.get());
        /* The common single-inheritance case loops instead of recursing. */
        if (n == 1) {
            derived = zv::Ref::borrow(ZvTuple_GET_ITEM(bases.get(), 0));
            continue;
        }
        for (int i = 0; i < n && r == 0; i++)
            r = abstract_issubclass(ZvTuple_GET_ITEM(bases.get(), i), cls);
        break;
    }
    while (depth-- > 0) Zv_LeaveRecursiveCall();
    return r;
}

static int recursive_isinstance(ZvObject *inst, ZvObject *cls, int recursion_depth)
{
    if (ZvType_Check(cls)) {
        if (ZvObject_TypeCheck(inst, (ZvTypeObject *)cls)) return 1;
        ZvObject *c = ZvObject_GetAttr(inst, class_name());
        if (c == nullptr) {
            ZvErr_Clear();
            return 0;
        }
        int retval = 0;
        if (c != (ZvObject *)Zv_TYPE(inst) && ZvType_Check(c))
            retval = ZvType_IsSubtype((ZvTypeObject *)c, (ZvTypeObject *)cls);
        Zv_DECREF(c);
        return retval;
    }
    if (ZvTuple_Check(cls)) {
        if (!recursion_depth) {
            ZvErr_SetString(ZvExc_RuntimeError, "nest level of tuple too deep");
            return -1;
        }
        int n = ZvTuple_GET_SIZE(cls);
        for (int i = 0; i < n; ++i) {
            int retval = recursive_isinstance(inst, ZvTuple_GET_ITEM(cls, i), recursion_depth - 1);
            if (retval != 0) return retval;
        }
        return 0;
    }
    ZvObject *cls_bases = abstract_get_bases(cls);
    if (cls_bases == nullptr) {
        if (!ZvErr_Occurred())
            ZvErr_SetString(ZvExc_TypeError,
                            "isinstance() arg 2 must be a class, type, or tuple of classes and types");
        return -1;
    }
    Zv_DECREF(cls_bases);
    ZvObject *icls = ZvObject_GetAttr(inst, class_name());
    if (icls == nullptr) {
        ZvErr_Clear();
        return 0;
    }
    int retval = abstract_issubclass(icls, cls);
    Zv_DECREF(icls);
    return retval;
}

int ZvObject_IsInstance(ZvObject *inst, ZvObject *cls)
{
    if (inst == nullptr || cls == nullptr) {
        null_error();
        return -1;
    }
    return recursive_isinstance(inst, cls, Zv_GetRecursionLimit());
}

static int recursive_issubclass(ZvObject *derived, ZvObject *cls, int recursion_depth)
{
    ZvObject *derived_bases = abstract_get_bases(derived);
    if (derived_bases == nullptr) {
        if (!ZvErr_Occurred())
            ZvErr_SetString(ZvExc_TypeError, "issubclass() arg 1 must be a class");
        return -1;
    }
    Zv_DECREF(derived_bases);
    if (ZvTuple_Check(cls)) {
        if (!recursion_depth) {
            ZvErr_SetString(ZvExc_RuntimeError, "nest level of tuple too deep");
            return -1;
        }
        int n = ZvTuple_GET_SIZE(cls);
        for (int i = 0; i < n; ++i) {
            int retval = recursive_issubclass(derived, ZvTuple_GET_ITEM(cls, i), recursion_depth - 1);
            if (retval != 0) return retval;
        }
        return 0;
    }
    ZvObject *cls_bases = abstract_get_bases(cls);
    if (cls_bases == nullptr) {
        if (!ZvErr_Occurred())
            ZvErr_SetString(ZvExc_TypeError, "issubclass() arg 2 must be a class or tuple of classes");
        return -1;
    }
    Zv_DECREF(cls_bases);
    return abstract_issubclass(derived, cls);
}

int ZvObject_IsSubclass(ZvObject *derived, ZvObject *cls)
{
    if (derived == nullptr || cls == nullptr) {
        null_error();
        return -1;
    }
    return recursive_issubclass(derived, cls, Zv_GetRecursionLimit());
}

/* --- iteration ----------------------------------------------------------- */

ZvObject *ZvObject_GetIter(ZvObject *o)
{
    if (o == nullptr) return null_error();
    ZvTypeObject *t = Zv_TYPE(o);
    getiterfunc f = ZvType_HasFeature(t, Zv_TPFLAGS_HAVE_ITER) ? t->tp_iter : nullptr;
    if (f == nullptr) {
        if (ZvSequence_Check(o)) return ZvSeqIter_New(o);
        return type_error("iteration over non-sequence");
    }
    ZvObject *res = f(o);
    if (res != nullptr && !ZvIter_Check(res)) {
        ZvErr_Format(ZvExc_TypeError, "iter() returned non-iterator of type '%.100s'",
                     Zv_TYPE(res)->tp_name);
        Zv_DECREF(res);
        res = nullptr;
    }
    return res;
}

ZvObject *ZvIter_Next(ZvObject *iter)
{
    if (iter == nullptr) return null_error();
    iternextfunc next = Zv_TYPE(iter)->tp_iternext;
    /* An object that is not an iterator has no next step to call. */
    if (!ZvType_HasFeature(Zv_TYPE(iter), Zv_TPFLAGS_HAVE_ITER) || next == nullptr) {
        ZvErr_Format(ZvExc_TypeError, "'%.100s' object is not an iterator",
                     Zv_TYPE(iter)->tp_name);
        return nullptr;
    }
    ZvObject *result = next(iter);
    if (result == nullptr && ZvErr_Occurred() && ZvErr_ExceptionMatches(ZvExc_StopIteration))
        ZvErr_Clear();
    return result;
}

} // extern "C"
