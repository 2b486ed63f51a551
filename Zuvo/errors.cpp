/* The error indicator of the current thread state.
 *
 * A failing function stores (type, value, traceback) here and returns NULL
 * or -1; callers propagate until someone handles or prints it. */
#include "zuvo.h"
#include "exceptions_internal.h"

#include <errno.h>
#include <string.h>

extern "C" {

void ZvErr_Restore(ZvObject *type, ZvObject *value, ZvObject *traceback)
{
    ZvThreadState *ts = ZvThreadState_GET();
    /* Only a real traceback object may sit in the indicator; tracebacks
     * arrive with the evaluation loop, so until then none is kept. */
    Zv_XDECREF(traceback);
    traceback = nullptr;
    ZvObject *oldtype = ts->curexc_type, *oldvalue = ts->curexc_value,
             *oldtb = ts->curexc_traceback;
    ts->curexc_type = type;
    ts->curexc_value = value;
    ts->curexc_traceback = traceback;
    Zv_XDECREF(oldtype);
    Zv_XDECREF(oldvalue);
    Zv_XDECREF(oldtb);
}

void ZvErr_SetObject(ZvObject *exception, ZvObject *value)
{
    Zv_XINCREF(exception);
    Zv_XINCREF(value);
    ZvErr_Restore(exception, value, nullptr);
}

void ZvErr_SetNone(ZvObject *exception) { ZvErr_SetObject(exception, nullptr); }

void ZvErr_SetString(ZvObject *exception, const char *string)
{
    ZvObject *value = ZvString_FromString(string);
    ZvErr_SetObject(exception, value);
    Zv_XDECREF(value);
}

ZvObject *ZvErr_Occurred(void)
{
    ZvThreadState *ts = ZvThreadState_GET();
    return ts == nullptr ? nullptr : ts->curexc_type;
}

void ZvErr_Fetch(ZvObject **p_type, ZvObject **p_value, ZvObject **p_traceback)
{
    ZvThreadState *ts = ZvThreadState_GET();
    *p_type = ts->curexc_type;
    *p_value = ts->curexc_value;
    *p_traceback = ts->curexc_traceback;
    ts->curexc_type = ts->curexc_value = ts->curexc_traceback = nullptr;
}

void ZvErr_Clear(void) { ZvErr_Restore(nullptr, nullptr, nullptr); }

int ZvErr_GivenExceptionMatches(ZvObject *err, ZvObject *exc)
{
    if (err == nullptr || exc == nullptr) return 0;
    if (ZvTuple_Check(exc)) {
        int n = ZvTuple_Size(exc);
        for (int i = 0; i < n; i++)
            if (ZvErr_GivenExceptionMatches(err, ZvTuple_GET_ITEM(exc, i))) return 1;
        return 0;
    }
    if (Zv_TYPE(err) == &_ZvExcClass_Type && Zv_TYPE(exc) == &_ZvExcClass_Type)
        return _ZvExcClass_IsSubclass(err, exc);
    return err == exc;
}

int ZvErr_ExceptionMatches(ZvObject *exc)
{
    return ZvErr_GivenExceptionMatches(ZvErr_Occurred(), exc);
}

void ZvErr_NormalizeException(ZvObject **exc, ZvObject **val, ZvObject **)
{
    if (*exc == nullptr) return;
    if (*val == nullptr) {
        Zv_INCREF(Zv_None);
        *val = Zv_None;
    }
}

ZvObject *ZvErr_NoMemory(void)
{
    if (ZvErr_ExceptionMatches(ZvExc_MemoryError)) return nullptr;
    if (ZvExc_MemoryErrorInst != nullptr)
        ZvErr_SetObject(ZvExc_MemoryError, ZvExc_MemoryErrorInst);
    else
        ZvErr_SetNone(ZvExc_MemoryError);
    return nullptr;
}

int ZvErr_BadArgument(void)
{
    ZvErr_SetString(ZvExc_TypeError, "bad argument type for built-in operation");
    return 0;
}

void ZvErr_BadInternalCall(void)
{
    ZvErr_SetString(ZvExc_SystemError, "bad argument to internal function");
}

void _ZvErr_BadInternalCall(const char *filename, int lineno)
{
    ZvErr_Format(ZvExc_SystemError, "%s:%d: bad argument to internal function", filename, lineno);
}

ZvObject *ZvErr_Format(ZvObject *exception, const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    ZvObject *string = ZvString_FromFormatV(format, vargs);
    va_end(vargs);
    ZvErr_SetObject(exception, string);
    Zv_XDECREF(string);
    return nullptr;
}

ZvObject *ZvErr_SetFromErrnoWithFilenameObject(ZvObject *exc, ZvObject *filenameObject)
{
    int i = errno;
    const char *s = i == 0 ? "Error" : strerror(i);
    ZvObject *num = ZvInt_FromLong(i);
    ZvObject *msg = ZvString_FromString(s);
    ZvObject *v = nullptr;
    if (num != nullptr && msg != nullptr) {
        if (filenameObject != nullptr)
            v = ZvTuple_Pack(3, num, msg, filenameObject);
        else
            v = ZvTuple_Pack(2, num, msg);
    }
    Zv_XDECREF(num);
    Zv_XDECREF(msg);
    if (v != nullptr) {
        ZvErr_SetObject(exc, v);
        Zv_DECREF(v);
    }
    return nullptr;
}

ZvObject *ZvErr_SetFromErrnoWithFilename(ZvObject *exc, const char *filename)
{
    int saved = errno;
    ZvObject *name = filename ? ZvString_FromString(filename) : nullptr;
    errno = saved;
    ZvErr_SetFromErrnoWithFilenameObject(exc, name);
    Zv_XDECREF(name);
    return nullptr;
}

ZvObject *ZvErr_SetFromErrno(ZvObject *exc)
{
    return ZvErr_SetFromErrnoWithFilenameObject(exc, nullptr);
}

/* Pending signals are checked here once the signal module exists. */
int ZvErr_CheckSignals(void) { return 0; }

} // extern "C"
