/* Generators: the suspended frame of a function that contains yield,
 * resumed one step at a time by iteration. */
#ifndef ZVGENOBJECT_H
#define ZVGENOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

struct _frame;

typedef struct {
    ZvObject_HEAD
    struct _frame *gi_frame; /* owned */
    int gi_running;          /* 1 while the frame executes */
    ZvObject *gi_weakreflist;
} ZvGenObject;

ZvAPI_DATA(ZvTypeObject) ZvGen_Type;
#define ZvGen_Check(op) ZvObject_TypeCheck(op, &ZvGen_Type)
#define ZvGen_CheckExact(op) (Zv_TYPE(op) == &ZvGen_Type)

/* Takes over the caller's reference to frame (released on failure). */
ZvAPI_FUNC(ZvObject *) ZvGen_New(struct _frame *frame);

ZV_END_DECLS

#endif /* ZVGENOBJECT_H */
