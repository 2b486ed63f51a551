/* The builtins module's functions, shared between the files that hold
 * them by concern: bltinmodule.cpp (the method table, start-up and the
 * object and number functions), bltinseq.cpp (the functions that walk
 * sequences) and bltinrun.cpp (the functions that import, compile, run
 * code and read input).  Only the method table uses these names. */
#ifndef ZV_BLTIN_INTERNAL_H
#define ZV_BLTIN_INTERNAL_H

#include "zuvo.h"
#include "interim_runtime.h"

namespace zv::builtins {

/* bltinseq.cpp */
ZvObject *filter(ZvObject *self, ZvObject *args);
ZvObject *map(ZvObject *self, ZvObject *args);
ZvObject *max(ZvObject *self, ZvObject *args);
ZvObject *min(ZvObject *self, ZvObject *args);
ZvObject *range(ZvObject *self, ZvObject *args);
ZvObject *reduce(ZvObject *self, ZvObject *args);
ZvObject *sorted(ZvObject *self, ZvObject *args, ZvObject *kwds);
ZvObject *sum(ZvObject *self, ZvObject *args);
ZvObject *zip(ZvObject *self, ZvObject *args);

/* bltinrun.cpp */
ZvObject *import(ZvObject *self, ZvObject *args);
ZvObject *compile(ZvObject *self, ZvObject *args);
ZvObject *eval(ZvObject *self, ZvObject *args);
ZvObject *execfile(ZvObject *self, ZvObject *args);
ZvObject *input(ZvObject *self, ZvObject *args);
ZvObject *raw_input(ZvObject *self, ZvObject *args);
ZvObject *reload(ZvObject *self, ZvObject *module);

} // namespace zv::builtins

#endif /* ZV_BLTIN_INTERNAL_H */
