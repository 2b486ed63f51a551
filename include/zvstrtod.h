/* Conversions between doubles and decimal text that never depend on the C
 * locale: the decimal point is always ".", whatever setlocale() says.
 *
 * Parsing accepts an optional sign, then either a decimal number (digits
 * with an optional point and an optional exponent) or one of the words
 * inf, infinity, nan (any case).  Hexadecimal text is not a number here.
 * Formatting follows the printf conversions e, E, f, F, g and G. */
#ifndef ZVSTRTOD_H
#define ZVSTRTOD_H

#include <stddef.h>

#include "zvport.h"

ZV_BEGIN_DECLS

/* strtod() in the "C" locale: leading ASCII white space is skipped; *endptr
 * (when not NULL) points after the number, or at nptr when there is none
 * (the result is then 0.0).  A value beyond the double range gives
 * +-HUGE_VAL, one below the smallest denormal +-0.0, and both set errno to
 * ERANGE; otherwise errno is left alone. */
ZvAPI_FUNC(double) ZvOS_ascii_strtod(const char *nptr, char **endptr);
ZvAPI_FUNC(double) ZvOS_ascii_atof(const char *nptr);

/* Formats d with a printf format of the shape "%[#][+].<precision><type>"
 * (type one of e E f F g G) into buffer; returns buffer, or NULL when the
 * format has another shape or the text (with its NUL) does not fit. */
ZvAPI_FUNC(char *) ZvOS_ascii_formatd(char *buffer, size_t buf_len, const char *format,
                                      double d);

/* The same with the pieces given apart: a negative precision means 6.
 * Returns the text's length, or -1 when it does not fit buf_len bytes
 * with its NUL (nothing useful is left in buf then). */
#define ZvOS_FORMAT_ALT 1  /* '#': keep the point and trailing zeros */
#define ZvOS_FORMAT_SIGN 2 /* '+': a sign also before positive values */
ZvAPI_FUNC(int) _ZvOS_FormatDouble(char *buf, size_t buf_len, double x, char type,
                                   int precision, int flags);

ZV_END_DECLS

#endif /* ZVSTRTOD_H */
