/* Member and computed-attribute tables.
 *
 * A ZvMemberDef names a field at a fixed byte offset of the instance and
 * gives its storage type; a ZvGetSetDef names a computed attribute with a
 * getter and an optional setter.  Readying a type turns each entry into a
 * descriptor in the type's dictionary (descrobject.h); ZvMember_GetOne and
 * ZvMember_SetOne do the conversions between fields and objects. */
#ifndef ZVSTRUCTMEMBER_H
#define ZVSTRUCTMEMBER_H

#include "object.h"

ZV_BEGIN_DECLS

struct ZvMemberDef {
    const char *name; /* NULL ends a table */
    int type;         /* T_* */
    int offset;       /* byte offset in the instance */
    int flags;        /* READONLY, ... */
    const char *doc;
};
typedef struct ZvMemberDef ZvMemberDef;

/* The older member record (no doc string), used with ZvMember_Get/Set. */
struct memberlist {
    const char *name; /* NULL ends a table */
    int type;
    int offset;
    int flags;
};

typedef ZvObject *(*getter)(ZvObject *, void *);
typedef int (*setter)(ZvObject *, ZvObject *, void *);

struct ZvGetSetDef {
    const char *name; /* NULL ends a table */
    getter get;       /* (obj, closure) -> new reference */
    setter set;       /* (obj, value or NULL to delete, closure) -> 0 / -1; NULL = read-only */
    const char *doc;
    void *closure;
};
typedef struct ZvGetSetDef ZvGetSetDef;

/* Member storage types. */
#define T_SHORT 0           /* int16_t */
#define T_INT 1             /* int32_t */
#define T_LONG 2            /* int32_t */
#define T_FLOAT 3           /* float */
#define T_DOUBLE 4          /* double */
#define T_STRING 5          /* char *, read-only; NULL reads as None */
#define T_OBJECT 6          /* ZvObject *; NULL reads as None */
#define T_CHAR 7            /* char, as a one-character string */
#define T_BYTE 8            /* int8_t */
#define T_UBYTE 9           /* uint8_t */
#define T_USHORT 10         /* uint16_t */
#define T_UINT 11           /* uint32_t, read as a (possibly negative) int */
#define T_ULONG 12          /* uint32_t, read as a long */
#define T_STRING_INPLACE 13 /* characters stored in the instance, read-only */
#define T_OBJECT_EX 16      /* ZvObject *; NULL reads as AttributeError */

/* Member flags. */
#define READONLY 1
#define RO READONLY
#define READ_RESTRICTED 2
#define WRITE_RESTRICTED 4
#define RESTRICTED (READ_RESTRICTED | WRITE_RESTRICTED)

/* Reads or writes (value NULL deletes) the member of the object whose
 * first byte is at `addr`. */
ZvAPI_FUNC(ZvObject *) ZvMember_GetOne(const char *addr, ZvMemberDef *);
ZvAPI_FUNC(int) ZvMember_SetOne(char *addr, ZvMemberDef *, ZvObject *);

/* Old-style access by name through a memberlist table; "__members__"
 * lists the names. */
ZvAPI_FUNC(ZvObject *) ZvMember_Get(const char *addr, struct memberlist *, const char *name);
ZvAPI_FUNC(int) ZvMember_Set(char *addr, struct memberlist *, const char *name, ZvObject *);

ZV_END_DECLS

#endif /* ZVSTRUCTMEMBER_H */
