/* The marshal format: the interpreter's serialization of constants and
 * code objects, used by the bytecode cache and the marshal module. */
#ifndef ZVMARSHAL_H
#define ZVMARSHAL_H

#include "object.h"

ZV_BEGIN_DECLS

#define Zv_MARSHAL_VERSION 1

/* Writers take the 32-bit quantity of the format in a C long and write
 * it little-endian whatever the host. */
ZvAPI_FUNC(void) ZvMarshal_WriteLongToFile(long, FILE *, int version);
ZvAPI_FUNC(void) ZvMarshal_WriteObjectToFile(ZvObject *, FILE *, int version);
ZvAPI_FUNC(ZvObject *) ZvMarshal_WriteObjectToString(ZvObject *, int version);

ZvAPI_FUNC(long) ZvMarshal_ReadLongFromFile(FILE *);
ZvAPI_FUNC(int) ZvMarshal_ReadShortFromFile(FILE *);
ZvAPI_FUNC(ZvObject *) ZvMarshal_ReadObjectFromFile(FILE *);
ZvAPI_FUNC(ZvObject *) ZvMarshal_ReadLastObjectFromFile(FILE *);
ZvAPI_FUNC(ZvObject *) ZvMarshal_ReadObjectFromString(const char *, int len);

/* Creates the marshal module. */
ZvAPI_FUNC(void) ZvMarshal_Init(void);

ZV_END_DECLS

#endif /* ZVMARSHAL_H */
