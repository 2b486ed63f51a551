/* Running code objects: the evaluation loop and argument binding. */
#ifndef ZVEVAL_H
#define ZVEVAL_H

#include "object.h"
#include "code.h"

ZV_BEGIN_DECLS

struct _frame;

/* Runs `co` with no arguments against globals and locals. */
ZvAPI_FUNC(ZvObject *) ZvEval_EvalCode(ZvCodeObject *co, ZvObject *globals, ZvObject *locals);

/* Binds the arguments to the code's parameters, sets up cells and free
 * variables, and runs the code (or returns a generator for generator code).
 * kws holds 2*kwcount objects (name, value, ...); defs the defaults of the
 * last parameters; closure a tuple of cells or NULL. */
ZvAPI_FUNC(ZvObject *) ZvEval_EvalCodeEx(ZvCodeObject *co, ZvObject *globals, ZvObject *locals,
                                         ZvObject **args, int argc, ZvObject **kws, int kwc,
                                         ZvObject **defs, int defc, ZvObject *closure);

/* Runs one frame to completion, to a yield or to an uncaught exception. */
ZvAPI_FUNC(ZvObject *) ZvEval_EvalFrame(struct _frame *f);

/* The name and description that start call error messages:
 * "f" and "()" for a function, "C" and " constructor" for a class. */
ZvAPI_FUNC(const char *) ZvEval_GetFuncName(ZvObject *);
ZvAPI_FUNC(const char *) ZvEval_GetFuncDesc(ZvObject *);

ZV_END_DECLS

#endif /* ZVEVAL_H */
