/* Compiler entry points shared by the front end: the future-statement scan
 * and the code-object flags it sets. */
#ifndef ZVCOMPILE_H
#define ZVCOMPILE_H

#include "node.h"
#include "zvstate.h"

ZV_BEGIN_DECLS

/* Code-object flags the front end computes (the code object's own header
 * defines the same values). */
#ifndef CO_OPTIMIZED
#define CO_OPTIMIZED 0x0001
#define CO_NEWLOCALS 0x0002
#define CO_VARARGS 0x0004
#define CO_VARKEYWORDS 0x0008
#define CO_NESTED 0x0010
#define CO_GENERATOR 0x0020
#endif
#ifndef CO_FUTURE_DIVISION
#define CO_FUTURE_DIVISION 0x2000
#endif

/* The features selected by `from __future__ import` statements. */
typedef struct {
    int ff_found_docstring;
    int ff_last_lineno; /* line after the last future statement; -1 before the scan */
    int ff_features;    /* code-object flag bits of the features in force */
} ZvFutureFeatures;

#define FUTURE_NESTED_SCOPES "nested_scopes"
#define FUTURE_GENERATORS "generators"
#define FUTURE_DIVISION "division"

/* Scans the future statements at the start of a tree.  Returns a record
 * allocated with ZvMem_Malloc (free it with ZvMem_Free), or NULL with
 * SyntaxError set. */
ZvAPI_FUNC(ZvFutureFeatures *) ZvNode_Future(node *n, const char *filename);


/* Compiles a whole parse tree (file_input, single_input or eval_input,
 * possibly under encoding_decl) to a code object.  flags may be NULL; on
 * input they carry the caller's future bits and ZvCF_SOURCE_IS_UTF8, on
 * output the merged future bits.  New reference, or NULL with an error
 * set. */
ZvAPI_FUNC(ZvObject *) ZvNode_CompileFlags(node *n, const char *filename,
                                           ZvCompilerFlags *flags);
#define ZvNode_Compile(n, filename) ZvNode_CompileFlags((n), (filename), (ZvCompilerFlags *)NULL)

/* Compiler flag bits beyond the future features. */
#define ZvCF_MASK CO_FUTURE_DIVISION
#define ZvCF_SOURCE_IS_UTF8 0x0100
#define ZvCF_DONT_IMPLY_DEDENT 0x0200
ZV_END_DECLS

#endif /* ZVCOMPILE_H */
