/* Calls from bytecode, and the binding of arguments to parameters.
 *
 * The call opcodes leave the callable and its arguments on the value
 * stack; the dispatch here avoids building argument tuples for the common
 * cases: native functions taking no or one argument, plain functions
 * called with exactly their positional parameters (whose frame is filled
 * straight from the stack), and bound methods, unpacked in place.
 * Everything else builds a tuple and a keyword dictionary and goes
 * through the generic call protocol.
 *
 * Every function here pops what it consumes, on success and failure
 * alike, so the caller's stack pointer stays in step. */
#include "zuvo.h"
#include "ceval_internal.h"
#include "zvref.h"

#include <pthread.h>
#include <string.h>

namespace zv::ceval {

namespace {

inline ZvObject *ext_pop(ZvObject ***pp) { return *--(*pp); }

/* Native calls under the profile hook: C_CALL before, then C_RETURN or
 * C_EXCEPTION after. */
template <typename Call> ZvObject *c_trace(ZvObject *func, Call call)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (!ts->use_tracing || ts->c_profilefunc == nullptr) return call();
    if (call_trace(ts->c_profilefunc, ts->c_profileobj, ts->frame, ZvTrace_C_CALL, func))
        return nullptr;
    ZvObject *x = call();
    if (ts->c_profilefunc == nullptr) return x;
    if (x == nullptr) {
        call_trace_protected(ts->c_profilefunc, ts->c_profileobj, ts->frame,
                             ZvTrace_C_EXCEPTION, func);
    } else if (call_trace(ts->c_profilefunc, ts->c_profileobj, ts->frame, ZvTrace_C_RETURN,
                          func)) {
        Zv_DECREF(x);
        x = nullptr;
    }
    return x;
}

/* Pops n values into a new tuple, deepest first. */
ZvObject *load_args(ZvObject ***pp, int n)
{
    ZvObject *args = ZvTuple_New(n);
    for (int i = n; --i >= 0;) {
        ZvObject *w = ext_pop(pp);
        if (args != nullptr)
            ZvTuple_SET_ITEM(args, i, w);
        else
            Zv_DECREF(w);
    }
    return args;
}

void multiple_values_error(ZvObject *func, ZvObject *key)
{
    ZvErr_Format(ZvExc_TypeError, "%.200s%s got multiple values for keyword argument '%.200s'",
                 ZvEval_GetFuncName(func), ZvEval_GetFuncDesc(func),
                 ZvString_Check(key) ? ZvString_AS_STRING(key) : "?");
}

/* Pops nk (name, value) pairs into a copy of orig (or a new dictionary). */
ZvObject *update_keyword_args(ZvObject *orig, int nk, ZvObject ***pp, ZvObject *func)
{
    zv::Ref kwdict(orig == nullptr ? ZvDict_New() : ZvDict_Copy(orig));
    if (!kwdict) return nullptr;
    while (--nk >= 0) {
        zv::Ref value(ext_pop(pp));
        zv::Ref key(ext_pop(pp));
        if (ZvDict_GetItem(kwdict.get(), key.get()) != nullptr) {
            multiple_values_error(func, key.get());
            return nullptr;
        }
        if (ZvDict_SetItem(kwdict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return kwdict.release();
}

/* The na positional values on the stack followed by the items of stararg. */
ZvObject *update_star_args(int na, ZvObject *stararg, ZvObject ***pp)
{
    int nstar = stararg != nullptr ? ZvTuple_GET_SIZE(stararg) : 0;
    ZvObject *callargs = ZvTuple_New(na + nstar);
    if (callargs == nullptr) return nullptr;
    for (int i = 0; i < nstar; i++) {
        ZvObject *a = ZvTuple_GET_ITEM(stararg, i);
        Zv_INCREF(a);
        ZvTuple_SET_ITEM(callargs, na + i, a);
    }
    while (--na >= 0) ZvTuple_SET_ITEM(callargs, na, ext_pop(pp));
    return callargs;
}

/* A function whose frame can be filled straight from the stack: no
 * defaults, exactly n positional parameters, no star parameters, no cells,
 * not a generator. */
ZvObject *fast_function(ZvObject *func, ZvObject ***pp, int n, int na, int nk)
{
    auto *co = (ZvCodeObject *)ZvFunction_GET_CODE(func);
    ZvObject *globals = ZvFunction_GET_GLOBALS(func);
    ZvObject *argdefs = ZvFunction_GET_DEFAULTS(func);
    if (argdefs == nullptr && co->co_argcount == n && nk == 0 &&
        co->co_flags == (CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE)) {
        ZvThreadState *ts = ZvThreadState_GET();
        ZvFrameObject *f = _ZvFrame_NewUnchecked(ts, co, globals, nullptr);
        if (f == nullptr) return nullptr;
        ZvObject **stack = (*pp) - n;
        for (int i = 0; i < n; i++) {
            Zv_INCREF(stack[i]);
            f->f_localsplus[i] = stack[i];
        }
        ZvObject *retval = ZvEval_EvalFrame(f);
        /* Freeing the frame can free deep chains; count it as one level. */
        ++ts->recursion_depth;
        Zv_DECREF(f);
        --ts->recursion_depth;
        return retval;
    }
    ZvObject **defs = nullptr;
    int nd = 0;
    if (argdefs != nullptr) {
        defs = &ZvTuple_GET_ITEM(argdefs, 0);
        nd = ZvTuple_GET_SIZE(argdefs);
    }
    return ZvEval_EvalCodeEx(co, globals, nullptr, (*pp) - n, na, (*pp) - 2 * nk, nk, defs, nd,
                             ZvFunction_GET_CLOSURE(func));
}

/* Anything else: a keyword dictionary, an argument tuple, the generic call. */
ZvObject *do_call(ZvObject *func, ZvObject ***pp, int na, int nk)
{
    zv::Ref kwdict;
    if (nk > 0) {
        kwdict.reset(update_keyword_args(nullptr, nk, pp, func));
        if (!kwdict) return nullptr;
    }
    zv::Ref callargs(load_args(pp, na));
    if (!callargs) return nullptr;
    if (ZvCFunction_Check(func))
        return c_trace(func, [&] { return ZvCFunction_Call(func, callargs.get(), kwdict.get()); });
    return ZvObject_Call(func, callargs.get(), kwdict.get());
}

/* A native function by its calling convention, positional arguments only. */
ZvObject *call_builtin(ZvObject *func, ZvObject ***pp, int na)
{
    int flags = ZvCFunction_GET_FLAGS(func);
    if (flags & (METH_NOARGS | METH_O)) {
        ZvCFunction meth = ZvCFunction_GET_FUNCTION(func);
        ZvObject *self = ZvCFunction_GET_SELF(func);
        const char *name = ((ZvCFunctionObject *)func)->m_ml->ml_name;
        if ((flags & METH_NOARGS) && na == 0)
            return c_trace(func, [&] { return meth(self, nullptr); });
        if ((flags & METH_O) && na == 1) {
            zv::Ref arg(ext_pop(pp));
            return c_trace(func, [&] { return meth(self, arg.get()); });
        }
        if (flags & METH_NOARGS)
            ZvErr_Format(ZvExc_TypeError, "%.200s() takes no arguments (%d given)", name, na);
        else
            ZvErr_Format(ZvExc_TypeError, "%.200s() takes exactly one argument (%d given)", name,
                         na);
        return nullptr;
    }
    zv::Ref callargs(load_args(pp, na));
    if (!callargs) return nullptr;
    return c_trace(func, [&] { return ZvCFunction_Call(func, callargs.get(), nullptr); });
}

/* The callable's slot may hold a bound method: put its instance in the
 * slot, as the first argument, and call its function instead.  Returns a
 * new reference to what is to be called. */
ZvObject *unpack_bound_method(ZvObject **pfunc, int *na)
{
    ZvObject *func = *pfunc;
    if (ZvMethod_Check(func) && ZvMethod_GET_SELF(func) != nullptr) {
        ZvObject *self = ZvMethod_GET_SELF(func);
        ZvObject *inner = ZvMethod_GET_FUNCTION(func);
        Zv_INCREF(self);
        Zv_INCREF(inner);
        *pfunc = self;
        Zv_DECREF(func);
        ++*na;
        return inner;
    }
    Zv_INCREF(func);
    return func;
}

void pop_through(ZvObject ***pp, ZvObject **pfunc)
{
    while (*pp > pfunc) {
        ZvObject *w = ext_pop(pp);
        Zv_XDECREF(w);
    }
}

} // namespace

ZvObject *call_function(ZvObject ***pp_stack, int oparg)
{
    int na = oparg & 0xff;
    int nk = (oparg >> 8) & 0xff;
    int n = na + 2 * nk;
    ZvObject **pfunc = (*pp_stack) - n - 1;
    ZvObject *func = *pfunc;
    ZvObject *x;
    if (ZvCFunction_Check(func) && nk == 0) {
        x = call_builtin(func, pp_stack, na);
    } else if (ZvFunction_Check(func)) {
        /* The callable's stack slot keeps it alive through the call. */
        x = fast_function(func, pp_stack, n, na, nk);
    } else {
        zv::Ref callee(unpack_bound_method(pfunc, &na));
        n = na + 2 * nk;
        if (ZvFunction_Check(callee.get()))
            x = fast_function(callee.get(), pp_stack, n, na, nk);
        else
            x = do_call(callee.get(), pp_stack, na, nk);
    }
    pop_through(pp_stack, pfunc);
    return x;
}

ZvObject *ext_do_call(ZvObject ***pp_stack, int flags, int na, int nk)
{
    int n = na + 2 * nk + ((flags & 1) != 0) + ((flags & 2) != 0);
    ZvObject **pfunc = (*pp_stack) - n - 1;
    zv::Ref func(unpack_bound_method(pfunc, &na));
    zv::Ref kwdict, stararg, callargs;
    ZvObject *result = nullptr;
    if (flags & 2) {
        kwdict.reset(ext_pop(pp_stack));
        if (!ZvDict_Check(kwdict.get())) {
            ZvErr_Format(ZvExc_TypeError, "%s%s argument after ** must be a dictionary",
                         ZvEval_GetFuncName(func.get()), ZvEval_GetFuncDesc(func.get()));
            goto done;
        }
    }
    if (flags & 1) {
        stararg.reset(ext_pop(pp_stack));
        if (!ZvTuple_Check(stararg.get())) {
            zv::Ref t(ZvSequence_Tuple(stararg.get()));
            if (!t) {
                if (ZvErr_ExceptionMatches(ZvExc_TypeError))
                    ZvErr_Format(ZvExc_TypeError, "%s%s argument after * must be a sequence",
                                 ZvEval_GetFuncName(func.get()), ZvEval_GetFuncDesc(func.get()));
                goto done;
            }
            stararg.reset(t.release());
        }
    }
    if (nk > 0) {
        kwdict.reset(update_keyword_args(kwdict.get(), nk, pp_stack, func.get()));
        if (!kwdict) goto done;
    }
    callargs.reset(update_star_args(na, stararg.get(), pp_stack));
    if (callargs) result = ZvObject_Call(func.get(), callargs.get(), kwdict.get());
done:
    pop_through(pp_stack, pfunc);
    return result;
}

/* --- the native stack -------------------------------------------------------------- */

namespace {

/* The lowest address this thread's evaluation may reach, with room left
 * below it for the native code that a frame calls (error reports,
 * compilation, deep native recursion guarded by its own counts). */
/* Initial-exec: the general TLS model costs a library call per access. */
__attribute__((tls_model("initial-exec"))) thread_local const char *stack_floor = nullptr;

const char *compute_stack_floor()
{
    pthread_attr_t attr;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return (const char *)1;
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    size_t margin = size / 8;
    if (margin < 256 * 1024) margin = 256 * 1024;
    if (size <= margin) return (const char *)1;
    return (const char *)addr + margin;
}

} // namespace

int native_stack_ok(void)
{
    if (stack_floor == nullptr) stack_floor = compute_stack_floor();
    if ((const char *)__builtin_frame_address(0) > stack_floor) return 1;
    ZvErr_SetString(ZvExc_RuntimeError, "maximum recursion depth exceeded");
    return 0;
}

} // namespace zv::ceval

using namespace zv::ceval;

/* --- binding arguments ---------------------------------------------------------------- */

namespace {

/* "f() takes exactly 2 arguments (3 given)" and its variants. */
void arg_count_error(ZvCodeObject *co, const char *quantity, int expected, int kwcount,
                     int given)
{
    ZvErr_Format(ZvExc_TypeError, "%.200s() takes %s %d %sargument%s (%d given)",
                 ZvString_AsString(co->co_name), quantity, expected,
                 kwcount ? "non-keyword " : "", expected == 1 ? "" : "s", given);
}

inline void set_local(ZvFrameObject *f, int i, ZvObject *v)
{
    ZvObject *old = f->f_localsplus[i];
    f->f_localsplus[i] = v;
    Zv_XDECREF(old);
}

/* Keyword arguments: each names a parameter or lands in **kwargs. */
int bind_keywords(ZvFrameObject *f, ZvCodeObject *co, ZvObject **kws, int kwcount,
                  ZvObject *kwdict)
{
    const char *fname = ZvString_AsString(co->co_name);
    for (int i = 0; i < kwcount; i++) {
        ZvObject *keyword = kws[2 * i];
        ZvObject *value = kws[2 * i + 1];
        if (keyword == nullptr || !ZvString_Check(keyword)) {
            ZvErr_Format(ZvExc_TypeError, "%.200s() keywords must be strings", fname);
            return -1;
        }
        int j = 0;
        int nparams = co->co_argcount;
        if (nparams > ZvTuple_GET_SIZE(co->co_varnames)) nparams = ZvTuple_GET_SIZE(co->co_varnames);
        for (; j < nparams; j++) {
            int cmp = ZvObject_RichCompareBool(keyword, ZvTuple_GET_ITEM(co->co_varnames, j),
                                               Zv_EQ);
            if (cmp > 0) break;
            if (cmp < 0) return -1;
        }
        if (j >= nparams) {
            if (kwdict == nullptr) {
                ZvErr_Format(ZvExc_TypeError,
                             "%.200s() got an unexpected keyword argument '%.400s'", fname,
                             ZvString_AS_STRING(keyword));
                return -1;
            }
            if (ZvDict_SetItem(kwdict, keyword, value) < 0) return -1;
            continue;
        }
        if (f->f_localsplus[j] != nullptr) {
            ZvErr_Format(ZvExc_TypeError,
                         "%.200s() got multiple values for keyword argument '%.400s'", fname,
                         ZvString_AS_STRING(keyword));
            return -1;
        }
        Zv_INCREF(value);
        set_local(f, j, value);
    }
    return 0;
}

int bind_arguments(ZvFrameObject *f, ZvCodeObject *co, ZvObject **args, int argcount,
                   ZvObject **kws, int kwcount, ZvObject **defs, int defcount)
{
    int n = argcount;
    ZvObject *kwdict = nullptr;
    if (co->co_flags & CO_VARKEYWORDS) {
        kwdict = ZvDict_New();
        if (kwdict == nullptr) return -1;
        set_local(f, co->co_argcount + ((co->co_flags & CO_VARARGS) ? 1 : 0), kwdict);
    }
    if (argcount > co->co_argcount) {
        if (!(co->co_flags & CO_VARARGS)) {
            arg_count_error(co, defcount ? "at most" : "exactly", co->co_argcount, kwcount,
                            argcount);
            return -1;
        }
        n = co->co_argcount;
    }
    for (int i = 0; i < n; i++) {
        Zv_INCREF(args[i]);
        set_local(f, i, args[i]);
    }
    if (co->co_flags & CO_VARARGS) {
        ZvObject *rest = ZvTuple_New(argcount - n);
        if (rest == nullptr) return -1;
        set_local(f, co->co_argcount, rest);
        for (int i = n; i < argcount; i++) {
            Zv_INCREF(args[i]);
            ZvTuple_SET_ITEM(rest, i - n, args[i]);
        }
    }
    if (bind_keywords(f, co, kws, kwcount, kwdict) < 0) return -1;
    if (argcount < co->co_argcount) {
        int m = co->co_argcount - defcount;
        for (int i = argcount; i < m; i++) {
            if (f->f_localsplus[i] == nullptr) {
                bool flexible = (co->co_flags & CO_VARARGS) || defcount;
                arg_count_error(co, flexible ? "at least" : "exactly", m, kwcount, i);
                return -1;
            }
        }
        for (int i = n > m ? n - m : 0; i < defcount; i++) {
            if (f->f_localsplus[m + i] == nullptr) {
                Zv_INCREF(defs[i]);
                set_local(f, m + i, defs[i]);
            }
        }
    }
    return 0;
}

/* Cells for the captured variables; a captured parameter starts with the
 * argument's value.  The compiler lists parameter cells first, in
 * parameter order, so one forward walk over the parameters pairs them. */
int make_cells(ZvFrameObject *f, ZvCodeObject *co)
{
    int ncells = ZvTuple_GET_SIZE(co->co_cellvars);
    int nargs = co->co_argcount + ((co->co_flags & CO_VARARGS) ? 1 : 0) +
                ((co->co_flags & CO_VARKEYWORDS) ? 1 : 0);
    int nnames = ZvTuple_GET_SIZE(co->co_varnames);
    if (nargs > nnames) nargs = nnames;
    if (nargs > f->f_nlocals) nargs = f->f_nlocals;
    int j = 0;
    for (int i = 0; i < ncells; i++) {
        const char *cellname = ZvString_AS_STRING(ZvTuple_GET_ITEM(co->co_cellvars, i));
        ZvObject *value = nullptr;
        for (; j < nargs; j++) {
            if (strcmp(cellname, ZvString_AS_STRING(ZvTuple_GET_ITEM(co->co_varnames, j))) == 0) {
                value = f->f_localsplus[j];
                break;
            }
        }
        ZvObject *c = ZvCell_New(value);
        if (c == nullptr) return -1;
        set_local(f, f->f_nlocals + i, c);
    }
    return 0;
}

/* The closure's cells become the free-variable slots. */
int copy_closure(ZvFrameObject *f, ZvCodeObject *co, ZvObject *closure)
{
    int ncells = ZvTuple_GET_SIZE(co->co_cellvars);
    int nfree = ZvTuple_GET_SIZE(co->co_freevars);
    if (nfree == 0) return 0;
    if (closure == nullptr || !ZvTuple_Check(closure) || ZvTuple_GET_SIZE(closure) < nfree) {
        ZvErr_Format(ZvExc_SystemError, "%.200s() needs a closure of %d cells",
                     ZvString_AsString(co->co_name), nfree);
        return -1;
    }
    for (int i = 0; i < nfree; i++) {
        ZvObject *c = ZvTuple_GET_ITEM(closure, i);
        if (!ZvCell_Check(c)) {
            ZvErr_SetString(ZvExc_SystemError, "closure holds a non-cell");
            return -1;
        }
        Zv_INCREF(c);
        set_local(f, f->f_nlocals + ncells + i, c);
    }
    return 0;
}

} // namespace

extern "C" {

ZvObject *ZvEval_EvalCodeEx(ZvCodeObject *co, ZvObject *globals, ZvObject *locals,
                            ZvObject **args, int argcount, ZvObject **kws, int kwcount,
                            ZvObject **defs, int defcount, ZvObject *closure)
{
    if (globals == nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "ZvEval_EvalCodeEx: NULL globals");
        return nullptr;
    }
    if (co == nullptr || !ZvCode_Check(co) || !ZvDict_Check(globals) ||
        (locals != nullptr && !ZvMapping_Check(locals)) || argcount < 0 ||
        kwcount < 0 || defcount < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvThreadState *ts = ZvThreadState_GET();
    ZvFrameObject *f = _ZvFrame_NewUnchecked(ts, co, globals, locals);
    if (f == nullptr) return nullptr;

    ZvObject *retval = nullptr;
    bool bound;
    if (co->co_argcount > 0 || (co->co_flags & (CO_VARARGS | CO_VARKEYWORDS))) {
        bound = bind_arguments(f, co, args, argcount, kws, kwcount, defs, defcount) == 0;
    } else {
        bound = argcount == 0 && kwcount == 0;
        if (!bound)
            ZvErr_Format(ZvExc_TypeError, "%.200s() takes no arguments (%d given)",
                         ZvString_AsString(co->co_name), argcount + kwcount);
    }
    if (bound && make_cells(f, co) == 0 && copy_closure(f, co, closure) == 0) {
        if (co->co_flags & CO_GENERATOR) {
            /* The generator links the frame to whoever resumes it. */
            Zv_CLEAR(f->f_back);
            return ZvGen_New(f);
        }
        retval = ZvEval_EvalFrame(f);
    }
    ++ts->recursion_depth;
    Zv_DECREF(f);
    --ts->recursion_depth;
    return retval;
}

ZvObject *ZvEval_CallObjectWithKeywords(ZvObject *func, ZvObject *arg, ZvObject *kw)
{
    zv::Ref args;
    if (arg == nullptr) {
        args.reset(ZvTuple_New(0));
        if (!args) return nullptr;
    } else if (!ZvTuple_Check(arg)) {
        ZvErr_SetString(ZvExc_TypeError, "argument list must be a tuple");
        return nullptr;
    } else {
        args = zv::Ref::borrow(arg);
    }
    if (kw != nullptr && !ZvDict_Check(kw)) {
        ZvErr_SetString(ZvExc_TypeError, "keyword list must be a dictionary");
        return nullptr;
    }
    return ZvObject_Call(func, args.get(), kw);
}

const char *ZvEval_GetFuncName(ZvObject *func)
{
    while (ZvMethod_Check(func)) func = ZvMethod_GET_FUNCTION(func);
    ZvObject *name = nullptr;
    if (ZvFunction_Check(func))
        name = ((ZvFunctionObject *)func)->func_name;
    else if (ZvCFunction_Check(func))
        return ((ZvCFunctionObject *)func)->m_ml->ml_name;
    else if (ZvClass_Check(func))
        name = ((ZvClassObject *)func)->cl_name;
    else if (ZvInstance_Check(func))
        name = ((ZvInstanceObject *)func)->in_class->cl_name;
    else
        return Zv_TYPE(func)->tp_name;
    return name != nullptr && ZvString_Check(name) ? ZvString_AS_STRING(name) : "?";
}

const char *ZvEval_GetFuncDesc(ZvObject *func)
{
    if (ZvMethod_Check(func) || ZvFunction_Check(func) || ZvCFunction_Check(func)) return "()";
    if (ZvClass_Check(func)) return " constructor";
    if (ZvInstance_Check(func)) return " instance";
    return " object";
}

} // extern "C"
