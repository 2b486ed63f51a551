/* The file type and the file protocol's writing functions.
 *
 * A file object owns (or, for the standard streams, borrows) one stdio
 * stream.  f_fp is NULL once the file is closed, and every method checks
 * that first.  Blocking stdio calls run with the interpreter lock
 * released; while one does, or while the print protocol writes straight
 * to the stream and may run user code in between, the file is marked busy
 * (f_busy) and close() refuses to pull the stream away.  Nothing else can
 * free the stream meanwhile: those callers hold a reference to the file.
 *
 * Universal-newline files ("U" in the mode) are opened in binary mode and
 * translated here: "\r" and "\r\n" read as "\n".  Because a "\r" may be
 * the last byte of one read and its "\n" the first of the next, the
 * translation state (f_skipnextlf) lives in the file object, together with
 * the kinds of line ends seen (f_newlinetypes).
 *
 * Iteration reads ahead into a buffer of its own (f_buf .. f_bufend, next
 * unread byte at f_bufptr), so lines come back without a stdio call each;
 * read() and readline() do not see that buffer, and seek() drops it.
 *
 * The writing functions at the end serve the print statement, tracebacks
 * and error reports: a real file gets the object printed straight to its
 * stream, any other object is sent str() or repr() through its `write`
 * method. */
#include "zuvo.h"
#include "zvref.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

/* The largest string the string type can allocate. */
constexpr int64_t kMaxString = INT32_MAX - (int64_t)offsetof(ZvStringObject, ob_sval) - 1;
/* First buffer of a line read without a limit; it grows by a quarter. */
constexpr int kLineStart = 100;
/* First buffer of a line read with a limit: a huge limit must not mean a
 * huge allocation for a short line. */
constexpr int kLimitedLineStart = 8192;
/* read() without a size grows its buffer by these rules when the file's
 * size cannot tell how much is left. */
constexpr int64_t kSmallChunk = 8192;
constexpr int64_t kBigChunk = 524288;
/* Iteration's first read-ahead block. */
constexpr int kReadAhead = 8192;
/* writelines() converts and writes this many items per round. */
constexpr int kWriteChunk = 1000;
/* Line buffering ("buffering" 1) uses a buffer of this size. */
constexpr int kLineBufSize = 1024;

ZvFileObject *as_file(ZvObject *o) { return (ZvFileObject *)o; }

ZvObject *err_closed()
{
    ZvErr_SetString(ZvExc_ValueError, "I/O operation on closed file");
    return nullptr;
}

/* A stream error: IOError from errno, and the stream's error state is
 * cleared so that the next call starts afresh. */
ZvObject *err_stream(FILE *fp)
{
    ZvErr_SetFromErrno(ZvExc_IOError);
    if (fp != nullptr) clearerr(fp);
    return nullptr;
}

ZvObject *err_too_big()
{
    ZvErr_SetString(ZvExc_OverflowError,
                    "requested number of bytes is more than a Zuvo string can hold");
    return nullptr;
}

/* Marks the file busy for the lifetime of the guard: close() is refused
 * meanwhile.  Used where the stream stays in use across code that may
 * close the file (user code, or other threads while the lock is out). */
class Busy {
public:
    explicit Busy(ZvFileObject *f) : f_(f) { f_->f_busy++; }
    ~Busy() { f_->f_busy--; }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    ZvFileObject *f_;
};

/* Runs a blocking stdio call with the interpreter lock released and the
 * file marked busy.  The lock's hand-over keeps errno. */
class Unlocked {
public:
    explicit Unlocked(ZvFileObject *f) : busy_(f), save_(ZvEval_SaveThread()) {}
    ~Unlocked() { ZvEval_RestoreThread(save_); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;

private:
    Busy busy_;
    ZvThreadState *save_;
};

/* Resizes the string a read filled to the bytes actually read. */
bool shrink_to(zv::Ref &v, int64_t used)
{
    if (used == ZvString_GET_SIZE(v.get())) return true;
    ZvObject *raw = v.release();
    if (_ZvString_Resize(&raw, (int)used) < 0) return false;
    v.reset(raw);
    return true;
}

bool grow_to(zv::Ref &v, int64_t size)
{
    ZvObject *raw = v.release();
    if (_ZvString_Resize(&raw, (int)size) < 0) return false;
    v.reset(raw);
    return true;
}

void drop_readahead(ZvFileObject *f)
{
    if (f->f_buf == nullptr) return;
    ZvMem_Free(f->f_buf);
    f->f_buf = f->f_bufend = f->f_bufptr = nullptr;
}

/* Frees the buffer given to setvbuf.  A stream that is not ours to close
 * (a standard stream) lives on after the file object, so it is first made
 * unbuffered: that is the one setvbuf call that stops stdio using a
 * buffer without handing it another. */
void release_setbuf(ZvFileObject *f)
{
    if (f->f_setbuf == nullptr) return;
    if (f->f_fp != nullptr) setvbuf(f->f_fp, nullptr, _IONBF, 0);
    ZvMem_Free(f->f_setbuf);
    f->f_setbuf = nullptr;
}

/* Stores an owned reference in a field, releasing what the field held. */
void replace(ZvObject *&field, ZvObject *value)
{
    ZvObject *old = field;
    field = value;
    Zv_XDECREF(old);
}

/* Refuses a directory that fopen accepted: reading it would only fail
 * later, with a less helpful error.  The stream is closed when it is ours
 * to close, and left to its owner otherwise. */
bool refuse_directory(ZvFileObject *f)
{
    if (f->f_fp == nullptr) return true;
    struct stat st;
    if (fstat(fileno(f->f_fp), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    zv::Ref value(Zv_BuildValue("(is)", EISDIR, strerror(EISDIR)));
    if (value) ZvErr_SetObject(ZvExc_IOError, value.get());
    if (f->f_close != nullptr) f->f_close(f->f_fp);
    f->f_fp = nullptr;
    return false;
}

/* Sets every field from a (possibly NULL) stream, a name object and a
 * mode, as a newly opened file.  false with an error set. */
bool fill_file_fields(ZvFileObject *f, FILE *fp, ZvObject *name, const char *mode,
                      int (*close)(FILE *))
{
    zv::Ref mode_obj(ZvString_FromString(mode));
    if (!mode_obj) return false;
    drop_readahead(f);
    Zv_INCREF(name);
    replace(f->f_name, name);
    replace(f->f_mode, mode_obj.release());
    Zv_INCREF(Zv_None);
    replace(f->f_encoding, Zv_None);
    f->f_close = close;
    f->f_softspace = 0;
    f->f_binary = strchr(mode, 'b') != nullptr;
    f->f_univ_newline = strchr(mode, 'U') != nullptr;
    f->f_newlinetypes = 0;
    f->f_skipnextlf = 0;
    f->f_fp = fp;
    return refuse_directory(f);
}

/* Opens the named file for f, whose fields are already set.  "U" and
 * "rU" open in binary mode: the translation is done here, not by stdio. */
bool open_the_file(ZvFileObject *f, const char *name, const char *mode)
{
    if (ZvEval_GetRestricted()) {
        ZvErr_SetString(ZvExc_IOError, "file() constructor not accessible in restricted mode");
        return false;
    }
    if (strcmp(mode, "U") == 0 || strcmp(mode, "rU") == 0) mode = "rb";
    FILE *fp;
    {
        Unlocked u(f);
        errno = 0;
        fp = fopen(name, mode);
    }
    if (fp == nullptr) {
        if (errno == EINVAL)
            ZvErr_Format(ZvExc_IOError, "invalid mode: %s", mode);
        else
            ZvErr_SetFromErrnoWithFilenameObject(ZvExc_IOError, f->f_name);
        return false;
    }
    f->f_fp = fp;
    return refuse_directory(f);
}

/* Closes the stream with f_close: 0, EOF with errno set, or the close
 * function's own status (a pipe's exit status). */
int close_stream(ZvFileObject *f)
{
    int status = 0;
    if (f->f_fp == nullptr) return 0;
    if (f->f_close == nullptr) {
        release_setbuf(f);
    } else {
        ZvThreadState *save = ZvEval_SaveThread();
        errno = 0;
        status = f->f_close(f->f_fp);
        ZvEval_RestoreThread(save);
    }
    f->f_fp = nullptr;
    int saved = errno;
    release_setbuf(f);
    drop_readahead(f);
    errno = saved;
    return status;
}

/* --- universal newlines -------------------------------------------------- */

/* Translates n bytes in place, from src into dst (dst <= src), with the
 * state of one file; returns the end of the translated bytes. */
char *translate_newlines(char *dst, const char *src, size_t n, int *skipnextlf,
                         int *newlinetypes)
{
    for (const char *end = src + n; src != end; src++) {
        char c = *src;
        if (c == '\r') {
            /* A "\r" right after a "\r": the first stood alone. */
            if (*skipnextlf) *newlinetypes |= ZvFile_NEWLINE_CR;
            *dst++ = '\n';
            *skipnextlf = 1;
            continue;
        }
        if (*skipnextlf) {
            *skipnextlf = 0;
            if (c == '\n') {
                *newlinetypes |= ZvFile_NEWLINE_CRLF;
                continue;
            }
            *newlinetypes |= ZvFile_NEWLINE_CR;
        }
        if (c == '\n') *newlinetypes |= ZvFile_NEWLINE_LF;
        *dst++ = c;
    }
    return dst;
}

/* Reads one line into buf (at most end - buf bytes) with the stream
 * locked; returns the last character read (EOF, '\n', or another when the
 * buffer filled) and advances *pbuf.  Runs without the interpreter lock:
 * it touches only the stream and the given state. */
int fill_line(FILE *fp, char **pbuf, char *end, bool univ, int *skipnextlf, int *newlinetypes)
{
    char *buf = *pbuf;
    int c = 'x';
    flockfile(fp);
    if (!univ) {
        while (buf != end && (c = getc_unlocked(fp)) != EOF) {
            *buf++ = (char)c;
            if (c == '\n') break;
        }
    } else {
        while (buf != end && (c = getc_unlocked(fp)) != EOF) {
            if (*skipnextlf) {
                *skipnextlf = 0;
                if (c == '\n') {
                    *newlinetypes |= ZvFile_NEWLINE_CRLF;
                    c = getc_unlocked(fp);
                    if (c == EOF) break;
                } else {
                    *newlinetypes |= ZvFile_NEWLINE_CR;
                }
            }
            if (c == '\r') {
                *skipnextlf = 1;
                c = '\n';
            } else if (c == '\n') {
                *newlinetypes |= ZvFile_NEWLINE_LF;
            }
            *buf++ = (char)c;
            if (c == '\n') break;
        }
        if (c == EOF && *skipnextlf) *newlinetypes |= ZvFile_NEWLINE_CR;
    }
    funlockfile(fp);
    *pbuf = buf;
    return c;
}

/* One line of the file: n > 0 reads at most n bytes, n == 0 a whole line
 * (with its newline, if the file has one).  At end of file the stream's
 * end-of-file flag is cleared, so a file that grows can be read on. */
ZvObject *get_line(ZvFileObject *f, int n)
{
    int64_t limit = n > 0 ? n : kMaxString;
    int64_t total = n > 0 ? std::min(n, kLimitedLineStart) : kLineStart;
    zv::Ref v(ZvString_FromStringAndSize(nullptr, (int)total));
    if (!v) return nullptr;
    int64_t used = 0;
    for (;;) {
        char *start = ZvString_AS_STRING(v.get());
        char *buf = start + used;
        int skipnextlf = f->f_skipnextlf, newlinetypes = f->f_newlinetypes;
        int c;
        {
            Unlocked u(f);
            errno = 0;
            c = fill_line(f->f_fp, &buf, start + total, f->f_univ_newline != 0, &skipnextlf,
                          &newlinetypes);
        }
        f->f_skipnextlf = skipnextlf;
        f->f_newlinetypes = newlinetypes;
        used = buf - start;
        if (c == '\n') break;
        if (c == EOF) {
            if (ferror(f->f_fp)) return err_stream(f->f_fp);
            clearerr(f->f_fp);
            if (ZvErr_CheckSignals() != 0) return nullptr;
            break;
        }
        /* The buffer is full. */
        if (total == limit) {
            if (n > 0) break;
            ZvErr_SetString(ZvExc_OverflowError, "line is longer than a Zuvo string can hold");
            return nullptr;
        }
        total = std::min(limit, total + (total >> 2));
        if (!grow_to(v, total)) return nullptr;
    }
    if (!shrink_to(v, used)) return nullptr;
    return v.release();
}

/* The next size of read()'s buffer: what is left of a regular file when
 * its size says so, else the growth rule. */
int64_t new_buffersize(ZvFileObject *f, int64_t current)
{
    struct stat st;
    int fd = fileno(f->f_fp);
    if (fstat(fd, &st) == 0) {
        off_t end = st.st_size;
        off_t pos = lseek(fd, 0, SEEK_CUR);
        if (pos >= 0) pos = ftello(f->f_fp);
        if (pos < 0) clearerr(f->f_fp);
        if (end > pos && pos >= 0) return current + (int64_t)(end - pos) + 1;
    }
    if (current <= kSmallChunk) return current + kSmallChunk;
    if (current <= kBigChunk) return current * 2;
    return current + kBigChunk;
}

/* An offset argument: an int, a long (64 bits), or anything int() takes. */
bool offset_of(ZvObject *o, off_t *out)
{
    long long v = ZvLong_Check(o) ? ZvLong_AsLongLong(o) : (long long)ZvInt_AsLong(o);
    if (v == -1 && ZvErr_Occurred()) return false;
    *out = (off_t)v;
    return true;
}

ZvObject *position_object(off_t pos)
{
    if (pos >= INT32_MIN && pos <= INT32_MAX) return ZvInt_FromLong((int32_t)pos);
    return ZvLong_FromLongLong((long long)pos);
}

/* --- read-ahead for iteration --------------------------------------------- */

/* Makes sure the read-ahead buffer holds at least one unread byte, unless
 * the file is at its end.  The block is read into a buffer of its own and
 * installed only afterwards, with the lock held again: another thread may
 * drop or replace f_buf while this one reads. */
int readahead(ZvFileObject *f, int bufsize)
{
    if (f->f_buf != nullptr) {
        if (f->f_bufend - f->f_bufptr >= 1) return 0;
        drop_readahead(f);
    }
    char *buf = (char *)ZvMem_Malloc((size_t)bufsize);
    if (buf == nullptr) {
        ZvErr_NoMemory();
        return -1;
    }
    size_t chunk;
    {
        Unlocked u(f);
        errno = 0;
        chunk = Zv_UniversalNewlineFread(buf, (size_t)bufsize, f->f_fp, (ZvObject *)f);
    }
    if (chunk == 0) {
        if (ferror(f->f_fp)) {
            ZvMem_Free(buf);
            err_stream(f->f_fp);
            return -1;
        }
        clearerr(f->f_fp);
    }
    drop_readahead(f);
    f->f_buf = f->f_bufptr = buf;
    f->f_bufend = buf + chunk;
    return 0;
}

/* The next line from the read-ahead buffer, preceded by `skip` bytes that
 * the caller fills in (the part of the line found in earlier blocks).
 * Without a newline in the buffer, the buffer is taken over, a larger
 * block read, and the rest of the line found there. */
ZvObject *readahead_get_line_skip(ZvFileObject *f, int64_t skip, int bufsize)
{
    if (f->f_buf == nullptr && readahead(f, bufsize) < 0) return nullptr;
    int64_t len = f->f_bufend - f->f_bufptr;
    if (len == 0) return ZvString_FromStringAndSize(nullptr, (int)skip);
    if (skip + len > kMaxString) {
        ZvErr_SetString(ZvExc_OverflowError, "line is longer than a Zuvo string can hold");
        return nullptr;
    }
    auto *nl = (char *)memchr(f->f_bufptr, '\n', (size_t)len);
    if (nl != nullptr) {
        len = nl + 1 - f->f_bufptr;
        ZvObject *s = ZvString_FromStringAndSize(nullptr, (int)(skip + len));
        if (s == nullptr) return nullptr;
        memcpy(ZvString_AS_STRING(s) + skip, f->f_bufptr, (size_t)len);
        f->f_bufptr = nl + 1;
        if (f->f_bufptr == f->f_bufend) drop_readahead(f);
        return s;
    }
    char *buf = f->f_buf, *part = f->f_bufptr;
    f->f_buf = f->f_bufptr = f->f_bufend = nullptr;
    int next = bufsize > INT_MAX - (bufsize >> 2) ? INT_MAX : bufsize + (bufsize >> 2);
    ZvObject *s = readahead_get_line_skip(f, skip + len, next);
    if (s != nullptr) memcpy(ZvString_AS_STRING(s) + skip, part, (size_t)len);
    ZvMem_Free(buf);
    return s;
}

/* --- methods --------------------------------------------------------------- */

ZvObject *file_read(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    long requested = -1;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, "|l:read", &requested)) return nullptr;
    /* Converting the size may have run user code that closed the file. */
    if (f->f_fp == nullptr) return err_closed();
    /* A size is a limit, not the first allocation: the buffer follows the
     * file's size, so read(2**31 - 1) of a short file stays small. */
    int64_t limit = requested < 0 ? INT64_MAX : requested;
    int64_t size = std::min(limit, new_buffersize(f, 0));
    if (size > kMaxString) return err_too_big();
    zv::Ref v(ZvString_FromStringAndSize(nullptr, (int)size));
    if (!v) return nullptr;
    int64_t got = 0;
    while (got < size) {
        size_t chunk;
        {
            Unlocked u(f);
            errno = 0;
            chunk = Zv_UniversalNewlineFread(ZvString_AS_STRING(v.get()) + got,
                                             (size_t)(size - got), f->f_fp, self);
        }
        if (chunk == 0) {
            if (!ferror(f->f_fp)) break;
            /* A non-blocking stream with nothing more to give keeps what
             * was read so far. */
            if (got > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                clearerr(f->f_fp);
                break;
            }
            return err_stream(f->f_fp);
        }
        got += (int64_t)chunk;
        if (got < size) {
            clearerr(f->f_fp);
            break;
        }
        if (got == limit) break;
        size = std::min(limit, new_buffersize(f, size));
        if (size > kMaxString) return err_too_big();
        if (!grow_to(v, size)) return nullptr;
    }
    if (!shrink_to(v, got)) return nullptr;
    return v.release();
}

ZvObject *file_readline(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    int n = -1;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, "|i:readline", &n)) return nullptr;
    if (f->f_fp == nullptr) return err_closed();
    if (n == 0) return ZvString_FromString("");
    return get_line(f, n < 0 ? 0 : n);
}

ZvObject *file_readlines(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    long sizehint = 0;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, "|l:readlines", &sizehint)) return nullptr;
    if (f->f_fp == nullptr) return err_closed();
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    int64_t total = 0;
    for (;;) {
        zv::Ref line(get_line(f, 0));
        if (!line) return nullptr;
        int len = ZvString_GET_SIZE(line.get());
        if (len == 0) break;
        if (ZvList_Append(list.get(), line.get()) < 0) return nullptr;
        total += len;
        if (sizehint > 0 && total >= sizehint) break;
    }
    return list.release();
}

ZvObject *file_readinto(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    char *ptr;
    int ntodo;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, "w#", &ptr, &ntodo)) return nullptr;
    size_t ndone = 0;
    while (ntodo > 0) {
        size_t nnow;
        {
            Unlocked u(f);
            errno = 0;
            nnow = Zv_UniversalNewlineFread(ptr + ndone, (size_t)ntodo, f->f_fp, self);
        }
        if (nnow == 0) {
            if (!ferror(f->f_fp)) break;
            return err_stream(f->f_fp);
        }
        ndone += nnow;
        ntodo -= (int)nnow;
    }
    return ZvInt_FromLong((int32_t)ndone);
}

ZvObject *file_write(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    const char *s;
    int n;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, f->f_binary ? "s#" : "t#", &s, &n)) return nullptr;
    f->f_softspace = 0;
    size_t written;
    {
        Unlocked u(f);
        errno = 0;
        written = fwrite(s, 1, (size_t)n, f->f_fp);
    }
    if (written != (size_t)n) return err_stream(f->f_fp);
    Zv_RETURN_NONE;
}

/* Fills `chunk` with up to kWriteChunk items of `seq` (a list, sliced) or
 * `it` (an iterator); returns the count, or -1 with an error set. */
int next_write_chunk(ZvObject *seq, ZvObject *it, int index, zv::Ref &chunk)
{
    if (it == nullptr) {
        chunk.reset(ZvList_GetSlice(seq, index, index + kWriteChunk));
        return chunk ? ZvList_GET_SIZE(chunk.get()) : -1;
    }
    chunk.reset(ZvList_New(0));
    if (!chunk) return -1;
    for (int j = 0; j < kWriteChunk; j++) {
        zv::Ref item(ZvIter_Next(it));
        if (!item) return ZvErr_Occurred() ? -1 : j;
        if (ZvList_Append(chunk.get(), item.get()) < 0) return -1;
    }
    return kWriteChunk;
}

/* Replaces the items of the chunk that are not strings by strings made
 * from their character buffers. */
bool strings_of_chunk(ZvObject *chunk)
{
    for (int i = 0; i < ZvList_GET_SIZE(chunk); i++) {
        ZvObject *v = ZvList_GET_ITEM(chunk, i);
        if (ZvString_Check(v)) continue;
        const char *buffer;
        int len;
        if (ZvObject_AsCharBuffer(v, &buffer, &len) != 0) {
            ZvErr_SetString(ZvExc_TypeError, "writelines() argument must be a sequence of strings");
            return false;
        }
        ZvObject *line = ZvString_FromStringAndSize(buffer, len);
        if (line == nullptr || ZvList_SetItem(chunk, i, line) < 0) return false;
    }
    return true;
}

ZvObject *file_writelines(ZvObject *self, ZvObject *seq)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    zv::Ref it;
    if (!ZvList_Check(seq)) {
        it.reset(ZvObject_GetIter(seq));
        if (!it) {
            ZvErr_SetString(ZvExc_TypeError, "writelines() requires an iterable argument");
            return nullptr;
        }
    }
    for (int index = 0;; index += kWriteChunk) {
        zv::Ref chunk;
        int j = next_write_chunk(seq, it.get(), index, chunk);
        if (j < 0 || !strings_of_chunk(chunk.get())) return nullptr;
        if (j == 0) break;
        /* The iteration ran user code, which may have closed the file. */
        if (f->f_fp == nullptr) return err_closed();
        f->f_softspace = 0;
        bool failed = false;
        {
            Unlocked u(f);
            errno = 0;
            for (int i = 0; i < j && !failed; i++) {
                ZvObject *line = ZvList_GET_ITEM(chunk.get(), i);
                size_t len = (size_t)ZvString_GET_SIZE(line);
                failed = fwrite(ZvString_AS_STRING(line), 1, len, f->f_fp) != len;
            }
        }
        if (failed) return err_stream(f->f_fp);
        if (j < kWriteChunk) break;
    }
    Zv_RETURN_NONE;
}

ZvObject *file_seek(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    ZvObject *offobj;
    int whence = 0;
    off_t offset;
    if (f->f_fp == nullptr) return err_closed();
    drop_readahead(f);
    if (!ZvArg_ParseTuple(args, "O|i:seek", &offobj, &whence)) return nullptr;
    if (!offset_of(offobj, &offset)) return nullptr;
    /* Converting the offset may have run user code that closed the file. */
    if (f->f_fp == nullptr) return err_closed();
    int ret;
    {
        Unlocked u(f);
        errno = 0;
        ret = fseeko(f->f_fp, offset, whence);
    }
    if (ret != 0) return err_stream(f->f_fp);
    f->f_skipnextlf = 0;
    Zv_RETURN_NONE;
}

ZvObject *file_tell(ZvObject *self, ZvObject *)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    off_t pos;
    {
        Unlocked u(f);
        errno = 0;
        pos = ftello(f->f_fp);
    }
    if (pos == -1) return err_stream(f->f_fp);
    /* A "\r" just read in universal mode: its "\n", if it comes next,
     * belongs to the same line end and is stepped over. */
    if (f->f_skipnextlf) {
        int c = getc(f->f_fp);
        if (c == '\n') {
            f->f_newlinetypes |= ZvFile_NEWLINE_CRLF;
            pos++;
            f->f_skipnextlf = 0;
        } else if (c != EOF) {
            ungetc(c, f->f_fp);
        } else {
            clearerr(f->f_fp);
        }
    }
    return position_object(pos);
}

ZvObject *file_truncate(ZvObject *self, ZvObject *args)
{
    ZvFileObject *f = as_file(self);
    ZvObject *sizeobj = nullptr;
    if (f->f_fp == nullptr) return err_closed();
    if (!ZvArg_ParseTuple(args, "|O:truncate", &sizeobj)) return nullptr;
    off_t newsize = 0;
    if (sizeobj != nullptr && !offset_of(sizeobj, &newsize)) return nullptr;
    if (f->f_fp == nullptr) return err_closed();
    /* Flush first (buffered writes would land past the new end), cut the
     * descriptor, and go back to where the stream was. */
    bool ok;
    {
        Unlocked u(f);
        errno = 0;
        off_t initial = ftello(f->f_fp);
        if (sizeobj == nullptr) newsize = initial;
        ok = initial != -1 && fflush(f->f_fp) == 0 && ftruncate(fileno(f->f_fp), newsize) == 0 &&
             fseeko(f->f_fp, initial, SEEK_SET) == 0;
    }
    if (!ok) return err_stream(f->f_fp);
    Zv_RETURN_NONE;
}

ZvObject *file_flush(ZvObject *self, ZvObject *)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    int ret;
    {
        Unlocked u(f);
        errno = 0;
        ret = fflush(f->f_fp);
    }
    if (ret != 0) return err_stream(f->f_fp);
    Zv_RETURN_NONE;
}

ZvObject *file_fileno(ZvObject *self, ZvObject *)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    return ZvInt_FromLong(fileno(f->f_fp));
}

ZvObject *file_isatty(ZvObject *self, ZvObject *)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    int res;
    {
        Unlocked u(f);
        res = isatty(fileno(f->f_fp));
    }
    return ZvBool_FromLong(res);
}

ZvObject *file_close(ZvObject *self, ZvObject *)
{
    ZvFileObject *f = as_file(self);
    if (f->f_busy > 0) {
        ZvErr_SetString(ZvExc_IOError,
                        "close() called during concurrent operation on the same file object.");
        return nullptr;
    }
    int status = close_stream(f);
    if (status == EOF) return err_stream(nullptr);
    if (status != 0) return ZvInt_FromLong(status);
    Zv_RETURN_NONE;
}

ZvObject *file_self(ZvObject *self)
{
    if (as_file(self)->f_fp == nullptr) return err_closed();
    Zv_INCREF(self);
    return self;
}

ZvObject *file_xreadlines(ZvObject *self, ZvObject *) { return file_self(self); }

ZvObject *file_iternext(ZvObject *self)
{
    ZvFileObject *f = as_file(self);
    if (f->f_fp == nullptr) return err_closed();
    ZvObject *line = readahead_get_line_skip(f, 0, kReadAhead);
    if (line == nullptr || ZvString_GET_SIZE(line) == 0) {
        Zv_XDECREF(line);
        return nullptr;
    }
    return line;
}

ZvObject *get_closed(ZvObject *self, void *)
{
    return ZvBool_FromLong(as_file(self)->f_fp == nullptr);
}

ZvObject *get_newlines(ZvObject *self, void *)
{
    static const char *const kinds[] = {"\r", "\n", "\r\n"};
    int types = as_file(self)->f_newlinetypes;
    int count = 0;
    for (int bit = 0; bit < 3; bit++) count += (types >> bit) & 1;
    if (count == 0) Zv_RETURN_NONE;
    if (count == 1) {
        for (int bit = 0; bit < 3; bit++)
            if (types & (1 << bit)) return ZvString_FromString(kinds[bit]);
    }
    zv::Ref tuple(ZvTuple_New(count));
    if (!tuple) return nullptr;
    for (int bit = 0, i = 0; bit < 3; bit++) {
        if (!(types & (1 << bit))) continue;
        ZvObject *s = ZvString_FromString(kinds[bit]);
        if (s == nullptr) return nullptr;
        ZvTuple_SET_ITEM(tuple.get(), i++, s);
    }
    return tuple.release();
}

/* The text of a name or mode field for the representation. */
zv::Ref field_text(ZvObject *o)
{
    if (ZvString_Check(o)) return zv::Ref::borrow(o);
    return zv::Ref(ZvObject_Str(o));
}

ZvObject *file_repr(ZvObject *self)
{
    ZvFileObject *f = as_file(self);
    zv::Ref name = field_text(f->f_name);
    if (!name) return nullptr;
    zv::Ref mode = field_text(f->f_mode);
    if (!mode) return nullptr;
    return ZvString_FromFormat("<%s file '%s', mode '%s' at %p>",
                               f->f_fp == nullptr ? "closed" : "open",
                               ZvString_AS_STRING(name.get()), ZvString_AS_STRING(mode.get()),
                               (void *)f);
}

void file_dealloc(ZvObject *self)
{
    ZvFileObject *f = as_file(self);
    /* No weak reference can exist until weak reference objects do;
     * weakreflist stays NULL. */
    if (f->f_fp != nullptr && f->f_close != nullptr) {
        int status = close_stream(f);
        if (status == EOF) {
            int err = errno;
            ZvSys_WriteStderr("close failed: [Errno %d] %s\n", err, strerror(err));
        }
    }
    release_setbuf(f);
    drop_readahead(f);
    Zv_XDECREF(f->f_name);
    Zv_XDECREF(f->f_mode);
    Zv_XDECREF(f->f_encoding);
    Zv_TYPE(self)->tp_free(self);
}

ZvObject *file_new(ZvTypeObject *type, ZvObject *, ZvObject *)
{
    ZvObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ZvFileObject *f = as_file(self);
    /* Every object field holds something, so that a file made without
     * __init__ still prints, closes and dies cleanly. */
    Zv_INCREF(Zv_None);
    f->f_name = Zv_None;
    Zv_INCREF(Zv_None);
    f->f_mode = Zv_None;
    Zv_INCREF(Zv_None);
    f->f_encoding = Zv_None;
    return self;
}

int file_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    static char *kwlist[] = {(char *)"name", (char *)"mode", (char *)"buffering", nullptr};
    ZvFileObject *f = as_file(self);
    if (f->f_fp != nullptr) {
        zv::Ref closed(file_close(self, nullptr));
        if (!closed) return -1;
    }
    char *name = nullptr;
    const char *mode = "r";
    int bufsize = -1;
    /* First the name as bytes to open, then as the object to keep. */
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "et|si:file", kwlist,
                                     Zv_FileSystemDefaultEncoding, &name, &mode, &bufsize))
        return -1;
    ZvObject *name_obj;
    int ret = -1;
    /* Converting the arguments may have run user code that opened this
     * same object again: its stream is closed before it is replaced. */
    if (ZvArg_ParseTupleAndKeywords(args, kwds, "O|si:file", kwlist, &name_obj, &mode,
                                    &bufsize) &&
        (f->f_fp == nullptr || zv::Ref(file_close(self, nullptr))) &&
        fill_file_fields(f, nullptr, name_obj, mode, fclose) && open_the_file(f, name, mode)) {
        ZvFile_SetBufSize(self, bufsize);
        ret = 0;
    }
    ZvMem_Free(name);
    return ret;
}

ZvMethodDef file_methods[] = {
    {"readline", file_readline, METH_VARARGS,
     "readline([size]) -> next line from the file, as a string.\n\n"
     "Retain newline.  A non-negative size argument limits the maximum\n"
     "number of bytes to return (an incomplete line may be returned then).\n"
     "Return an empty string at EOF."},
    {"read", file_read, METH_VARARGS,
     "read([size]) -> read at most size bytes, returned as a string.\n\n"
     "If the size argument is negative or omitted, read until EOF is reached."},
    {"write", file_write, METH_VARARGS,
     "write(str) -> None.  Write string str to file.\n\n"
     "Note that due to buffering, flush() or close() may be needed before\n"
     "the file on disk reflects the data written."},
    {"fileno", file_fileno, METH_NOARGS, "fileno() -> integer \"file descriptor\"."},
    {"seek", file_seek, METH_VARARGS,
     "seek(offset[, whence]) -> None.  Move to new file position.\n\n"
     "Argument offset is a byte count.  Optional argument whence defaults to\n"
     "0 (offset from start of file); other values are 1 (move relative to\n"
     "current position) and 2 (move relative to end of file)."},
    {"truncate", file_truncate, METH_VARARGS,
     "truncate([size]) -> None.  Truncate the file to at most size bytes.\n\n"
     "Size defaults to the current file position, as returned by tell()."},
    {"tell", file_tell, METH_NOARGS, "tell() -> current file position, an integer."},
    {"readinto", file_readinto, METH_VARARGS,
     "readinto(buffer) -> number of bytes read into the writable buffer."},
    {"readlines", file_readlines, METH_VARARGS,
     "readlines([size]) -> list of strings, each a line from the file.\n\n"
     "Call readline() repeatedly and return a list of the lines read.\n"
     "The optional size argument, if given, is an approximate bound on the\n"
     "total number of bytes in the lines returned."},
    {"xreadlines", file_xreadlines, METH_NOARGS, "xreadlines() -> returns self."},
    {"writelines", file_writelines, METH_O,
     "writelines(sequence_of_strings) -> None.  Write the strings to the file."},
    {"flush", file_flush, METH_NOARGS, "flush() -> None.  Flush the internal I/O buffer."},
    {"close", file_close, METH_NOARGS,
     "close() -> None or (perhaps) an integer.  Close the file.\n\n"
     "Sets data attribute .closed to True.  A closed file cannot be used for\n"
     "further I/O operations.  close() may be called more than once without\n"
     "error.  Some kinds of file objects (for example, opened by popen())\n"
     "may return an exit status upon closing."},
    {"isatty", file_isatty, METH_NOARGS, "isatty() -> true or false.  True if the file is a tty."},
    {nullptr, nullptr, 0, nullptr},
};

ZvMemberDef file_members[] = {
    {(char *)"softspace", T_INT, offsetof(ZvFileObject, f_softspace), 0,
     (char *)"flag indicating that a space needs to be printed; used by print"},
    {(char *)"mode", T_OBJECT, offsetof(ZvFileObject, f_mode), READONLY,
     (char *)"file mode ('r', 'U', 'w', 'a', possibly with 'b' or '+' added)"},
    {(char *)"name", T_OBJECT, offsetof(ZvFileObject, f_name), READONLY, (char *)"file name"},
    {(char *)"encoding", T_OBJECT, offsetof(ZvFileObject, f_encoding), READONLY,
     (char *)"file encoding"},
    {nullptr, 0, 0, 0, nullptr},
};

ZvGetSetDef file_getset[] = {
    {(char *)"closed", get_closed, nullptr, (char *)"True if the file is closed", nullptr},
    {(char *)"newlines", get_newlines, nullptr, (char *)"end-of-line convention used in this file",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char file_doc[] =
    "file(name[, mode[, buffering]]) -> file object\n\n"
    "Open a file.  The mode can be 'r', 'w' or 'a' for reading (default),\n"
    "writing or appending.  The file will be created if it doesn't exist\n"
    "when opened for writing or appending; it will be truncated when\n"
    "opened for writing.  Add a 'b' to the mode for binary files.\n"
    "Add a '+' to the mode to allow simultaneous reading and writing.\n"
    "If the buffering argument is given, 0 means unbuffered, 1 means line\n"
    "buffered, and larger numbers specify the buffer size.\n"
    "Add a 'U' to mode to open the file for input with universal newline\n"
    "support.  Any line ending in the input file will be seen as a '\\n'\n"
    "in Zuvo.  Also, a file so opened gains the attribute 'newlines';\n"
    "the value for this attribute is one of None (no newline read yet),\n"
    "'\\r', '\\n', '\\r\\n' or a tuple containing all the newline types seen.\n\n"
    "'U' cannot be combined with 'w' or '+' mode.\n\n"
    "Note:  open() is an alias for file().";

/* A line without its newline, for n < 0; an empty one is end of input. */
ZvObject *strip_line(ZvObject *line)
{
    zv::Ref owned(line);
    int len = ZvString_GET_SIZE(line);
    if (len == 0) {
        ZvErr_SetString(ZvExc_EOFError, "EOF when reading a line");
        return nullptr;
    }
    if (ZvString_AS_STRING(line)[len - 1] != '\n') return owned.release();
    return ZvString_FromStringAndSize(ZvString_AS_STRING(line), len - 1);
}

/* Readies the file type on first use, so that files can be made before
 * start-up has readied the type. */
bool ready_file_type()
{
    if (ZvFile_Type.tp_flags & Zv_TPFLAGS_READY) return true;
    return ZvType_Ready(&ZvFile_Type) == 0;
}

} // namespace

extern "C" {

ZvTypeObject ZvFile_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "file", sizeof(ZvFileObject), 0,
    file_dealloc, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr,
    file_repr,    /* tp_repr */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, /* tp_getattro */
    ZvObject_GenericSetAttr, /* tp_setattro */
    nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE,
    file_doc,
    nullptr, nullptr, nullptr,
    offsetof(ZvFileObject, weakreflist), /* tp_weaklistoffset */
    file_self,     /* tp_iter */
    file_iternext, /* tp_iternext */
    file_methods,
    file_members,
    file_getset,
    nullptr, nullptr, nullptr, nullptr, 0,
    file_init,           /* tp_init */
    ZvType_GenericAlloc, /* tp_alloc */
    file_new,            /* tp_new */
    ZvObject_Free,       /* tp_free */
};

/* --- the C interface ---------------------------------------------------------- */

ZvObject *ZvFile_FromFile(FILE *fp, char *name, char *mode, int (*close)(FILE *))
{
    if (name == nullptr || mode == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (!ready_file_type()) return nullptr;
    zv::Ref f(file_new(&ZvFile_Type, nullptr, nullptr));
    if (!f) return nullptr;
    zv::Ref name_obj(ZvString_FromString(name));
    if (!name_obj) return nullptr;
    if (!fill_file_fields(as_file(f.get()), fp, name_obj.get(), mode, close)) {
        /* A refused stream was closed there; a stream whose fields could
         * not be set is the caller's again. */
        as_file(f.get())->f_fp = nullptr;
        return nullptr;
    }
    return f.release();
}

ZvObject *ZvFile_FromString(char *name, char *mode)
{
    zv::Ref f(ZvFile_FromFile(nullptr, name, mode, fclose));
    if (!f || !open_the_file(as_file(f.get()), name, mode)) return nullptr;
    return f.release();
}

FILE *ZvFile_AsFile(ZvObject *f)
{
    if (f == nullptr || !ZvFile_Check(f)) return nullptr;
    return as_file(f)->f_fp;
}

ZvObject *ZvFile_Name(ZvObject *f)
{
    if (f == nullptr || !ZvFile_Check(f)) return nullptr;
    return as_file(f)->f_name;
}

void ZvFile_SetBufSize(ZvObject *obj, int bufsize)
{
    if (obj == nullptr || !ZvFile_Check(obj) || bufsize < 0) return;
    ZvFileObject *f = as_file(obj);
    if (f->f_fp == nullptr) return;
    int type = bufsize == 0 ? _IONBF : bufsize == 1 ? _IOLBF : _IOFBF;
    size_t size = bufsize == 1 ? kLineBufSize : (size_t)bufsize;
    /* Every buffered mode gets a buffer of ours: stdio, given none, would
     * keep using the one it has, which may be the one freed below. */
    char *buf = nullptr;
    if (type != _IONBF) {
        buf = (char *)ZvMem_Malloc(size);
        if (buf == nullptr) return; /* the stream keeps its buffering */
    }
    if (setvbuf(f->f_fp, buf, type, buf == nullptr ? 0 : size) != 0) {
        ZvMem_Free(buf);
        return;
    }
    ZvMem_Free(f->f_setbuf);
    f->f_setbuf = buf;
}

int ZvFile_SetEncoding(ZvObject *f, const char *enc)
{
    if (f == nullptr || !ZvFile_Check(f) || enc == nullptr) {
        ZvErr_BadInternalCall();
        return 0;
    }
    ZvObject *str = ZvString_FromString(enc);
    if (str == nullptr) return 0;
    replace(as_file(f)->f_encoding, str);
    return 1;
}

ZvObject *ZvFile_GetLine(ZvObject *f, int n)
{
    if (f == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *result;
    if (ZvFile_Check(f)) {
        if (as_file(f)->f_fp == nullptr) return err_closed();
        zv::Ref hold = zv::Ref::borrow(f);
        result = get_line(as_file(f), n <= 0 ? 0 : n);
    } else {
        zv::Ref reader(ZvObject_GetAttrString(f, "readline"));
        if (!reader) return nullptr;
        zv::Ref args(n <= 0 ? ZvTuple_New(0) : Zv_BuildValue("(i)", n));
        if (!args) return nullptr;
        result = ZvEval_CallObject(reader.get(), args.get());
        if (result != nullptr && !ZvString_Check(result)) {
            Zv_DECREF(result);
            ZvErr_SetString(ZvExc_TypeError, "object.readline() returned non-string");
            return nullptr;
        }
    }
    if (result == nullptr || n >= 0) return result;
    return strip_line(result);
}

int ZvObject_AsFileDescriptor(ZvObject *o)
{
    int32_t fd;
    if (ZvInt_Check(o)) {
        fd = ZvInt_AsLong(o);
    } else if (ZvLong_Check(o)) {
        fd = ZvLong_AsLong(o);
    } else {
        zv::Ref meth(ZvObject_GetAttrString(o, "fileno"));
        if (!meth) {
            ZvErr_SetString(ZvExc_TypeError, "argument must be an int, or have a fileno() method.");
            return -1;
        }
        zv::Ref fno(ZvEval_CallObject(meth.get(), nullptr));
        if (!fno) return -1;
        if (ZvInt_Check(fno.get())) {
            fd = ZvInt_AsLong(fno.get());
        } else if (ZvLong_Check(fno.get())) {
            fd = ZvLong_AsLong(fno.get());
        } else {
            ZvErr_SetString(ZvExc_TypeError, "fileno() returned a non-integer");
            return -1;
        }
    }
    if (fd == -1 && ZvErr_Occurred()) return -1;
    if (fd < 0) {
        ZvErr_Format(ZvExc_ValueError, "file descriptor cannot be a negative integer (%i)", fd);
        return -1;
    }
    return fd;
}

char *Zv_UniversalNewlineFgets(char *buf, int n, FILE *stream, ZvObject *fobj)
{
    if (buf == nullptr || n < 2 || stream == nullptr) return nullptr;
    int skipnextlf = 0, newlinetypes = 0;
    if (fobj != nullptr) {
        if (!ZvFile_Check(fobj)) {
            errno = ENXIO;
            return nullptr;
        }
        ZvFileObject *f = as_file(fobj);
        if (!f->f_univ_newline) return fgets(buf, n, stream);
        skipnextlf = f->f_skipnextlf;
        newlinetypes = f->f_newlinetypes;
    }
    char *p = buf;
    fill_line(stream, &p, buf + n - 1, true, &skipnextlf, &newlinetypes);
    *p = '\0';
    if (fobj != nullptr) {
        as_file(fobj)->f_skipnextlf = skipnextlf;
        as_file(fobj)->f_newlinetypes = newlinetypes;
    } else if (skipnextlf) {
        /* Without a file object the "\r" state cannot be kept: look at the
         * next byte now and drop it if it completes a "\r\n". */
        int c = getc(stream);
        if (c != '\n' && c != EOF) ungetc(c, stream);
    }
    return p == buf ? nullptr : buf;
}

size_t Zv_UniversalNewlineFread(char *buf, size_t n, FILE *stream, ZvObject *fobj)
{
    if (fobj == nullptr || !ZvFile_Check(fobj)) {
        errno = ENXIO;
        return 0;
    }
    ZvFileObject *f = as_file(fobj);
    if (!f->f_univ_newline) return fread(buf, 1, n, stream);
    char *dst = buf, *end = buf + n;
    /* Dropped "\n"s leave room at the end: read again to fill it, until a
     * short read says the stream has no more for now. */
    while (dst != end) {
        size_t want = (size_t)(end - dst);
        size_t got = fread(dst, 1, want, stream);
        if (got == 0) break;
        dst = translate_newlines(dst, dst, got, &f->f_skipnextlf, &f->f_newlinetypes);
        if (got < want) break;
    }
    if (f->f_skipnextlf && feof(stream)) {
        /* A final "\r" with nothing after it stood alone. */
        f->f_newlinetypes |= ZvFile_NEWLINE_CR;
    }
    return (size_t)(dst - buf);
}

/* --- the writing functions ---------------------------------------------------- */

int ZvFile_WriteObject(ZvObject *v, ZvObject *f, int flags)
{
    if (f == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "writeobject with NULL file");
        return -1;
    }
    if (ZvFile_Check(f)) {
        ZvFileObject *file = as_file(f);
        if (file->f_fp == nullptr) {
            err_closed();
            return -1;
        }
        /* Printing may run user code (an item's __repr__) in the middle
         * of writing to the stream: the file stays alive and open. */
        zv::Ref hold = zv::Ref::borrow(f);
        Busy busy(file);
        return ZvObject_Print(v, file->f_fp, flags);
    }
    zv::Ref writer(ZvObject_GetAttrString(f, "write"));
    if (!writer) return -1;
    zv::Ref value((flags & Zv_PRINT_RAW) ? ZvObject_Str(v) : ZvObject_Repr(v));
    if (!value) return -1;
    zv::Ref args(ZvTuple_Pack(1, value.get()));
    if (!args) return -1;
    zv::Ref result(ZvEval_CallObject(writer.get(), args.get()));
    return result ? 0 : -1;
}

int ZvFile_WriteString(const char *s, ZvObject *f)
{
    if (ZvErr_Occurred()) return -1;
    if (f == nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "null file for ZvFile_WriteString");
        return -1;
    }
    if (ZvFile_Check(f)) {
        FILE *fp = as_file(f)->f_fp;
        if (fp == nullptr) {
            err_closed();
            return -1;
        }
        /* A failed write is an error, not silence: a full disk or a closed
         * pipe must not look like success. */
        errno = 0;
        if (fputs(s, fp) == EOF) {
            err_stream(fp);
            return -1;
        }
        return 0;
    }
    zv::Ref text(ZvString_FromString(s));
    if (!text) return -1;
    return ZvFile_WriteObject(text.get(), f, Zv_PRINT_RAW);
}

int ZvFile_SoftSpace(ZvObject *f, int newflag)
{
    if (f == nullptr) return 0;
    if (ZvFile_Check(f)) {
        int oldflag = as_file(f)->f_softspace;
        as_file(f)->f_softspace = newflag;
        return oldflag;
    }
    int oldflag = 0;
    ZvObject *v = ZvObject_GetAttrString(f, "softspace");
    if (v == nullptr) {
        ZvErr_Clear();
    } else {
        if (ZvInt_Check(v)) oldflag = ZvInt_AsLong(v);
        Zv_DECREF(v);
    }
    zv::Ref flag(ZvInt_FromLong(newflag));
    if (!flag || ZvObject_SetAttrString(f, "softspace", flag.get()) < 0) ZvErr_Clear();
    return oldflag;
}

} // extern "C"
