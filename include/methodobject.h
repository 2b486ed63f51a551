/* Static method tables and the built-in function object. */
#ifndef ZVMETHODOBJECT_H
#define ZVMETHODOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef ZvObject *(*ZvCFunction)(ZvObject *, ZvObject *);
typedef ZvObject *(*ZvCFunctionWithKeywords)(ZvObject *, ZvObject *, ZvObject *);
typedef ZvObject *(*ZvNoArgsFunction)(ZvObject *);

struct ZvMethodDef {
    const char *ml_name; /* NULL ends a table */
    ZvCFunction ml_meth;
    int ml_flags;        /* METH_* */
    const char *ml_doc;
};
typedef struct ZvMethodDef ZvMethodDef;

#define METH_OLDARGS 0x0000
#define METH_VARARGS 0x0001
#define METH_KEYWORDS 0x0002
#define METH_NOARGS 0x0004
#define METH_O 0x0008
#define METH_CLASS 0x0010
#define METH_STATIC 0x0020
#define METH_COEXIST 0x0040

ZV_END_DECLS

#endif /* ZVMETHODOBJECT_H */
