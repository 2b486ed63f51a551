/* The generic writing functions of the file protocol.
 *
 * The print statement, tracebacks and error reports write through these
 * to whatever sys.stdout or sys.stderr holds: any object with a `write`
 * method taking a string, and a `softspace` attribute that the print
 * statement reads and sets.  The built-in file type, which writes to its
 * stdio stream directly, joins them with the files step. */
#include "zuvo.h"
#include "fileobject.h"
#include "zvref.h"

extern "C" {

int ZvFile_WriteObject(ZvObject *v, ZvObject *f, int flags)
{
    if (f == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "writeobject with NULL file");
        return -1;
    }
    zv::Ref writer(ZvObject_GetAttrString(f, "write"));
    if (!writer) return -1;
    zv::Ref value((flags & Zv_PRINT_RAW) ? ZvObject_Str(v) : ZvObject_Repr(v));
    if (!value) return -1;
    zv::Ref args(ZvTuple_Pack(1, value.get()));
    if (!args) return -1;
    zv::Ref result(ZvEval_CallObject(writer.get(), args.get()));
    return result ? 0 : -1;
}

int ZvFile_WriteString(const char *s, ZvObject *f)
{
    if (ZvErr_Occurred()) return -1;
    if (f == nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "null file for ZvFile_WriteString");
        return -1;
    }
    zv::Ref text(ZvString_FromString(s));
    if (!text) return -1;
    return ZvFile_WriteObject(text.get(), f, Zv_PRINT_RAW);
}

int ZvFile_SoftSpace(ZvObject *f, int newflag)
{
    if (f == nullptr) return 0;
    int oldflag = 0;
    ZvObject *v = ZvObject_GetAttrString(f, "softspace");
    if (v == nullptr) {
        ZvErr_Clear();
    } else {
        if (ZvInt_Check(v)) oldflag = ZvInt_AsLong(v);
        Zv_DECREF(v);
    }
    zv::Ref flag(ZvInt_FromLong(newflag));
    if (!flag || ZvObject_SetAttrString(f, "softspace", flag.get()) < 0) ZvErr_Clear();
    return oldflag;
}

} // extern "C"
