/* Code objects: the immutable result of compiling one module, class or
 * function body (bytecode plus the tables it indexes). */
#ifndef ZVCODE_H
#define ZVCODE_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    int co_argcount;        /* positional parameters (not *args, **kwargs) */
    int co_nlocals;         /* fast locals, parameters first */
    int co_stacksize;       /* maximum depth of the value stack */
    int co_flags;           /* CO_* bits */
    ZvObject *co_code;      /* the bytecode, a string */
    ZvObject *co_consts;    /* tuple; item 0 is the docstring or None */
    ZvObject *co_names;     /* tuple of interned strings */
    ZvObject *co_varnames;  /* tuple of interned strings */
    ZvObject *co_freevars;  /* tuple of interned strings */
    ZvObject *co_cellvars;  /* tuple of interned strings */
    ZvObject *co_filename;  /* string */
    ZvObject *co_name;      /* string */
    int co_firstlineno;
    ZvObject *co_lnotab;    /* string of (address, line) increment pairs */
    /* Private: 1 once the bytecode has been verified (before its first run),
     * 0 until then. */
    int co_zvverified;
    /* Private: where a continue may land, found by verification: a tuple of
     * (target, stack depth, block count) triples, flattened; NULL when the
     * code has no CONTINUE_LOOP. */
    ZvObject *co_zvcontinue;
    /* Private: what LOAD_GLOBAL found for each name, made on first use and
     * checked against the dictionaries' mapping tags; NULL until then. */
    void *co_zvcache;
} ZvCodeObject;

/* co_flags bits. */
#ifndef CO_OPTIMIZED
#define CO_OPTIMIZED 0x0001
#define CO_NEWLOCALS 0x0002
#define CO_VARARGS 0x0004
#define CO_VARKEYWORDS 0x0008
#define CO_NESTED 0x0010
#define CO_GENERATOR 0x0020
#endif
#define CO_NOFREE 0x0040
#ifndef CO_FUTURE_DIVISION
#define CO_FUTURE_DIVISION 0x2000
#endif

/* The most value-stack entries or fast locals one code object may claim;
 * a limit on what untrusted bytecode can make a frame allocate. */
#define ZV_CODE_MAX_SLOTS 1000000

ZvAPI_DATA(ZvTypeObject) ZvCode_Type;
#define ZvCode_Check(op) (Zv_TYPE(op) == &ZvCode_Type)
#define ZvCode_GetNumFree(op) (ZvTuple_GET_SIZE(((ZvCodeObject *)(op))->co_freevars))

/* Validates the fields (and verifies the bytecode against them), interns
 * the names and identifier-like string constants, and builds the object.
 * New reference, or NULL with an error set. */
ZvAPI_FUNC(ZvCodeObject *) ZvCode_New(int argcount, int nlocals, int stacksize, int flags,
                                      ZvObject *code, ZvObject *consts, ZvObject *names,
                                      ZvObject *varnames, ZvObject *freevars,
                                      ZvObject *cellvars, ZvObject *filename,
                                      ZvObject *name, int firstlineno, ZvObject *lnotab);

/* The source line of the instruction at byte offset addr. */
ZvAPI_FUNC(int) ZvCode_Addr2Line(ZvCodeObject *co, int addr);

/* A listing of the bytecode, one line per instruction: offset, opcode name,
 * argument and, in parentheses, what the argument designates (constant,
 * name, variable, comparison or jump target), as in
 * "  0 LOAD_CONST 1 (5)".  For tests and debugging.  New string reference,
 * or NULL with an error set. */
ZvAPI_FUNC(ZvObject *) _ZvCode_Disassemble(ZvObject *code);

/* Checks that the bytecode cannot read or write outside its tables and
 * its frame: every opcode valid, every argument in range, every jump on an
 * instruction, the value stack never below its block's level nor above
 * co_stacksize, at most 20 nested blocks.  The evaluation loop calls it
 * before a code object first runs.  0 when sound; -1 with SystemError set. */
ZvAPI_FUNC(int) _ZvCode_Verify(ZvCodeObject *co);

ZV_END_DECLS

#endif /* ZVCODE_H */
