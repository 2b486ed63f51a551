/* The parser driver: source text (string, file or console) to parse tree.
 *
 * Every entry point returns the tree (the caller frees it with ZvNode_Free)
 * or NULL with the error record filled in.  Failures are codes in
 * perrdetail.error (errcode.h), never exceptions, except that a decoding
 * failure leaves the decoder's exception set. */
#ifndef ZVPARSETOK_H
#define ZVPARSETOK_H

#include "grammar.h"
#include "node.h"
#include "errcode.h"

ZV_BEGIN_DECLS

typedef struct {
    int error;            /* an E_* code */
    const char *filename; /* as given by the caller */
    int lineno;
    int offset;           /* column of the tokenizer's position in the line */
    char *text;           /* the line, from ZvObject_Malloc; caller frees */
    int token;            /* the offending token, -1 if unknown */
    int expected;         /* the one token expected, -1 if several were */
} perrdetail;

/* Flag: do not turn open indentation into dedents at end of input (used to
 * find out whether interactive input is complete). */
#define ZvPARSE_DONT_IMPLY_DEDENT 0x0002

ZvAPI_FUNC(node *) ZvParser_ParseString(const char *s, grammar *g, int start,
                                         perrdetail *err_ret);
ZvAPI_FUNC(node *) ZvParser_ParseStringFlags(const char *s, grammar *g, int start,
                                              perrdetail *err_ret, int flags);
ZvAPI_FUNC(node *) ZvParser_ParseStringFlagsFilename(const char *s, const char *filename,
                                                      grammar *g, int start,
                                                      perrdetail *err_ret, int flags);
ZvAPI_FUNC(node *) ZvParser_ParseFile(FILE *fp, const char *filename, grammar *g, int start,
                                       char *ps1, char *ps2, perrdetail *err_ret);
ZvAPI_FUNC(node *) ZvParser_ParseFileFlags(FILE *fp, const char *filename, grammar *g,
                                            int start, char *ps1, char *ps2,
                                            perrdetail *err_ret, int flags);


/* The parser with the built-in grammar; a failure becomes an exception
 * (ZvParser_SetError) and the result is NULL. */
ZvAPI_FUNC(node *) ZvParser_SimpleParseStringFlags(const char *str, int start, int flags);
ZvAPI_FUNC(node *) ZvParser_SimpleParseStringFlagsFilename(const char *str,
                                                            const char *filename, int start,
                                                            int flags);
ZvAPI_FUNC(node *) ZvParser_SimpleParseFileFlags(FILE *fp, const char *filename, int start,
                                                  int flags);
#define ZvParser_SimpleParseString(str, start) ZvParser_SimpleParseStringFlags((str), (start), 0)
#define ZvParser_SimpleParseFile(fp, name, start) ZvParser_SimpleParseFileFlags((fp), (name), (start), 0)
/* Turns a parser error detail into the matching SyntaxError (or
 * IndentationError, TabError, KeyboardInterrupt, MemoryError) and frees
 * its text. */
ZvAPI_FUNC(void) ZvParser_SetError(perrdetail *err);
ZV_END_DECLS

#endif /* ZVPARSETOK_H */
