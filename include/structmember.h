/* Member and computed-attribute tables. */
#ifndef ZVSTRUCTMEMBER_H
#define ZVSTRUCTMEMBER_H

#include "object.h"

ZV_BEGIN_DECLS

struct ZvMemberDef {
    const char *name; /* NULL ends a table */
    int type;         /* T_* */
    int offset;
    int flags;        /* READONLY, ... */
    const char *doc;
};
typedef struct ZvMemberDef ZvMemberDef;

typedef ZvObject *(*getter)(ZvObject *, void *);
typedef int (*setter)(ZvObject *, ZvObject *, void *);

struct ZvGetSetDef {
    const char *name; /* NULL ends a table */
    getter get;
    setter set;
    const char *doc;
    void *closure;
};
typedef struct ZvGetSetDef ZvGetSetDef;

#define T_SHORT 0
#define T_INT 1
#define T_LONG 2
#define T_FLOAT 3
#define T_DOUBLE 4
#define T_STRING 5
#define T_OBJECT 6
#define T_CHAR 7
#define T_BYTE 8
#define T_UBYTE 9
#define T_USHORT 10
#define T_UINT 11
#define T_ULONG 12
#define T_STRING_INPLACE 13
#define T_OBJECT_EX 16
#define T_LONGLONG 17
#define T_ULONGLONG 18

#define READONLY 1
#define RO READONLY
#define READ_RESTRICTED 2
#define WRITE_RESTRICTED 4
#define RESTRICTED (READ_RESTRICTED | WRITE_RESTRICTED)

ZV_END_DECLS

#endif /* ZVSTRUCTMEMBER_H */
