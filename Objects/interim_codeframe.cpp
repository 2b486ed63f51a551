/* Interim: weak stand-ins for the code and frame types and the line-table
 * query, so that functions and tracebacks link before code objects and
 * frames exist.  The real definitions override these at link time; this
 * file goes once they are in. */
#include "zuvo.h"

extern "C" {

__attribute__((weak)) ZvTypeObject ZvCode_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "code", sizeof(ZvCodeObject), 0,
};

__attribute__((weak)) ZvTypeObject ZvFrame_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "frame", sizeof(ZvFrameObject), sizeof(ZvObject *),
};

__attribute__((weak)) int ZvCode_Addr2Line(ZvCodeObject *co, int) { return co->co_firstlineno; }

} // extern "C"
