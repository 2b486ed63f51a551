/* The evaluation loop's entry points for native callers.
 *
 * The loop itself grows here; today this file holds the general call entry
 * and the conversion of slice bounds that sequence methods share. */
#include "zuvo.h"

extern "C" {

ZvObject *ZvEval_CallObjectWithKeywords(ZvObject *func, ZvObject *arg, ZvObject *kw)
{
    ZvObject *args = arg;
    if (args == nullptr) {
        args = ZvTuple_New(0);
        if (args == nullptr) return nullptr;
    } else if (!ZvTuple_Check(args)) {
        ZvErr_SetString(ZvExc_TypeError, "argument list must be a tuple");
        return nullptr;
    } else {
        Zv_INCREF(args);
    }
    if (kw != nullptr && !ZvDict_Check(kw)) {
        ZvErr_SetString(ZvExc_TypeError, "keyword list must be a dictionary");
        Zv_DECREF(args);
        return nullptr;
    }
    ZvObject *result = ZvObject_Call(func, args, kw);
    Zv_DECREF(args);
    return result;
}

/* A long bound is clipped rather than rejected, so s[:10**20] means "to the
 * end".  -2147483648 becomes -2147483647 so that negating a bound never
 * overflows. */
static int32_t clip_long(ZvObject *v)
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

int _ZvEval_SliceIndex(ZvObject *v, int *pi)
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

} // extern "C"

/* Interim entry points until the evaluation loop lands: they fail cleanly. */
extern "C" {

static ZvObject *not_built()
{
    ZvErr_SetString(ZvExc_SystemError, "evaluation loop not built yet");
    return nullptr;
}

ZvObject *ZvEval_EvalCodeEx(ZvCodeObject *, ZvObject *, ZvObject *, ZvObject **, int,
                            ZvObject **, int, ZvObject **, int, ZvObject *)
{
    return not_built();
}

ZvObject *ZvEval_EvalCode(ZvCodeObject *, ZvObject *, ZvObject *) { return not_built(); }

ZvObject *ZvEval_EvalFrame(struct _frame *) { return not_built(); }

const char *ZvEval_GetFuncName(ZvObject *func) { return Zv_TYPE(func)->tp_name; }

const char *ZvEval_GetFuncDesc(ZvObject *) { return " object"; }

} // extern "C"
