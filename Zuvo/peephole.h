/* The peephole pass over one compiled block (peephole.cpp).
 *
 * Private to the library and its tests: the code generator calls it on
 * every block after the code is generated and before the constants list
 * is frozen into a tuple. */
#ifndef ZV_PEEPHOLE_H
#define ZV_PEEPHOLE_H

#include "zuvo.h"

ZV_BEGIN_DECLS

/* Rewrites the bytecode string `code` into cheaper equivalent code: tuples
 * of constants folded, swaps without a tuple, negated tests and
 * comparisons merged, jump chains threaded, dead returns and constant-true
 * tests dropped, and the NOPs this leaves squeezed out.  Folded tuples are
 * appended to the list `consts`; `names` is the block's names tuple;
 * `lnotab`, the line table, is rewritten in place to the new offsets, so it
 * must be a string no one else holds yet.
 *
 * Returns a new code string, or `code` itself (a new reference) when the
 * pass gives up: on a pending exception, a 255 byte in the line table,
 * code longer than 32700 bytes, an EXTENDED_ARG, bytecode that is not
 * well formed (a truncated instruction, a jump off an instruction start),
 * or lack of memory.  It never reports an error and never returns NULL
 * for a string `code`. */
ZvAPI_FUNC(ZvObject *) _ZvCode_Optimize(ZvObject *code, ZvObject *consts, ZvObject *names,
                                        ZvObject *lnotab);

ZV_END_DECLS

#endif /* ZV_PEEPHOLE_H */
