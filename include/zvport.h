/* Platform glue shared by every public header: the export mark, C linkage
 * brackets and the fixed-width integer types the language sees.
 *
 * Language-visible integers (int values, hashes, sizes, reference counts)
 * are signed 32-bit on every host; C `long` is wider here, so the headers
 * never use it for those quantities. */
#ifndef ZVPORT_H
#define ZVPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdarg.h>

#if defined(ZUVO_BUILDING_LIBRARY)
#define ZvAPI_EXPORT __attribute__((visibility("default")))
#else
#define ZvAPI_EXPORT
#endif

#ifdef __cplusplus
#define ZV_EXTERN_C extern "C"
#define ZV_BEGIN_DECLS extern "C" {
#define ZV_END_DECLS }
#else
#define ZV_EXTERN_C extern
#define ZV_BEGIN_DECLS
#define ZV_END_DECLS
#endif

/* Every exported function and variable is declared with one of these. */
#define ZvAPI_FUNC(RTYPE) ZvAPI_EXPORT RTYPE
#define ZvAPI_DATA(RTYPE) extern ZvAPI_EXPORT RTYPE

/* A hash value: signed 32-bit, -1 reserved for "error". */
typedef int32_t Zv_hash_t;

/* The value range of an `int` object. */
#define ZvInt_MAX INT32_MAX
#define ZvInt_MIN INT32_MIN

/* Sizes and indices are signed 32-bit. */
#define Zv_SSIZE_MAX INT32_MAX

#endif /* ZVPORT_H */
