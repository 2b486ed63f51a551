/* File objects and the generic writing functions that the print
 * statement, tracebacks and error reports use.
 *
 * A file object wraps a stdio stream.  Besides reading and writing it
 * carries the print statement's soft-space flag and, for files opened
 * with "U", universal-newline reading: "\r" and "\r\n" line ends read as
 * "\n", and the kinds seen are recorded (the `newlines` attribute).  The
 * writing functions also accept any object with a `write` method, so
 * programs can redirect sys.stdout to their own objects. */
#ifndef ZVFILEOBJECT_H
#define ZVFILEOBJECT_H

#include <stdio.h>

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    FILE *f_fp;               /* the stream, or NULL once closed */
    ZvObject *f_name;         /* the name object as the creator gave it */
    ZvObject *f_mode;         /* the mode string as given */
    int (*f_close)(FILE *);   /* closes f_fp; NULL for streams not ours */
    int f_softspace;          /* the print statement owes a blank */
    int f_binary;             /* the mode holds "b" */
    char *f_buf;              /* iteration's read-ahead buffer, or NULL */
    char *f_bufend;           /* end of the data in f_buf */
    char *f_bufptr;           /* next unread byte of f_buf */
    char *f_setbuf;           /* stdio buffer owned for buffering > 1 */
    int f_univ_newline;       /* the mode holds "U" */
    int f_newlinetypes;       /* ZvFile_NEWLINE_* kinds seen so far */
    int f_skipnextlf;         /* last byte read was "\r": drop a "\n" next */
    ZvObject *f_encoding;     /* encoding name for printing unicode, or None */
    ZvObject *weakreflist;    /* weak references to this file */
    /* Operations using the stream while other code may run (other threads
     * while the interpreter lock is out, user code called by the print
     * protocol); close() is refused while any is in progress, since it
     * would pull the stream from under them. */
    int f_busy;
} ZvFileObject;

/* Bits of f_newlinetypes. */
#define ZvFile_NEWLINE_CR 1
#define ZvFile_NEWLINE_LF 2
#define ZvFile_NEWLINE_CRLF 4

ZvAPI_DATA(ZvTypeObject) ZvFile_Type;
#define ZvFile_Check(op) ZvObject_TypeCheck((ZvObject *)(op), &ZvFile_Type)
#define ZvFile_CheckExact(op) (Zv_TYPE(op) == &ZvFile_Type)

/* Wraps an open stream.  `close` closes it when the file object is closed
 * or destroyed; NULL leaves the stream open (the standard streams).  New
 * reference or NULL. */
ZvAPI_FUNC(ZvObject *) ZvFile_FromFile(FILE *fp, char *name, char *mode,
                                       int (*close)(FILE *));
/* Opens a file as file(name, mode) does.  New reference or NULL. */
ZvAPI_FUNC(ZvObject *) ZvFile_FromString(char *name, char *mode);
/* The stream of a file object; NULL for other objects and closed files. */
ZvAPI_FUNC(FILE *) ZvFile_AsFile(ZvObject *f);
/* The name object of a file object (borrowed); NULL for other objects. */
ZvAPI_FUNC(ZvObject *) ZvFile_Name(ZvObject *f);
/* Buffering as file()'s third argument: negative keeps the stdio default,
 * 0 unbuffered, 1 line-buffered, larger a buffer of that many bytes. */
ZvAPI_FUNC(void) ZvFile_SetBufSize(ZvObject *f, int bufsize);
/* Sets the encoding used to print unicode to the file; 1, or 0 with an
 * error set. */
ZvAPI_FUNC(int) ZvFile_SetEncoding(ZvObject *f, const char *enc);

/* One line of a file object, or of any object's readline().  n > 0: at
 * most n bytes; n == 0: a whole line; n < 0: a whole line without its
 * newline, and end of input raises EOFError.  New reference or NULL. */
ZvAPI_FUNC(ZvObject *) ZvFile_GetLine(ZvObject *f, int n);

/* Flag of ZvFile_WriteObject: the str form instead of the repr form. */
#ifndef Zv_PRINT_RAW
#define Zv_PRINT_RAW 1
#endif

/* Writes str(v) (flags & Zv_PRINT_RAW) or repr(v) to f.  0 or -1. */
ZvAPI_FUNC(int) ZvFile_WriteObject(ZvObject *v, ZvObject *f, int flags);
/* Writes s to f; -1 at once when an error is already pending. */
ZvAPI_FUNC(int) ZvFile_WriteString(const char *s, ZvObject *f);
/* Swaps the soft-space flag of f (its `softspace` attribute for objects
 * other than files); returns the old flag.  Never raises. */
ZvAPI_FUNC(int) ZvFile_SoftSpace(ZvObject *f, int newflag);

/* An int or long, or the result of o.fileno(): a descriptor >= 0, or -1
 * with an error set. */
ZvAPI_FUNC(int) ZvObject_AsFileDescriptor(ZvObject *o);

/* fgets and fread with universal-newline translation.  `fobj` is the file
 * object whose mode and newline state apply: for a file not opened with
 * "U" they are the plain stdio calls.  Fgets with a NULL fobj always
 * translates; Fread requires a file object (0 and errno ENXIO otherwise).
 * Fgets returns buf, or NULL at end of input (or for n < 2). */
ZvAPI_FUNC(char *) Zv_UniversalNewlineFgets(char *buf, int n, FILE *stream, ZvObject *fobj);
ZvAPI_FUNC(size_t) Zv_UniversalNewlineFread(char *buf, size_t n, FILE *stream, ZvObject *fobj);

ZV_END_DECLS

#endif /* ZVFILEOBJECT_H */
