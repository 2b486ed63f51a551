/* The out-of-line work of the evaluation loop's opcodes: everything that
 * is too long or too rare to sit in the loop itself.  Each function says
 * what it consumes; none keeps a borrowed pointer across a call that can
 * run user code. */
#include "zuvo.h"
#include "opcode.h"
#include "ceval_internal.h"
#include "zvref.h"

#include <string.h>

namespace zv::ceval {

/* --- the exception being handled ----------------------------------------- */

namespace {

void publish_exc_info(ZvObject *type, ZvObject *value, ZvObject *tb)
{
    /* sys may be gone at shut-down; the thread state still holds the truth. */
    if (ZvSys_SetObject("exc_type", type) < 0 || ZvSys_SetObject("exc_value", value) < 0 ||
        ZvSys_SetObject("exc_traceback", tb) < 0)
        ZvErr_Clear();
}

/* Replaces the thread's handled triple with new references to these. */
void store_exc_info(ZvThreadState *ts, ZvObject *type, ZvObject *value, ZvObject *tb)
{
    ZvObject *ot = ts->exc_type, *ov = ts->exc_value, *otb = ts->exc_traceback;
    Zv_XINCREF(type);
    Zv_XINCREF(value);
    Zv_XINCREF(tb);
    ts->exc_type = type;
    ts->exc_value = value;
    ts->exc_traceback = tb;
    Zv_XDECREF(ot);
    Zv_XDECREF(ov);
    Zv_XDECREF(otb);
}

} // namespace

void set_exc_info(ZvThreadState *ts, ZvFrameObject *f, ZvObject *type, ZvObject *value,
                  ZvObject *tb)
{
    if (f->f_exc_type == nullptr) {
        ZvObject *saved = ts->exc_type != nullptr ? ts->exc_type : Zv_None;
        Zv_INCREF(saved);
        Zv_XINCREF(ts->exc_value);
        Zv_XINCREF(ts->exc_traceback);
        f->f_exc_type = saved;
        f->f_exc_value = ts->exc_value;
        f->f_exc_traceback = ts->exc_traceback;
    }
    store_exc_info(ts, type, value, tb);
    /* The error indicator is empty here (the handler fetched it), so the
     * sys stores cannot lose a pending exception. */
    publish_exc_info(type, value, tb);
}

void reset_exc_info(ZvThreadState *ts, ZvFrameObject *f)
{
    ZvObject *type = f->f_exc_type, *value = f->f_exc_value, *tb = f->f_exc_traceback;
    f->f_exc_type = f->f_exc_value = f->f_exc_traceback = nullptr;
    store_exc_info(ts, type, value, tb);
    /* A frame can end with an exception pending: keep it across the stores. */
    ZvObject *et, *ev, *etb;
    ZvErr_Fetch(&et, &ev, &etb);
    publish_exc_info(type, value, tb);
    ZvErr_Restore(et, ev, etb);
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

/* --- raise ---------------------------------------------------------------- */

int do_raise(ZvObject *type, ZvObject *value, ZvObject *tb)
{
    if (type == nullptr) {
        /* A bare raise re-raises the exception being handled. */
        ZvThreadState *ts = ZvThreadState_GET();
        type = ts->exc_type != nullptr ? ts->exc_type : Zv_None;
        value = ts->exc_value;
        tb = ts->exc_traceback;
        Zv_INCREF(type);
        Zv_XINCREF(value);
        Zv_XINCREF(tb);
    }
    if (tb == Zv_None) {
        Zv_DECREF(tb);
        tb = nullptr;
    } else if (tb != nullptr && !ZvTraceBack_Check(tb)) {
        ZvErr_SetString(ZvExc_TypeError, "raise: arg 3 must be a traceback or None");
        goto raise_error;
    }
    if (value == nullptr) {
        value = Zv_None;
        Zv_INCREF(value);
    }
    /* (E1, E2) raises E1. */
    while (ZvTuple_Check(type) && ZvTuple_Size(type) > 0) {
        ZvObject *outer = type;
        type = ZvTuple_GET_ITEM(outer, 0);
        Zv_INCREF(type);
        Zv_DECREF(outer);
    }
    if (ZvString_CheckExact(type)) {
        if (ZvErr_Warn(ZvExc_PendingDeprecationWarning,
                       "raising a string exception is deprecated") < 0)
            goto raise_error;
    } else if (ZvClass_Check(type)) {
        ZvErr_NormalizeException(&type, &value, &tb);
    } else if (ZvInstance_Check(type)) {
        if (value != Zv_None) {
            ZvErr_SetString(ZvExc_TypeError, "instance exception may not have a separate value");
            goto raise_error;
        }
        Zv_DECREF(value);
        value = type;
        type = (ZvObject *)((ZvInstanceObject *)value)->in_class;
        Zv_INCREF(type);
    } else {
        ZvErr_Format(ZvExc_TypeError,
                     "exceptions must be classes, instances, or strings (deprecated), not %s",
                     Zv_TYPE(type)->tp_name);
        goto raise_error;
    }
    ZvErr_Restore(type, value, tb);
    return tb == nullptr ? WHY_EXCEPTION : WHY_RERAISE;

raise_error:
    Zv_XDECREF(value);
    Zv_XDECREF(type);
    Zv_XDECREF(tb);
    return WHY_EXCEPTION;
}

/* --- unpacking ------------------------------------------------------------ */

int unpack_iterable(ZvObject *v, int n, ZvObject **sp)
{
    int i = 0;
    zv::Ref it(ZvObject_GetIter(v));
    if (it) {
        for (; i < n; i++) {
            ZvObject *w = ZvIter_Next(it.get());
            if (w == nullptr) {
                if (!ZvErr_Occurred())
                    ZvErr_Format(ZvExc_ValueError, "need more than %d value%s to unpack", i,
                                 i == 1 ? "" : "s");
                goto error;
            }
            sp[n - 1 - i] = w;
        }
        ZvObject *extra = ZvIter_Next(it.get());
        if (extra == nullptr) {
            if (!ZvErr_Occurred()) return 0;
        } else {
            Zv_DECREF(extra);
            ZvErr_SetString(ZvExc_ValueError, "too many values to unpack");
        }
    }
error:
    for (int j = 0; j < i; j++) Zv_DECREF(sp[n - 1 - j]);
    if (ZvErr_ExceptionMatches(ZvExc_TypeError))
        ZvErr_SetString(ZvExc_TypeError, "unpack non-sequence");
    return -1;
}

/* --- simple slices --------------------------------------------------------- */

namespace {

bool is_index(ZvObject *x) { return x == nullptr || ZvInt_Check(x) || ZvLong_Check(x); }

/* Whether a[lo:hi] goes through the sequence's own slice slots. */
bool use_sequence_slice(ZvObject *u, ZvObject *v, ZvObject *w)
{
    ZvSequenceMethods *sq = Zv_TYPE(u)->tp_as_sequence;
    return sq != nullptr && sq->sq_slice != nullptr && is_index(v) && is_index(w);
}

} // namespace

ZvObject *apply_slice(ZvObject *u, ZvObject *v, ZvObject *w)
{
    if (use_sequence_slice(u, v, w)) {
        int ilow = 0, ihigh = INT32_MAX;
        if (!_ZvEval_SliceIndex(v, &ilow) || !_ZvEval_SliceIndex(w, &ihigh)) return nullptr;
        return ZvSequence_GetSlice(u, ilow, ihigh);
    }
    zv::Ref slice(ZvSlice_New(v, w, nullptr));
    if (!slice) return nullptr;
    return ZvObject_GetItem(u, slice.get());
}

int assign_slice(ZvObject *u, ZvObject *v, ZvObject *w, ZvObject *x)
{
    if (use_sequence_slice(u, v, w)) {
        int ilow = 0, ihigh = INT32_MAX;
        if (!_ZvEval_SliceIndex(v, &ilow) || !_ZvEval_SliceIndex(w, &ihigh)) return -1;
        return x == nullptr ? ZvSequence_DelSlice(u, ilow, ihigh)
                            : ZvSequence_SetSlice(u, ilow, ihigh, x);
    }
    zv::Ref slice(ZvSlice_New(v, w, nullptr));
    if (!slice) return -1;
    return x == nullptr ? ZvObject_DelItem(u, slice.get()) : ZvObject_SetItem(u, slice.get(), x);
}

/* --- comparison ------------------------------------------------------------ */

ZvObject *cmp_outcome(int op, ZvObject *v, ZvObject *w)
{
    int res;
    switch (op) {
    case ZvCmp_IS: res = v == w; break;
    case ZvCmp_IS_NOT: res = v != w; break;
    case ZvCmp_IN:
    case ZvCmp_NOT_IN:
        res = ZvSequence_Contains(w, v);
        if (res < 0) return nullptr;
        if (op == ZvCmp_NOT_IN) res = !res;
        break;
    case ZvCmp_EXC_MATCH: res = ZvErr_GivenExceptionMatches(v, w); break;
    default: return ZvObject_RichCompare(v, w, op);
    }
    ZvObject *x = res ? Zv_True : Zv_False;
    Zv_INCREF(x);
    return x;
}

/* --- names ------------------------------------------------------------------ */

void format_exc_check_arg(ZvObject *exc, const char *fmt, ZvObject *name)
{
    if (name == nullptr) return;
    const char *text = ZvString_AsString(name);
    if (text == nullptr) return;
    ZvErr_Format(exc, fmt, text);
}

namespace {

/* Item i of a name tuple, or NULL (with an error set) when a hand-made code
 * object's tuple is too short. */
ZvObject *name_at(ZvObject *tuple, int i)
{
    if (i >= 0 && i < ZvTuple_GET_SIZE(tuple)) return ZvTuple_GET_ITEM(tuple, i);
    ZvErr_SetString(ZvExc_SystemError, "variable index out of range of the code's names");
    return nullptr;
}

/* "no locals when loading %s" and its siblings name the variable by repr. */
void no_locals_error(const char *fmt, ZvObject *name)
{
    zv::Ref r(ZvObject_Repr(name));
    if (r) ZvErr_Format(ZvExc_SystemError, fmt, ZvString_AsString(r.get()));
}

} // namespace

void unbound_local_error(ZvCodeObject *co, int index)
{
    format_exc_check_arg(ZvExc_UnboundLocalError,
                         "local variable '%.200s' referenced before assignment",
                         name_at(co->co_varnames, index));
}

void unbound_deref_error(ZvCodeObject *co, int index)
{
    if (ZvErr_Occurred()) return;
    int ncells = ZvTuple_GET_SIZE(co->co_cellvars);
    if (index < ncells) {
        format_exc_check_arg(ZvExc_UnboundLocalError,
                             "local variable '%.200s' referenced before assignment",
                             name_at(co->co_cellvars, index));
    } else {
        format_exc_check_arg(
            ZvExc_NameError,
            "free variable '%.200s' referenced before assignment in enclosing scope",
            name_at(co->co_freevars, index - ncells));
    }
}

ZvObject *load_name(ZvFrameObject *f, ZvObject *name)
{
    ZvObject *locals = f->f_locals;
    if (locals == nullptr) {
        no_locals_error("no locals when loading %s", name);
        return nullptr;
    }
    ZvObject *x;
    if (ZvDict_CheckExact(locals)) {
        x = ZvDict_GetItem(locals, name);
        Zv_XINCREF(x);
    } else {
        x = ZvObject_GetItem(locals, name);
        if (x == nullptr) {
            if (!ZvErr_ExceptionMatches(ZvExc_KeyError)) return nullptr;
            ZvErr_Clear();
        }
    }
    if (x != nullptr) return x;
    x = ZvDict_GetItem(f->f_globals, name);
    if (x == nullptr) x = ZvDict_GetItem(f->f_builtins, name);
    if (x == nullptr) {
        format_exc_check_arg(ZvExc_NameError, "name '%.200s' is not defined", name);
        return nullptr;
    }
    Zv_INCREF(x);
    return x;
}

ZvObject *load_global(ZvFrameObject *f, ZvObject *name)
{
    ZvObject *x = ZvDict_GetItem(f->f_globals, name);
    if (x == nullptr) x = ZvDict_GetItem(f->f_builtins, name);
    if (x == nullptr) {
        format_exc_check_arg(ZvExc_NameError, "global name '%.200s' is not defined", name);
        return nullptr;
    }
    Zv_INCREF(x);
    return x;
}

/* --- print ------------------------------------------------------------------- */

namespace {

/* The stream a print statement writes to: the one given, or sys.stdout. */
zv::Ref print_stream(ZvObject *stream)
{
    if (stream != nullptr && stream != Zv_None) return zv::Ref::borrow(stream);
    ZvObject *out = ZvSys_GetObject("stdout");
    if (out == nullptr) ZvErr_SetString(ZvExc_RuntimeError, "lost sys.stdout");
    return zv::Ref::borrow(out);
}

/* After an item that ends in a newline (or tab...) no blank is owed. */
bool ends_in_nonblank_space(ZvObject *v)
{
    if (!ZvString_Check(v)) return false;
    int len = ZvString_GET_SIZE(v);
    if (len == 0) return false;
    char c = ZvString_AS_STRING(v)[len - 1];
    return c != ' ' && c != '\0' && strchr("\t\n\v\f\r", c) != nullptr;
}

} // namespace

int print_item(ZvObject *v, ZvObject *stream)
{
    zv::Ref w = print_stream(stream);
    if (!w) return -1;
    int err = 0;
    if (ZvFile_SoftSpace(w.get(), 0)) err = ZvFile_WriteString(" ", w.get());
    if (err == 0) err = ZvFile_WriteObject(v, w.get(), Zv_PRINT_RAW);
    if (err == 0 && !ends_in_nonblank_space(v)) ZvFile_SoftSpace(w.get(), 1);
    return err;
}

int print_newline(ZvObject *stream)
{
    zv::Ref w = print_stream(stream);
    if (!w) return -1;
    int err = ZvFile_WriteString("\n", w.get());
    if (err == 0) ZvFile_SoftSpace(w.get(), 0);
    return err;
}

int print_expr(ZvObject *v)
{
    zv::Ref hook = zv::Ref::borrow(ZvSys_GetObject("displayhook"));
    if (!hook) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost sys.displayhook");
        return -1;
    }
    zv::Ref result(ZvObject_CallFunctionObjArgs(hook.get(), v, nullptr));
    return result ? 0 : -1;
}

/* --- exec -------------------------------------------------------------------- */

namespace {
/* A file runs from its current position, compiled under the file's name.
 * The whole program is parsed before any of it runs, so the code may
 * close the file. */
ZvObject *exec_file(ZvObject *prog, ZvObject *globals, ZvObject *locals)
{
    FILE *fp = ZvFile_AsFile(prog);
    if (fp == nullptr) {
        ZvErr_SetString(ZvExc_ValueError, "I/O operation on closed file");
        return nullptr;
    }
    ZvObject *name = ZvFile_Name(prog);
    const char *filename = name != nullptr && ZvString_Check(name) ? ZvString_AS_STRING(name) : "???";
    ZvCompilerFlags cf = {0};
    ZvEval_MergeCompilerFlags(&cf);
    return ZvRun_FileFlags(fp, filename, Zv_file_input, globals, locals, &cf);
}


ZvObject *exec_source(ZvObject *prog, ZvObject *globals, ZvObject *locals)
{
    ZvCompilerFlags cf = {0};
    ZvEval_MergeCompilerFlags(&cf);
    char *text;
    if (ZvString_AsStringAndSize(prog, &text, nullptr) < 0) return nullptr;
    return ZvRun_StringFlags(text, Zv_file_input, globals, locals, &cf);
}

} // namespace

int exec_statement(ZvFrameObject *f, ZvObject *prog, ZvObject *globals, ZvObject *locals)
{
    zv::Ref hold_prog = zv::Ref::borrow(prog);
    if (ZvTuple_Check(prog) && globals == Zv_None && locals == Zv_None) {
        int n = ZvTuple_Size(prog);
        if (n == 2 || n == 3) {
            globals = ZvTuple_GetItem(prog, 1);
            if (n == 3) locals = ZvTuple_GetItem(prog, 2);
            prog = ZvTuple_GetItem(prog, 0);
        }
    }
    bool plain = false;
    if (globals == Zv_None) {
        globals = f->f_globals;
        if (locals == Zv_None) {
            ZvFrame_FastToLocals(f);
            locals = f->f_locals;
            plain = true;
        }
    } else if (locals == Zv_None) {
        locals = globals;
    }
    if (!ZvString_Check(prog) && !ZvCode_Check(prog) && !ZvFile_Check(prog)) {
        ZvErr_SetString(ZvExc_TypeError, "exec: arg 1 must be a string, file, or code object");
        return -1;
    }
    if (!ZvDict_Check(globals)) {
        ZvErr_SetString(ZvExc_TypeError, "exec: arg 2 must be a dictionary or None");
        return -1;
    }
    if (locals == nullptr || !ZvMapping_Check(locals)) {
        ZvErr_SetString(ZvExc_TypeError, "exec: arg 3 must be a mapping or None");
        return -1;
    }
    zv::Ref hold_globals = zv::Ref::borrow(globals);
    zv::Ref hold_locals = zv::Ref::borrow(locals);
    if (ZvDict_GetItemString(globals, "__builtins__") == nullptr &&
        ZvDict_SetItemString(globals, "__builtins__", f->f_builtins) < 0)
        return -1;

    zv::Ref result;
    if (ZvCode_Check(prog)) {
        if (ZvCode_GetNumFree(prog) > 0) {
            ZvErr_SetString(ZvExc_TypeError,
                            "code object passed to exec may not contain free variables");
            return -1;
        }
        result.reset(ZvEval_EvalCode((ZvCodeObject *)prog, globals, locals));
    } else {
        result.reset(ZvFile_Check(prog) ? exec_file(prog, globals, locals)
                                        : exec_source(prog, globals, locals));
    }
    if (plain) ZvFrame_LocalsToFast(f, 0);
    return result ? 0 : -1;
}

/* --- class statement ----------------------------------------------------------- */

ZvObject *build_class(ZvObject *methods, ZvObject *bases, ZvObject *name, ZvObject *globals)
{
    zv::Ref metaclass;
    if (ZvDict_Check(methods))
        metaclass = zv::Ref::borrow(ZvDict_GetItemString(methods, "__metaclass__"));
    if (!metaclass && ZvTuple_Check(bases) && ZvTuple_GET_SIZE(bases) > 0) {
        ZvObject *base = ZvTuple_GET_ITEM(bases, 0);
        metaclass.reset(ZvObject_GetAttrString(base, "__class__"));
        if (!metaclass) {
            ZvErr_Clear();
            metaclass = zv::Ref::borrow((ZvObject *)Zv_TYPE(base));
        }
    }
    if (!metaclass) {
        ZvObject *g = ZvDict_GetItemString(globals, "__metaclass__");
        metaclass = zv::Ref::borrow(g != nullptr ? g : (ZvObject *)&ZvClass_Type);
    }
    ZvObject *result =
        ZvObject_CallFunctionObjArgs(metaclass.get(), name, bases, methods, nullptr);
    if (result == nullptr && ZvErr_ExceptionMatches(ZvExc_TypeError)) {
        /* The metaclass came from the bases: say so when it balks. */
        ZvObject *type, *value, *tb;
        ZvErr_Fetch(&type, &value, &tb);
        if (value != nullptr && ZvString_Check(value)) {
            ZvObject *msg = ZvString_FromFormat("Error when calling the metaclass bases\n    %s",
                                                ZvString_AS_STRING(value));
            if (msg != nullptr) {
                Zv_DECREF(value);
                value = msg;
            }
        }
        ZvErr_Restore(type, value, tb);
    }
    return result;
}

/* --- import ---------------------------------------------------------------------- */

ZvObject *import_name(ZvFrameObject *f, ZvObject *name, ZvObject *fromlist)
{
    zv::Ref import = zv::Ref::borrow(ZvDict_GetItemString(f->f_builtins, "__import__"));
    if (!import) {
        ZvErr_SetString(ZvExc_ImportError, "__import__ not found");
        return nullptr;
    }
    ZvObject *locals = f->f_locals != nullptr ? f->f_locals : Zv_None;
    zv::Ref args(Zv_BuildValue("(OOOO)", name, f->f_globals, locals, fromlist));
    if (!args) return nullptr;
    return ZvEval_CallObject(import.get(), args.get());
}

ZvObject *import_from(ZvObject *module, ZvObject *name)
{
    ZvObject *x = ZvObject_GetAttr(module, name);
    if (x == nullptr && ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
        const char *text = ZvString_AsString(name);
        if (text != nullptr) ZvErr_Format(ZvExc_ImportError, "cannot import name %.230s", text);
    }
    return x;
}

namespace {

/* The names `import *` copies: __all__, else the public keys of __dict__. */
zv::Ref public_names(ZvObject *module, bool *skip_private)
{
    *skip_private = false;
    zv::Ref all(ZvObject_GetAttrString(module, "__all__"));
    if (all) return all;
    if (!ZvErr_ExceptionMatches(ZvExc_AttributeError)) return all;
    ZvErr_Clear();
    zv::Ref dict(ZvObject_GetAttrString(module, "__dict__"));
    if (!dict) {
        if (ZvErr_ExceptionMatches(ZvExc_AttributeError))
            ZvErr_SetString(ZvExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        return dict;
    }
    *skip_private = true;
    return zv::Ref(ZvMapping_Keys(dict.get()));
}

int copy_public_names(ZvObject *module, ZvObject *locals)
{
    bool skip_private;
    zv::Ref all = public_names(module, &skip_private);
    if (!all) return -1;
    for (int pos = 0;; pos++) {
        zv::Ref name(ZvSequence_GetItem(all.get(), pos));
        if (!name) {
            if (!ZvErr_ExceptionMatches(ZvExc_IndexError)) return -1;
            ZvErr_Clear();
            return 0;
        }
        if (skip_private && ZvString_Check(name.get()) && ZvString_AS_STRING(name.get())[0] == '_')
            continue;
        zv::Ref value(ZvObject_GetAttr(module, name.get()));
        if (!value) return -1;
        int err = ZvDict_CheckExact(locals) ? ZvDict_SetItem(locals, name.get(), value.get())
                                            : ZvObject_SetItem(locals, name.get(), value.get());
        if (err != 0) return -1;
    }
}

} // namespace

int import_all_from(ZvFrameObject *f, ZvObject *module)
{
    ZvFrame_FastToLocals(f);
    zv::Ref locals = zv::Ref::borrow(f->f_locals);
    if (!locals) {
        ZvErr_SetString(ZvExc_SystemError, "no locals found during 'import *'");
        return -1;
    }
    int err = copy_public_names(module, locals.get());
    ZvFrame_LocalsToFast(f, 0);
    return err;
}

/* --- string concatenation in place -------------------------------------------------- */

ZvObject *string_concatenate(ZvObject *v, ZvObject *w, ZvFrameObject *f,
                             const unsigned char *next_instr)
{
    int v_len = ZvString_GET_SIZE(v), w_len = ZvString_GET_SIZE(w);
    int new_len;
    if (__builtin_add_overflow(v_len, w_len, &new_len)) {
        ZvErr_SetString(ZvExc_OverflowError, "strings are too large to concat");
        Zv_DECREF(v);
        return nullptr;
    }
    if (Zv_REFCNT(v) == 2) {
        /* The other reference is the variable the result goes back into:
         * drop it first, so the string can grow where it is. */
        /* Only an instruction with an argument has the two bytes after it
         * (the last instruction of the code may have none). */
        int oparg = HAS_ARG(*next_instr) ? next_instr[2] << 8 | next_instr[1] : 0;
        switch (*next_instr) {
        case STORE_FAST: {
            ZvObject **local = &f->f_localsplus[oparg];
            if (*local == v) {
                *local = nullptr;
                Zv_DECREF(v);
            }
            break;
        }
        case STORE_DEREF: {
            ZvObject *cell = f->f_localsplus[f->f_nlocals + oparg];
            if (ZvCell_GET(cell) == v) ZvCell_Set(cell, nullptr);
            break;
        }
        case STORE_NAME: {
            ZvObject *locals = f->f_locals;
            ZvObject *name = ZvTuple_GET_ITEM(f->f_code->co_names, oparg);
            if (locals != nullptr && ZvDict_CheckExact(locals) &&
                ZvDict_GetItem(locals, name) == v && ZvDict_DelItem(locals, name) != 0)
                ZvErr_Clear();
            break;
        }
        }
    }
    if (Zv_REFCNT(v) == 1 && !ZvString_CHECK_INTERNED(v) && ZvString_CheckExact(v)) {
        if (_ZvString_Resize(&v, new_len) != 0) return nullptr;
        memcpy(ZvString_AS_STRING(v) + v_len, ZvString_AS_STRING(w), (size_t)w_len);
        return v;
    }
    ZvString_Concat(&v, w);
    return v;
}

/* --- functions ------------------------------------------------------------------------- */

namespace {

/* Pops n values into a new tuple (deepest first); on failure they are
 * released all the same, so the stack stays in step. */
zv::Ref pop_tuple(ZvObject **&sp, int n)
{
    zv::Ref t(ZvTuple_New(n));
    for (int i = n; --i >= 0;) {
        ZvObject *item = *--sp;
        if (t)
            ZvTuple_SET_ITEM(t.get(), i, item);
        else
            Zv_DECREF(item);
    }
    return t;
}

} // namespace

ZvObject *make_function(ZvFrameObject *f, ZvObject ***pp_stack, int ndefaults, int closure)
{
    ZvObject **sp = *pp_stack;
    zv::Ref code(*--sp);
    int ncells = closure && ZvCode_Check(code.get()) ? ZvCode_GetNumFree(code.get()) : 0;
    int floor = f->f_iblock > 0 ? f->f_blockstack[f->f_iblock - 1].b_level : 0;
    if (!ZvCode_Check(code.get()) || sp - f->f_valuestack - floor < ncells + ndefaults) {
        *pp_stack = sp;
        ZvErr_SetString(ZvExc_SystemError, "bad code or stack for a new function");
        return nullptr;
    }
    zv::Ref func(ZvFunction_New(code.get(), f->f_globals));
    zv::Ref cells = closure ? pop_tuple(sp, ncells) : zv::Ref();
    zv::Ref defaults = ndefaults > 0 ? pop_tuple(sp, ndefaults) : zv::Ref();
    *pp_stack = sp;
    if (!func || (closure && !cells) || (ndefaults > 0 && !defaults)) return nullptr;
    if (closure) {
        for (int i = 0; i < ncells; i++) {
            if (!ZvCell_Check(ZvTuple_GET_ITEM(cells.get(), i))) {
                ZvErr_SetString(ZvExc_SystemError, "closure holds a non-cell");
                return nullptr;
            }
        }
        if (ZvFunction_SetClosure(func.get(), cells.get()) < 0) return nullptr;
    }
    if (defaults && ZvFunction_SetDefaults(func.get(), defaults.get()) < 0) return nullptr;
    return func.release();
}

} // namespace zv::ceval

/* --- slice bounds ------------------------------------------------------------------------ */

namespace {

/* A long bound is clipped rather than rejected, so s[:10**20] means "to the
 * end".  -2147483648 becomes -2147483647 so that negating a bound never
 * overflows. */
int32_t clip_long(ZvObject *v)
{
    auto *lv = (ZvLongObject *)v;
    int32_t size = lv->ob_size;
    int32_t n = size < 0 ? -size : size;
    uint64_t x = 0;
    for (int32_t i = n; --i >= 0;) {
        x = (x << SHIFT) | lv->ob_digit[i];
        if (x > (uint64_t)INT32_MAX) return size < 0 ? -INT32_MAX : INT32_MAX;
    }
    return size < 0 ? -(int32_t)x : (int32_t)x;
}

} // namespace

extern "C" int _ZvEval_SliceIndex(ZvObject *v, int *pi)
{
    if (v == nullptr) return 1;
    int32_t x;
    if (ZvInt_Check(v)) {
        x = ZvInt_AS_LONG(v);
    } else if (ZvLong_Check(v)) {
        x = clip_long(v);
    } else {
        ZvErr_SetString(ZvExc_TypeError, "slice indices must be integers or None");
        return 0;
    }
    *pi = x == INT32_MIN ? -INT32_MAX : x;
    return 1;
}
