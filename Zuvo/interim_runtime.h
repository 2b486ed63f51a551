/* Interim: the interface of the Unicode type that the builtins call,
 * declared here until the type's header declares it (an identical
 * declaration, so both may stand together for a while).
 * interim_runtime.cpp gives a weak stand-in that the real definition
 * replaces at link time; both files go once the type is in. */
#ifndef ZV_INTERIM_RUNTIME_H
#define ZV_INTERIM_RUNTIME_H

#include "object.h"

ZV_BEGIN_DECLS

/* The Unicode type: the one-character string of an ordinal. */
ZvAPI_FUNC(ZvObject *) ZvUnicode_FromOrdinal(int ordinal);

ZV_END_DECLS

#endif /* ZV_INTERIM_RUNTIME_H */
