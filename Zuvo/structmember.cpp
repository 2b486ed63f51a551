/* Reading and writing native fields described by member tables.
 *
 * A member is a field at a fixed byte offset of an instance with a storage
 * code (T_*).  Reads turn the field into an object; writes check the
 * value's type, convert it and store it (integer fields keep the low bits
 * of the value, as the storage width dictates).  Object fields own their
 * reference: a write stores the new value before releasing the old one, so
 * a destructor running from that release sees a consistent instance. */
#include "typeobject_internal.h"
#include "floatobject.h"

#include <string.h>

#include <algorithm>
#include <vector>

/* Reads a field of type T at `addr`, without alignment assumptions. */
template <typename T> static T load(const char *addr)
{
    T v;
    memcpy(&v, addr, sizeof v);
    return v;
}

template <typename T> static void store(char *addr, T v) { memcpy(addr, &v, sizeof v); }

extern "C" {

ZvObject *ZvMember_GetOne(const char *base, ZvMemberDef *l)
{
    if (base == nullptr || l == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if ((l->flags & READ_RESTRICTED) && _zv_in_restricted_mode()) {
        ZvErr_SetString(ZvExc_RuntimeError, "restricted attribute");
        return nullptr;
    }
    const char *addr = base + l->offset;
    switch (l->type) {
    case T_BYTE: return ZvInt_FromLong(load<int8_t>(addr));
    case T_UBYTE: return ZvInt_FromLong(load<uint8_t>(addr));
    case T_SHORT: return ZvInt_FromLong(load<int16_t>(addr));
    case T_USHORT: return ZvInt_FromLong(load<uint16_t>(addr));
    case T_INT:
    case T_LONG: return ZvInt_FromLong(load<int32_t>(addr));
    /* The same 32 bits read as a signed int: 2**31 and above read negative. */
    case T_UINT: return ZvInt_FromLong((int32_t)load<uint32_t>(addr));
    case T_ULONG: return ZvLong_FromUnsignedLong(load<uint32_t>(addr));
    case T_FLOAT: return ZvFloat_FromDouble(load<float>(addr));
    case T_DOUBLE: return ZvFloat_FromDouble(load<double>(addr));
    case T_STRING: {
        const char *s = load<const char *>(addr);
        if (s == nullptr) Zv_RETURN_NONE;
        return ZvString_FromString(s);
    }
    case T_STRING_INPLACE: return ZvString_FromString(addr);
    case T_CHAR: return ZvString_FromStringAndSize(addr, 1);
    case T_OBJECT: {
        ZvObject *v = load<ZvObject *>(addr);
        if (v == nullptr) v = Zv_None;
        Zv_INCREF(v);
        return v;
    }
    case T_OBJECT_EX: {
        ZvObject *v = load<ZvObject *>(addr);
        if (v == nullptr) {
            ZvErr_SetString(ZvExc_AttributeError, l->name);
            return nullptr;
        }
        Zv_INCREF(v);
        return v;
    }
    default:
        ZvErr_Format(ZvExc_SystemError, "bad memberdescr type for %s", l->name);
        return nullptr;
    }
}

/* The integer fields take a plain int; its low bits are stored. */
static int int_value(ZvObject *v, int32_t *out)
{
    if (!ZvInt_Check(v)) {
        ZvErr_BadArgument();
        return -1;
    }
    *out = ZvInt_AS_LONG(v);
    return 0;
}

/* An unsigned 32-bit field reads back as a long from 2**31 up, so it also
 * takes a long in the whole unsigned range: what was read can be written
 * back.  Negative longs are stored by their two's-complement bits. */
static int ulong_value(ZvObject *v, uint32_t *out)
{
    if (ZvInt_Check(v)) {
        *out = (uint32_t)ZvInt_AS_LONG(v);
        return 0;
    }
    if (!ZvLong_Check(v)) {
        ZvErr_BadArgument();
        return -1;
    }
    if (_ZvLong_Sign(v) >= 0) {
        uint32_t u = ZvLong_AsUnsignedLong(v);
        if (u == (uint32_t)-1 && ZvErr_Occurred()) return -1;
        *out = u;
        return 0;
    }
    int32_t s = ZvLong_AsLong(v);
    if (s == -1 && ZvErr_Occurred()) return -1;
    *out = (uint32_t)s;
    return 0;
}

static int float_value(ZvObject *v, double *out)
{
    if (ZvInt_Check(v)) {
        *out = ZvInt_AS_LONG(v);
        return 0;
    }
    if (!ZvFloat_Check(v)) {
        ZvErr_BadArgument();
        return -1;
    }
    *out = ZvFloat_AsDouble(v);
    return 0;
}

static int set_object(char *addr, ZvObject *v)
{
    ZvObject *old = load<ZvObject *>(addr);
    Zv_XINCREF(v);
    store(addr, v);
    Zv_XDECREF(old);
    return 0;
}

int ZvMember_SetOne(char *base, ZvMemberDef *l, ZvObject *v)
{
    if (base == nullptr || l == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if ((l->flags & READONLY) || l->type == T_STRING || l->type == T_STRING_INPLACE) {
        ZvErr_SetString(ZvExc_TypeError, "readonly attribute");
        return -1;
    }
    if ((l->flags & WRITE_RESTRICTED) && _zv_in_restricted_mode()) {
        ZvErr_SetString(ZvExc_RuntimeError, "restricted attribute");
        return -1;
    }
    char *addr = base + l->offset;
    if (l->type == T_OBJECT || l->type == T_OBJECT_EX) return set_object(addr, v);
    if (v == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "can't delete numeric/char attribute");
        return -1;
    }
    int32_t i;
    uint32_t u;
    double d;
    switch (l->type) {
    case T_BYTE:
    case T_UBYTE:
        if (int_value(v, &i) < 0) return -1;
        store(addr, (uint8_t)i);
        return 0;
    case T_SHORT:
    case T_USHORT:
        if (int_value(v, &i) < 0) return -1;
        store(addr, (uint16_t)i);
        return 0;
    case T_INT:
    case T_LONG:
    case T_UINT:
        if (int_value(v, &i) < 0) return -1;
        store(addr, i);
        return 0;
    case T_ULONG:
        if (ulong_value(v, &u) < 0) return -1;
        store(addr, u);
        return 0;
    case T_FLOAT:
        if (float_value(v, &d) < 0) return -1;
        store(addr, (float)d);
        return 0;
    case T_DOUBLE:
        if (float_value(v, &d) < 0) return -1;
        store(addr, d);
        return 0;
    case T_CHAR:
        if (!ZvString_Check(v) || ZvString_GET_SIZE(v) != 1) {
            ZvErr_BadArgument();
            return -1;
        }
        *addr = ZvString_AS_STRING(v)[0];
        return 0;
    default:
        ZvErr_Format(ZvExc_SystemError, "bad memberdescr type for %s", l->name);
        return -1;
    }
}

/* --- old-style access by name ------------------------------------------- */

static ZvMemberDef as_memberdef(const struct memberlist *l)
{
    return ZvMemberDef{l->name, l->type, l->offset, l->flags, nullptr};
}

static ZvObject *member_names(struct memberlist *mlist)
{
    std::vector<const char *> names;
    for (struct memberlist *l = mlist; l->name != nullptr; l++) names.push_back(l->name);
    std::sort(names.begin(), names.end(),
              [](const char *a, const char *b) { return strcmp(a, b) < 0; });
    ZvObject *v = ZvList_New((int)names.size());
    if (v == nullptr) return nullptr;
    for (size_t i = 0; i < names.size(); i++) {
        ZvObject *s = ZvString_FromString(names[i]);
        if (s == nullptr) {
            Zv_DECREF(v);
            return nullptr;
        }
        ZvList_SET_ITEM(v, (int)i, s);
    }
    return v;
}

ZvObject *ZvMember_Get(const char *addr, struct memberlist *mlist, const char *name)
{
    if (mlist == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (strcmp(name, "__members__") == 0) return member_names(mlist);
    for (struct memberlist *l = mlist; l->name != nullptr; l++) {
        if (strcmp(l->name, name) == 0) {
            ZvMemberDef def = as_memberdef(l);
            return ZvMember_GetOne(addr, &def);
        }
    }
    ZvErr_SetString(ZvExc_AttributeError, name);
    return nullptr;
}

int ZvMember_Set(char *addr, struct memberlist *mlist, const char *name, ZvObject *v)
{
    if (mlist == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    for (struct memberlist *l = mlist; l->name != nullptr; l++) {
        if (strcmp(l->name, name) == 0) {
            ZvMemberDef def = as_memberdef(l);
            return ZvMember_SetOne(addr, &def, v);
        }
    }
    ZvErr_SetString(ZvExc_AttributeError, name);
    return -1;
}

} // extern "C"
