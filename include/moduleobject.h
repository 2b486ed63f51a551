/* Module objects: a namespace dictionary with a name. */
#ifndef ZVMODULEOBJECT_H
#define ZVMODULEOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

ZvAPI_DATA(ZvTypeObject) ZvModule_Type;

#define ZvModule_Check(op) ZvObject_TypeCheck(op, &ZvModule_Type)
#define ZvModule_CheckExact(op) (Zv_TYPE(op) == &ZvModule_Type)

ZvAPI_FUNC(ZvObject *) ZvModule_New(const char *name);
ZvAPI_FUNC(ZvObject *) ZvModule_GetDict(ZvObject *m); /* borrowed */
ZvAPI_FUNC(char *) ZvModule_GetName(ZvObject *m);
ZvAPI_FUNC(char *) ZvModule_GetFilename(ZvObject *m);
ZvAPI_FUNC(void) _ZvModule_Clear(ZvObject *m);

ZV_END_DECLS

#endif /* ZVMODULEOBJECT_H */
