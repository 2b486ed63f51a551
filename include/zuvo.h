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
#include "stringobject.h"
#include "tupleobject.h"
#include "listobject.h"
#include "dictobject.h"
#include "methodobject.h"
#include "structmember.h"
#include "modsupport.h"
#include "zvlifecycle.h"

#endif /* ZUVO_H */
