/* Code objects: the immutable result of compiling one module, class or
 * function body.
 *
 * A code object holds the bytecode string and the tables it indexes
 * (constants, names, fast-local names, cell and free-variable names) plus
 * the counts a frame needs to size itself.  Everything a frame or the
 * evaluation loop later trusts is checked once here, in ZvCode_New:
 *
 *   - the counts are sane: 0 <= nlocals, stacksize <= ZV_CODE_MAX_SLOTS and
 *     at most that many cells and free variables, so a frame can never be
 *     sized absurdly (nor its slot count overflow);
 *   - co_varnames names every fast local (len(varnames) >= nlocals), so
 *     code that reports or copies a local by its slot number finds a name;
 *   - the parameters fit in the fast locals (argcount plus one slot each
 *     for *args and **kwargs <= nlocals), so binding arguments stays inside
 *     the frame;
 *   - CO_NOFREE is set exactly when there are neither cells nor free
 *     variables, so a caller's fast path that skips setting up cells can
 *     never be claimed by code that has them;
 *   - co_code is a string (any other readable buffer is copied into one),
 *     so the loop can address its bytes directly;
 *   - the bytecode itself passes the verifier.
 *
 * Names and identifier-like string constants are interned so that
 * dictionary lookups by name compare pointers first. */
#include "zuvo.h"
#include "structmember.h"
#include "zvref.h"

#include <stdio.h>
#include <string.h>

namespace {

/* The file named by the internal-call errors of ZvCode_New. */
constexpr const char kThisFile[] = "Objects/codeobject.cpp";

bool is_name_char(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '_';
}

/* Only letters, digits and underscores (the empty string included): such a
 * constant is likely to be used as a name, so it is worth interning. */
bool all_name_chars(ZvObject *s)
{
    auto *p = (const unsigned char *)ZvString_AS_STRING(s);
    const unsigned char *end = p + ZvString_GET_SIZE(s);
    for (; p < end; p++)
        if (!is_name_char(*p)) return false;
    return true;
}

/* A tuple whose every item is an exact string. */
bool is_name_tuple(ZvObject *t)
{
    for (int i = 0; i < ZvTuple_GET_SIZE(t); i++)
        if (!ZvString_CheckExact(ZvTuple_GET_ITEM(t, i))) return false;
    return true;
}

void intern_strings(ZvObject *t)
{
    for (int i = ZvTuple_GET_SIZE(t); --i >= 0;) ZvString_InternInPlace(&ZvTuple_GET_ITEM(t, i));
}

void intern_constants(ZvObject *consts)
{
    for (int i = ZvTuple_GET_SIZE(consts); --i >= 0;) {
        ZvObject *v = ZvTuple_GET_ITEM(consts, i);
        if (ZvString_Check(v) && all_name_chars(v))
            ZvString_InternInPlace(&ZvTuple_GET_ITEM(consts, i));
    }
}

bool is_tuple(ZvObject *o) { return o != nullptr && ZvTuple_Check(o); }
bool is_string(ZvObject *o) { return o != nullptr && ZvString_Check(o); }

/* The arguments' kinds, as the internal-call error reports them. */
bool kinds_ok(int argcount, int nlocals, ZvObject *code, ZvObject *consts, ZvObject *names,
              ZvObject *varnames, ZvObject *freevars, ZvObject *cellvars, ZvObject *filename,
              ZvObject *name, ZvObject *lnotab)
{
    return argcount >= 0 && nlocals >= 0 && is_tuple(consts) && is_tuple(names) &&
           is_tuple(varnames) && is_tuple(freevars) && is_tuple(cellvars) && is_string(name) &&
           is_string(filename) && is_string(lnotab) && code != nullptr &&
           ZvObject_CheckReadBuffer(code);
}

/* The counts a frame and argument binding rely on (see the file comment).
 * Sets ValueError and returns false when one is out of bounds. */
bool counts_ok(int argcount, int nlocals, int stacksize, int flags, ZvObject *varnames,
               ZvObject *freevars, ZvObject *cellvars)
{
    const char *msg = nullptr;
    int64_t params = (int64_t)argcount + ((flags & CO_VARARGS) != 0) +
                     ((flags & CO_VARKEYWORDS) != 0);
    if (stacksize < 0 || stacksize > ZV_CODE_MAX_SLOTS)
        msg = "code: stacksize out of range";
    else if (nlocals > ZV_CODE_MAX_SLOTS)
        msg = "code: nlocals out of range";
    else if ((int64_t)ZvTuple_GET_SIZE(freevars) + ZvTuple_GET_SIZE(cellvars) > ZV_CODE_MAX_SLOTS)
        msg = "code: too many cell and free variables";
    else if (ZvTuple_GET_SIZE(varnames) < nlocals)
        msg = "code: varnames is shorter than nlocals";
    else if (params > nlocals)
        msg = "code: more parameters than nlocals";
    if (msg == nullptr) return true;
    ZvErr_SetString(ZvExc_ValueError, msg);
    return false;
}

/* co_code as an exact-or-derived string: another buffer is copied. */
ZvObject *code_string(ZvObject *code)
{
    if (ZvString_Check(code)) {
        Zv_INCREF(code);
        return code;
    }
    const void *buf;
    int len;
    if (ZvObject_AsReadBuffer(code, &buf, &len) < 0) return nullptr;
    return ZvString_FromStringAndSize((const char *)buf, len);
}

} // namespace

extern "C" {

ZvCodeObject *ZvCode_New(int argcount, int nlocals, int stacksize, int flags, ZvObject *code,
                         ZvObject *consts, ZvObject *names, ZvObject *varnames,
                         ZvObject *freevars, ZvObject *cellvars, ZvObject *filename,
                         ZvObject *name, int firstlineno, ZvObject *lnotab)
{
    if (!kinds_ok(argcount, nlocals, code, consts, names, varnames, freevars, cellvars, filename,
                  name, lnotab)) {
        _ZvErr_BadInternalCall(kThisFile, __LINE__);
        return nullptr;
    }
    /* Checked before anything is interned, so a refused call leaves the
     * caller's tuples as they were.  (A non-string name used to be a fatal
     * error; an error the caller can handle serves everyone better.) */
    if (!is_name_tuple(names) || !is_name_tuple(varnames) || !is_name_tuple(freevars) ||
        !is_name_tuple(cellvars)) {
        _ZvErr_BadInternalCall(kThisFile, __LINE__);
        return nullptr;
    }
    if (!counts_ok(argcount, nlocals, stacksize, flags, varnames, freevars, cellvars))
        return nullptr;
    zv::Ref codestr(code_string(code));
    if (!codestr) return nullptr;

    intern_strings(names);
    intern_strings(varnames);
    intern_strings(freevars);
    intern_strings(cellvars);
    intern_constants(consts);

    auto *co = ZvObject_New(ZvCodeObject, &ZvCode_Type);
    if (co == nullptr) return nullptr;
    co->co_argcount = argcount;
    co->co_nlocals = nlocals;
    co->co_stacksize = stacksize;
    if (ZvTuple_GET_SIZE(freevars) == 0 && ZvTuple_GET_SIZE(cellvars) == 0)
        flags |= CO_NOFREE;
    else
        flags &= ~CO_NOFREE;
    co->co_flags = flags;
    co->co_code = codestr.release();
    Zv_INCREF(consts);
    co->co_consts = consts;
    Zv_INCREF(names);
    co->co_names = names;
    Zv_INCREF(varnames);
    co->co_varnames = varnames;
    Zv_INCREF(freevars);
    co->co_freevars = freevars;
    Zv_INCREF(cellvars);
    co->co_cellvars = cellvars;
    Zv_INCREF(filename);
    co->co_filename = filename;
    Zv_INCREF(name);
    co->co_name = name;
    co->co_firstlineno = firstlineno;
    Zv_INCREF(lnotab);
    co->co_lnotab = lnotab;

    /* The bytecode is verified before its first run, not here: code objects
     * that are only stored, compared or marshalled need not be runnable. */
    co->co_zvverified = 0;
    co->co_zvcontinue = nullptr;
    co->co_zvcache = nullptr;
    return co;
}

/* Lines are summed in 64 bits and clipped: a hand-made table may add up
 * past the int range. */
int ZvCode_Addr2Line(ZvCodeObject *co, int addr)
{
    if (co == nullptr || !ZvCode_Check(co)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    auto *p = (const unsigned char *)ZvString_AS_STRING(co->co_lnotab);
    int size = ZvString_GET_SIZE(co->co_lnotab) / 2;
    int64_t line = co->co_firstlineno;
    int64_t address = 0;
    while (--size >= 0) {
        address += *p++;
        if (address > addr) break;
        line += *p++;
    }
    if (line > INT32_MAX) return INT32_MAX;
    return (int)line;
}

} // extern "C"

/* --- the type ------------------------------------------------------------ */

namespace {

/* A copy of a tuple of names for the code() constructor: exact strings are
 * kept, string subclasses become exact strings, anything else is refused. */
ZvObject *copy_name_tuple(ZvObject *tup)
{
    int n = ZvTuple_GET_SIZE(tup);
    zv::Ref copy(ZvTuple_New(n));
    if (!copy) return nullptr;
    for (int i = 0; i < n; i++) {
        ZvObject *item = ZvTuple_GET_ITEM(tup, i);
        if (ZvString_CheckExact(item)) {
            Zv_INCREF(item);
        } else if (ZvString_Check(item)) {
            item = ZvString_FromStringAndSize(ZvString_AS_STRING(item), ZvString_GET_SIZE(item));
            if (item == nullptr) return nullptr;
        } else {
            ZvErr_Format(ZvExc_TypeError, "name tuples must contain only strings, not '%.500s'",
                         Zv_TYPE(item)->tp_name);
            return nullptr;
        }
        ZvTuple_SET_ITEM(copy.get(), i, item);
    }
    return copy.release();
}

ZvObject *code_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    int argcount, nlocals, stacksize, flags, firstlineno;
    ZvObject *code, *consts, *names, *varnames, *filename, *name, *lnotab;
    ZvObject *freevars = nullptr, *cellvars = nullptr;
    /* Keywords would otherwise be silently ignored. */
    if (!_ZvArg_NoKeywords("code()", kw)) return nullptr;
    if (!ZvArg_ParseTuple(args, "iiiiSO!O!O!SSiS|O!O!:code", &argcount, &nlocals, &stacksize,
                          &flags, &code, &ZvTuple_Type, &consts, &ZvTuple_Type, &names,
                          &ZvTuple_Type, &varnames, &filename, &name, &firstlineno, &lnotab,
                          &ZvTuple_Type, &freevars, &ZvTuple_Type, &cellvars))
        return nullptr;
    if (argcount < 0) {
        ZvErr_SetString(ZvExc_ValueError, "code: argcount must not be negative");
        return nullptr;
    }
    if (nlocals < 0) {
        ZvErr_SetString(ZvExc_ValueError, "code: nlocals must not be negative");
        return nullptr;
    }
    zv::Ref empty(ZvTuple_New(0));
    if (!empty) return nullptr;
    zv::Ref ournames(copy_name_tuple(names));
    if (!ournames) return nullptr;
    zv::Ref ourvarnames(copy_name_tuple(varnames));
    if (!ourvarnames) return nullptr;
    zv::Ref ourfreevars(copy_name_tuple(freevars ? freevars : empty.get()));
    if (!ourfreevars) return nullptr;
    zv::Ref ourcellvars(copy_name_tuple(cellvars ? cellvars : empty.get()));
    if (!ourcellvars) return nullptr;
    return (ZvObject *)ZvCode_New(argcount, nlocals, stacksize, flags, code, consts,
                                  ournames.get(), ourvarnames.get(), ourfreevars.get(),
                                  ourcellvars.get(), filename, name, firstlineno, lnotab);
}

void code_dealloc(ZvObject *op)
{
    auto *co = (ZvCodeObject *)op;
    Zv_XDECREF(co->co_code);
    Zv_XDECREF(co->co_consts);
    Zv_XDECREF(co->co_names);
    Zv_XDECREF(co->co_varnames);
    Zv_XDECREF(co->co_freevars);
    Zv_XDECREF(co->co_cellvars);
    Zv_XDECREF(co->co_filename);
    Zv_XDECREF(co->co_name);
    Zv_XDECREF(co->co_lnotab);
    Zv_XDECREF(co->co_zvcontinue);
    ZvMem_Free(co->co_zvcache);
    ZvObject_Del(co);
}

ZvObject *code_repr(ZvObject *op)
{
    auto *co = (ZvCodeObject *)op;
    const char *filename = "???";
    const char *name = "???";
    if (co->co_filename && ZvString_Check(co->co_filename))
        filename = ZvString_AS_STRING(co->co_filename);
    if (co->co_name && ZvString_Check(co->co_name)) name = ZvString_AS_STRING(co->co_name);
    int lineno = co->co_firstlineno != 0 ? co->co_firstlineno : -1;
    char buf[500];
    snprintf(buf, sizeof(buf), "<code object %.100s at %p, file \"%.300s\", line %d>", name,
             (void *)co, filename, lineno);
    return ZvString_FromString(buf);
}

int compare_ints(int a, int b) { return a < b ? -1 : (a > b ? 1 : 0); }

int code_compare(ZvObject *v, ZvObject *w)
{
    auto *co = (ZvCodeObject *)v, *cp = (ZvCodeObject *)w;
    int cmp = ZvObject_Compare(co->co_name, cp->co_name);
    if (cmp != 0) return cmp;
    if ((cmp = compare_ints(co->co_argcount, cp->co_argcount)) != 0) return cmp;
    if ((cmp = compare_ints(co->co_nlocals, cp->co_nlocals)) != 0) return cmp;
    if ((cmp = compare_ints(co->co_flags, cp->co_flags)) != 0) return cmp;
    if ((cmp = compare_ints(co->co_firstlineno, cp->co_firstlineno)) != 0) return cmp;
    ZvObject *const mine[] = {co->co_code, co->co_consts, co->co_names,
                              co->co_varnames, co->co_freevars, co->co_cellvars};
    ZvObject *const theirs[] = {cp->co_code, cp->co_consts, cp->co_names,
                                cp->co_varnames, cp->co_freevars, cp->co_cellvars};
    for (size_t i = 0; i < sizeof(mine) / sizeof(mine[0]); i++) {
        cmp = ZvObject_Compare(mine[i], theirs[i]);
        if (cmp != 0) return cmp;
    }
    return 0;
}

/* The first line is left out, so code that only moved hashes alike. */
Zv_hash_t code_hash(ZvObject *op)
{
    auto *co = (ZvCodeObject *)op;
    ZvObject *const parts[] = {co->co_name,     co->co_code,     co->co_consts,  co->co_names,
                               co->co_varnames, co->co_freevars, co->co_cellvars};
    Zv_hash_t h = 0;
    for (ZvObject *part : parts) {
        Zv_hash_t hp = ZvObject_Hash(part);
        if (hp == -1) return -1;
        h ^= hp;
    }
    h ^= co->co_argcount ^ co->co_nlocals ^ co->co_flags;
    return h == -1 ? -2 : h;
}

#define OFF(x) offsetof(ZvCodeObject, x)

ZvMemberDef code_memberlist[] = {
    {"co_argcount", T_INT, OFF(co_argcount), READONLY, nullptr},
    {"co_nlocals", T_INT, OFF(co_nlocals), READONLY, nullptr},
    {"co_stacksize", T_INT, OFF(co_stacksize), READONLY, nullptr},
    {"co_flags", T_INT, OFF(co_flags), READONLY, nullptr},
    {"co_code", T_OBJECT, OFF(co_code), READONLY, nullptr},
    {"co_consts", T_OBJECT, OFF(co_consts), READONLY, nullptr},
    {"co_names", T_OBJECT, OFF(co_names), READONLY, nullptr},
    {"co_varnames", T_OBJECT, OFF(co_varnames), READONLY, nullptr},
    {"co_freevars", T_OBJECT, OFF(co_freevars), READONLY, nullptr},
    {"co_cellvars", T_OBJECT, OFF(co_cellvars), READONLY, nullptr},
    {"co_filename", T_OBJECT, OFF(co_filename), READONLY, nullptr},
    {"co_name", T_OBJECT, OFF(co_name), READONLY, nullptr},
    {"co_firstlineno", T_INT, OFF(co_firstlineno), READONLY, nullptr},
    {"co_lnotab", T_OBJECT, OFF(co_lnotab), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef OFF

} // namespace

extern "C" {

ZvTypeObject ZvCode_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "code", sizeof(ZvCodeObject), 0,
    code_dealloc,  /* tp_dealloc */
    nullptr,       /* tp_print */
    nullptr,       /* tp_getattr */
    nullptr,       /* tp_setattr */
    code_compare,  /* tp_compare */
    code_repr,     /* tp_repr */
    nullptr, nullptr, nullptr,
    code_hash,     /* tp_hash */
    nullptr,       /* tp_call */
    nullptr,       /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT,
    "code(argcount, nlocals, stacksize, flags, codestring, constants, names,\n"
    "      varnames, filename, name, firstlineno, lnotab[, freevars[, cellvars]])\n\n"
    "Create a code object.  Not for the faint of heart.",
    nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr,         /* tp_methods */
    code_memberlist, /* tp_members */
    nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    code_new,        /* tp_new */
};

} // extern "C"
