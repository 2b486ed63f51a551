// A stand-in for the code-object type, kept only on the code generator's
// branch until the real code objects are merged in: it builds the record
// of code.h from checked fields (names interned, CO_NOFREE set) and frees
// it, and nothing more (no hashing by value, no comparison, no attributes,
// no constructor from the language).  Its definitions are weak, so that
// the real ones take their place as soon as both are linked; delete this
// file then.
#include "zuvo.h"

namespace {

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
    ZvObject_Del(op);
}

ZvObject *code_repr(ZvObject *op)
{
    auto *co = (ZvCodeObject *)op;
    const char *name = ZvString_Check(co->co_name) ? ZvString_AS_STRING(co->co_name) : "???";
    const char *file =
        ZvString_Check(co->co_filename) ? ZvString_AS_STRING(co->co_filename) : "???";
    return ZvString_FromFormat("<code object %.100s at %p, file \"%.300s\", line %d>", name,
                               (void *)co, file, co->co_firstlineno ? co->co_firstlineno : -1);
}

bool intern_all(ZvObject *tuple)
{
    for (int i = 0; i < ZvTuple_GET_SIZE(tuple); i++) {
        ZvObject *v = ZvTuple_GET_ITEM(tuple, i);
        if (!ZvString_CheckExact(v)) return false;
        ZvString_InternInPlace(&ZvTuple_GET_ITEM(tuple, i));
    }
    return true;
}

} // namespace

extern "C" {

__attribute__((weak)) ZvTypeObject ZvCode_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "code", sizeof(ZvCodeObject), 0,
    code_dealloc, /* tp_dealloc */
    nullptr,      /* tp_print */
    nullptr,      /* tp_getattr */
    nullptr,      /* tp_setattr */
    nullptr,      /* tp_compare */
    code_repr,    /* tp_repr */
    nullptr, nullptr, nullptr,
    nullptr,      /* tp_hash */
    nullptr,      /* tp_call */
    nullptr,      /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT,
    nullptr,      /* tp_doc */
};

__attribute__((weak))
ZvCodeObject *ZvCode_New(int argcount, int nlocals, int stacksize, int flags, ZvObject *code,
                         ZvObject *consts, ZvObject *names, ZvObject *varnames,
                         ZvObject *freevars, ZvObject *cellvars, ZvObject *filename,
                         ZvObject *name, int firstlineno, ZvObject *lnotab)
{
    if (argcount < 0 || nlocals < 0 || code == nullptr || !ZvString_Check(code) ||
        consts == nullptr || !ZvTuple_Check(consts) || names == nullptr ||
        !ZvTuple_Check(names) || varnames == nullptr || !ZvTuple_Check(varnames) ||
        freevars == nullptr || !ZvTuple_Check(freevars) || cellvars == nullptr ||
        !ZvTuple_Check(cellvars) || name == nullptr || !ZvString_Check(name) ||
        filename == nullptr || !ZvString_Check(filename) || lnotab == nullptr ||
        !ZvString_Check(lnotab)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (!intern_all(names) || !intern_all(varnames) || !intern_all(freevars) ||
        !intern_all(cellvars)) {
        ZvErr_SetString(ZvExc_SystemError, "non-string found in code slot");
        return nullptr;
    }
    if ((ZvCode_Type.tp_flags & Zv_TPFLAGS_READY) == 0 && ZvType_Ready(&ZvCode_Type) < 0)
        return nullptr;
    ZvCodeObject *co = ZvObject_New(ZvCodeObject, &ZvCode_Type);
    if (co == nullptr) return nullptr;
    co->co_argcount = argcount;
    co->co_nlocals = nlocals;
    co->co_stacksize = stacksize;
    co->co_flags = flags;
    if (ZvTuple_GET_SIZE(freevars) == 0 && ZvTuple_GET_SIZE(cellvars) == 0)
        co->co_flags |= CO_NOFREE;
    ZvObject *fields[] = {code,     consts,   names, varnames, freevars,
                          cellvars, filename, name,  lnotab};
    for (ZvObject *f : fields) Zv_INCREF(f);
    co->co_code = code;
    co->co_consts = consts;
    co->co_names = names;
    co->co_varnames = varnames;
    co->co_freevars = freevars;
    co->co_cellvars = cellvars;
    co->co_filename = filename;
    co->co_name = name;
    co->co_firstlineno = firstlineno;
    co->co_lnotab = lnotab;
    return co;
}

__attribute__((weak)) int ZvCode_Addr2Line(ZvCodeObject *co, int addr)
{
    int size = ZvString_GET_SIZE(co->co_lnotab) / 2;
    auto *p = (const unsigned char *)ZvString_AS_STRING(co->co_lnotab);
    int line = co->co_firstlineno;
    int a = 0;
    while (--size >= 0) {
        a += *p++;
        if (a > addr) break;
        line += *p++;
    }
    return line;
}

} // extern "C"
