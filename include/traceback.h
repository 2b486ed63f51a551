/* Traceback records: one per frame an exception passed through. */
#ifndef ZVTRACEBACK_H
#define ZVTRACEBACK_H

#include "object.h"

ZV_BEGIN_DECLS

struct _frame;

typedef struct _traceback {
    ZvObject_HEAD
    struct _traceback *tb_next; /* towards the frame that raised, or NULL */
    struct _frame *tb_frame;
    int tb_lasti;
    int tb_lineno;
} ZvTracebackObject;

ZvAPI_DATA(ZvTypeObject) ZvTraceBack_Type;
#define ZvTraceBack_Check(v) (Zv_TYPE(v) == &ZvTraceBack_Type)

/* Prepends a record for `frame` to the current exception's traceback. */
ZvAPI_FUNC(int) ZvTraceBack_Here(struct _frame *);
/* Writes the traceback to `file` (a file object or anything with write). */
ZvAPI_FUNC(int) ZvTraceBack_Print(ZvObject *tb, ZvObject *file);

ZV_END_DECLS

#endif /* ZVTRACEBACK_H */
