/* Result and error codes of the tokenizer and the parser.
 *
 * They travel in the tokenizer's `done` field and in the `error` field of
 * the parser's error record (perrdetail); the run API turns them into
 * exceptions.  The values are fixed: 10 upward. */
#ifndef ZVERRCODE_H
#define ZVERRCODE_H

#define E_OK 10        /* no error */
#define E_EOF 11       /* end of input */
#define E_INTR 12      /* console read interrupted */
#define E_TOKEN 13     /* bad token */
#define E_SYNTAX 14    /* the parser found no transition */
#define E_NOMEM 15     /* out of memory */
#define E_DONE 16      /* parse complete (parser internal) */
#define E_ERROR 17     /* execution error (not produced by the front end) */
#define E_TABSPACE 18  /* inconsistent mixing of tabs and spaces */
#define E_OVERFLOW 19  /* a node has too many children */
#define E_TOODEEP 20   /* too many nested indentation levels */
#define E_DEDENT 21    /* dedent to a column that matches no open level */
#define E_DECODE 22    /* source decoding failed */
#define E_EOFS 23      /* end of input inside a triple-quoted string */
#define E_EOLS 24      /* end of line inside a single-quoted string */

#endif /* ZVERRCODE_H */
