/* The generic iterators: over a sequence by index, and over calls of a
 * callable until a sentinel. */
#ifndef ZVITEROBJECT_H
#define ZVITEROBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

ZvAPI_DATA(ZvTypeObject) ZvSeqIter_Type;
ZvAPI_DATA(ZvTypeObject) ZvCallIter_Type;

#define ZvSeqIter_Check(op) (Zv_TYPE(op) == &ZvSeqIter_Type)
#define ZvCallIter_Check(op) (Zv_TYPE(op) == &ZvCallIter_Type)

ZvAPI_FUNC(ZvObject *) ZvSeqIter_New(ZvObject *seq);
ZvAPI_FUNC(ZvObject *) ZvCallIter_New(ZvObject *callable, ZvObject *sentinel);

ZV_END_DECLS

#endif /* ZVITEROBJECT_H */
