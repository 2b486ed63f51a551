/* The umbrella header: everything an embedding program or a native
 * extension module needs. */
#ifndef ZUVO_H
#define ZUVO_H

#include "zvport.h"
#include "object.h"
#include "objimpl.h"
#include "zvstate.h"
#include "zverrors.h"
#include "intobject.h"
#include "boolobject.h"
#include "longobject.h"
#include "floatobject.h"
#include "complexobject.h"
#include "zvstrtod.h"
#include "stringobject.h"
#include "tupleobject.h"
#include "listobject.h"
#include "dictobject.h"
#include "methodobject.h"
#include "descrobject.h"
#include "structmember.h"
#include "modsupport.h"
#include "ceval.h"
#include "code.h"
#include "frameobject.h"
#include "eval.h"
#include "funcobject.h"
#include "classobject.h"
#include "traceback.h"
#include "genobject.h"
#include "marshal.h"
#include "fileobject.h"
#include "sysmodule.h"
#include "zvversion.h"
#include "zvrun.h"
#include "abstract.h"
#include "iterobject.h"
#include "sliceobject.h"
#include "moduleobject.h"
#include "rangeobject.h"
#include "import.h"
#include "intrcheck.h"
#include "zvlifecycle.h"
#include "zvmain.h"
#include "zvflags.h"
/* The front end's headers are gathered in zvfrontend.h and included on their
 * own: they use the grammar's short names (NAME, STR, state, LOCAL, ...),
 * which must not leak into every file that includes this one. */

#endif /* ZUVO_H */
