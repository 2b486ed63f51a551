/* Frames: one activation of a code object, with its globals, builtins and
 * locals, the block stack of active loops and handlers, and one array
 * holding fast locals, cells, free variables and the value stack. */
#ifndef ZVFRAMEOBJECT_H
#define ZVFRAMEOBJECT_H

#include "object.h"
#include "code.h"
#include "zvstate.h"

ZV_BEGIN_DECLS

/* At most this many loops and handlers are active in one frame; the
 * compiler refuses deeper nesting. */
#define CO_MAXBLOCKS 20

typedef struct {
    int b_type;    /* the setup opcode that pushed the block */
    int b_handler; /* where to go */
    int b_level;   /* value-stack depth to unwind to */
} ZvTryBlock;

typedef struct _frame {
    ZvObject_VAR_HEAD
    struct _frame *f_back;    /* the caller, or NULL (owned) */
    ZvCodeObject *f_code;     /* owned */
    ZvObject *f_builtins;     /* owned */
    ZvObject *f_globals;      /* owned */
    ZvObject *f_locals;       /* owned; NULL for optimized frames until asked for */
    ZvObject **f_valuestack;  /* bottom of the value stack inside f_localsplus */
    ZvObject **f_stacktop;    /* saved top while suspended; NULL while running */
    ZvObject *f_trace;        /* per-frame trace function or NULL (owned) */
    ZvObject *f_exc_type, *f_exc_value, *f_exc_traceback; /* saved handled exception */
    ZvThreadState *f_tstate;  /* not owned */
    int f_lasti;              /* offset of the last instruction started, -1 before */
    int f_lineno;             /* exact only while tracing */
    int f_restricted;         /* builtins are not the interpreter's own */
    int f_iblock;             /* blocks in use */
    ZvTryBlock f_blockstack[CO_MAXBLOCKS];
    int f_nlocals, f_ncells, f_nfreevars, f_stacksize;
    /* Private to the evaluation loop: while this frame waits for a callee
     * that the same loop runs (no native call in between), where it resumes
     * and the top of its value stack. */
    int f_zvresume;
    ZvObject **f_zvsp;
    ZvObject *f_localsplus[1]; /* locals, cells, free variables, value stack */
} ZvFrameObject;

ZvAPI_DATA(ZvTypeObject) ZvFrame_Type;
#define ZvFrame_Check(op) (Zv_TYPE(op) == &ZvFrame_Type)

/* A new frame for `code` whose caller is tstate->frame; not yet linked in
 * as the current frame.  New reference or NULL. */
ZvAPI_FUNC(ZvFrameObject *) ZvFrame_New(ZvThreadState *tstate, ZvCodeObject *code,
                                        ZvObject *globals, ZvObject *locals);
/* ZvFrame_New for callers whose arguments are known sound (the evaluation
 * loop's calls): code is a code object, globals a dict, locals NULL or a
 * mapping. */
ZvAPI_FUNC(ZvFrameObject *) _ZvFrame_NewUnchecked(ZvThreadState *tstate, ZvCodeObject *code,
                                                  ZvObject *globals, ZvObject *locals);
ZvAPI_FUNC(void) ZvFrame_BlockSetup(ZvFrameObject *f, int type, int handler, int level);
ZvAPI_FUNC(ZvTryBlock *) ZvFrame_BlockPop(ZvFrameObject *f);
/* Copy between the fast slots (locals, cells, free variables) and
 * f_locals; errors are swallowed and a pending exception survives. */
ZvAPI_FUNC(void) ZvFrame_FastToLocals(ZvFrameObject *f);
ZvAPI_FUNC(void) ZvFrame_LocalsToFast(ZvFrameObject *f, int clear);
/* Whether execution can continue at byte offset addr with this stack depth
 * and block stack (a jump made by setting a frame's f_lineno): 1 if some
 * path of the verified code arrives there in exactly that state. */
ZvAPI_FUNC(int) _ZvCode_CanResumeAt(ZvCodeObject *co, int addr, int depth,
                                    const ZvTryBlock *blocks, int nblocks);

ZvAPI_FUNC(void) _ZvFrame_Init(void);
ZvAPI_FUNC(void) ZvFrame_Fini(void);

ZV_END_DECLS

#endif /* ZVFRAMEOBJECT_H */
