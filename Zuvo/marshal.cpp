/* The marshal format: the interpreter's own serialization of constants and
 * code objects, and the `marshal` module.
 *
 * A stream is a sequence of records, each a type byte and a payload; every
 * integer in a payload is little-endian whatever the host, and is written
 * and read byte by byte.  Version 1 writers remember interned strings in a
 * dictionary (string -> index) and write a repeated one as a reference to
 * its first occurrence; readers keep the interned strings read so far in a
 * list to resolve those references.
 *
 * Reading trusts nothing: every payload is checked against the input that
 * is left before anything is allocated for it (from memory exactly; from a
 * file by growing buffers only as data actually arrives), nesting is
 * bounded as on writing, counts and indices are range-checked, and a code
 * object is built only from fields of the right kinds (ZvCode_New then
 * checks the counts and the verifier the bytecode).  Bad data raises
 * EOFError or ValueError and releases everything built so far. */
#include "zuvo.h"
#include "zvref.h"

#include <string.h>
#include <sys/stat.h>
#include <vector>

namespace {

/* Bounds the native recursion of both directions. */
constexpr int MAX_MARSHAL_STACK_DEPTH = 5000;

/* From files, items and bytes are read into containers that grow as data
 * arrives; this much is reserved up front whatever the record announces. */
constexpr int FILE_CHUNK = 1 << 16;

enum : char {
    TYPE_NULL = '0',
    TYPE_NONE = 'N',
    TYPE_FALSE = 'F',
    TYPE_TRUE = 'T',
    TYPE_STOPITER = 'S',
    TYPE_ELLIPSIS = '.',
    TYPE_INT = 'i',
    TYPE_INT64 = 'I',
    TYPE_FLOAT = 'f',
    TYPE_COMPLEX = 'x',
    TYPE_LONG = 'l',
    TYPE_STRING = 's',
    TYPE_INTERNED = 't',
    TYPE_STRINGREF = 'R',
    TYPE_TUPLE = '(',
    TYPE_LIST = '[',
    TYPE_DICT = '{',
    TYPE_CODE = 'c',
    TYPE_UNICODE = 'u',
    TYPE_UNKNOWN = '?',
};

/* --- writing ----------------------------------------------------------------
 * WFile writes either to a stdio stream or into a string object that grows
 * as needed.  Once an error is recorded nothing more is written. */

enum WError { WFERR_OK = 0, WFERR_UNMARSHALLABLE = 1, WFERR_NESTEDTOODEEP = 2, WFERR_PENDING = 3 };

struct WFile {
    FILE *fp = nullptr;
    int error = WFERR_OK;
    int depth = 0;
    ZvObject *str = nullptr; /* output string when writing to memory */
    char *ptr = nullptr;     /* write position in str */
    char *end = nullptr;
    ZvObject *strings = nullptr; /* interned string -> index, version >= 1 only */
};

/* Grows the output string (by half its size, at least 1024 bytes, so that
 * large outputs are not copied over and over) and stores c.  When growing
 * fails the string is gone and nothing more is stored. */
void w_more(int c, WFile *p)
{
    if (p->str == nullptr) return;
    int size = ZvString_GET_SIZE(p->str);
    int64_t want = (int64_t)size + (size / 2 > 1024 ? size / 2 : 1024);
    int newsize = want > INT32_MAX - 64 ? INT32_MAX - 64 : (int)want;
    if (newsize > size && _ZvString_Resize(&p->str, newsize) == 0) {
        p->ptr = ZvString_AS_STRING(p->str) + size;
        p->end = ZvString_AS_STRING(p->str) + newsize;
        *p->ptr++ = (char)c;
        return;
    }
    if (p->str != nullptr) { /* at the size limit: the resize was not tried */
        ZvErr_NoMemory();
        Zv_CLEAR(p->str);
    }
    p->ptr = p->end = nullptr;
    p->error = WFERR_PENDING;
}

void w_byte(int c, WFile *p)
{
    if (p->fp != nullptr)
        putc(c, p->fp);
    else if (p->ptr != p->end)
        *p->ptr++ = (char)c;
    else
        w_more(c, p);
}

void w_string(const char *s, int n, WFile *p)
{
    if (p->fp != nullptr) {
        fwrite(s, 1, (size_t)n, p->fp);
        return;
    }
    while (n > 0 && p->str != nullptr) {
        if (p->ptr == p->end) {
            w_more(*s++, p);
            n--;
            continue;
        }
        int room = (int)(p->end - p->ptr);
        int chunk = n < room ? n : room;
        memcpy(p->ptr, s, (size_t)chunk);
        p->ptr += chunk;
        s += chunk;
        n -= chunk;
    }
}

void w_short(int x, WFile *p)
{
    w_byte(x & 0xff, p);
    w_byte((x >> 8) & 0xff, p);
}

void w_long(int32_t x, WFile *p)
{
    auto u = (uint32_t)x;
    w_byte((int)(u & 0xff), p);
    w_byte((int)((u >> 8) & 0xff), p);
    w_byte((int)((u >> 16) & 0xff), p);
    w_byte((int)((u >> 24) & 0xff), p);
}

/* A float as its repr text (17 significant digits), preceded by the text's
 * length, so it reads back as exactly the same double. */
void w_float(double x, WFile *p)
{
    char buf[100];
    _ZvFloat_DoubleAsString(buf, x, 17);
    int n = (int)strlen(buf);
    w_byte(n, p);
    w_string(buf, n, p);
}

void w_object(ZvObject *v, WFile *p);

void w_str(ZvObject *v, WFile *p)
{
    if (p->strings != nullptr && ZvString_CheckExact(v) && ZvString_CHECK_INTERNED(v)) {
        ZvObject *o = ZvDict_GetItem(p->strings, v);
        if (o != nullptr) {
            w_byte(TYPE_STRINGREF, p);
            w_long(ZvInt_AS_LONG(o), p);
            return;
        }
        /* A string missing from the table would shift every later index
         * the reader computes, so failing to record it fails the write. */
        zv::Ref index(ZvInt_FromLong(ZvDict_Size(p->strings)));
        if (!index || ZvDict_SetItem(p->strings, v, index.get()) < 0) {
            p->error = WFERR_PENDING;
            return;
        }
        w_byte(TYPE_INTERNED, p);
    } else {
        w_byte(TYPE_STRING, p);
    }
    w_long(ZvString_GET_SIZE(v), p);
    w_string(ZvString_AS_STRING(v), ZvString_GET_SIZE(v), p);
}

void w_items(ZvObject *const *items, int n, WFile *p)
{
    w_long(n, p);
    for (int i = 0; i < n && p->error == WFERR_OK; i++) w_object(items[i], p);
}

void w_code(ZvCodeObject *co, WFile *p)
{
    w_byte(TYPE_CODE, p);
    w_long(co->co_argcount, p);
    w_long(co->co_nlocals, p);
    w_long(co->co_stacksize, p);
    w_long(co->co_flags, p);
    ZvObject *const fields[] = {co->co_code,     co->co_consts,   co->co_names,
                                co->co_varnames, co->co_freevars, co->co_cellvars,
                                co->co_filename, co->co_name};
    for (ZvObject *field : fields) w_object(field, p);
    w_long(co->co_firstlineno, p);
    w_object(co->co_lnotab, p);
}

/* Objects of any other type offering a single-segment read buffer. */
bool w_buffer(ZvObject *v, WFile *p)
{
    if (Zv_TYPE(v)->tp_as_buffer == nullptr || !ZvObject_CheckReadBuffer(v)) return false;
    const void *buf;
    int n;
    if (ZvObject_AsReadBuffer(v, &buf, &n) < 0) {
        ZvErr_Clear();
        return false;
    }
    w_byte(TYPE_STRING, p);
    w_long(n, p);
    w_string((const char *)buf, n, p);
    return true;
}

void w_value(ZvObject *v, WFile *p)
{
    if (v == nullptr) {
        w_byte(TYPE_NULL, p);
    } else if (v == Zv_None) {
        w_byte(TYPE_NONE, p);
    } else if (v == ZvExc_StopIteration) {
        w_byte(TYPE_STOPITER, p);
    } else if (v == Zv_Ellipsis) {
        w_byte(TYPE_ELLIPSIS, p);
    } else if (v == Zv_False) {
        w_byte(TYPE_FALSE, p);
    } else if (v == Zv_True) {
        w_byte(TYPE_TRUE, p);
    } else if (ZvInt_Check(v)) {
        /* Ints are 32 bits wide, so the 64-bit 'I' form is never needed
         * on writing. */
        w_byte(TYPE_INT, p);
        w_long(ZvInt_AS_LONG(v), p);
    } else if (ZvLong_Check(v)) {
        auto *ob = (ZvLongObject *)v;
        int n = ob->ob_size < 0 ? -ob->ob_size : ob->ob_size;
        w_byte(TYPE_LONG, p);
        w_long(ob->ob_size, p);
        for (int i = 0; i < n; i++) w_short(ob->ob_digit[i], p);
    } else if (ZvFloat_Check(v)) {
        w_byte(TYPE_FLOAT, p);
        w_float(ZvFloat_AS_DOUBLE(v), p);
    } else if (ZvComplex_Check(v)) {
        w_byte(TYPE_COMPLEX, p);
        w_float(((ZvComplexObject *)v)->cval.real, p);
        w_float(((ZvComplexObject *)v)->cval.imag, p);
    } else if (ZvString_Check(v)) {
        w_str(v, p);
    } else if (ZvTuple_Check(v)) {
        w_byte(TYPE_TUPLE, p);
        w_items(&ZvTuple_GET_ITEM(v, 0), ZvTuple_GET_SIZE(v), p);
    } else if (ZvList_Check(v)) {
        w_byte(TYPE_LIST, p);
        w_items(((ZvListObject *)v)->ob_item, ZvList_GET_SIZE(v), p);
    } else if (ZvDict_Check(v)) {
        w_byte(TYPE_DICT, p);
        int pos = 0;
        ZvObject *key, *value;
        while (p->error == WFERR_OK && ZvDict_Next(v, &pos, &key, &value)) {
            w_object(key, p);
            w_object(value, p);
        }
        w_object(nullptr, p);
    } else if (ZvCode_Check(v)) {
        w_code((ZvCodeObject *)v, p);
    } else if (!w_buffer(v, p)) {
        w_byte(TYPE_UNKNOWN, p);
        p->error = WFERR_UNMARSHALLABLE;
    }
}

void w_object(ZvObject *v, WFile *p)
{
    if (p->error != WFERR_OK) return;
    if (++p->depth > MAX_MARSHAL_STACK_DEPTH)
        p->error = WFERR_NESTEDTOODEEP;
    else
        w_value(v, p);
    p->depth--;
}

/* Turns a recorded writing error into the exception it stands for. */
void set_write_error(int error)
{
    if (error == WFERR_UNMARSHALLABLE)
        ZvErr_SetString(ZvExc_ValueError, "unmarshallable object");
    else if (error == WFERR_NESTEDTOODEEP)
        ZvErr_SetString(ZvExc_ValueError, "object too deeply nested to marshal");
    else if (!ZvErr_Occurred())
        ZvErr_NoMemory();
}

/* --- reading ----------------------------------------------------------------
 * RFile reads from a stdio stream or from the bytes [ptr, end). */

struct RFile {
    FILE *fp = nullptr;
    const unsigned char *ptr = nullptr;
    const unsigned char *end = nullptr;
    ZvObject *strings = nullptr; /* list of the interned strings read so far */
    int depth = 0;
};

constexpr int R_EOF = -1;

int r_byte(RFile *p)
{
    if (p->fp != nullptr) return getc(p->fp);
    return p->ptr < p->end ? *p->ptr++ : R_EOF;
}

/* Bytes left in memory input; files give no bound. */
int64_t r_remaining(RFile *p)
{
    return p->fp != nullptr ? INT64_MAX : (int64_t)(p->end - p->ptr);
}

/* Reads exactly n bytes; false at end of input. */
bool r_bytes(char *s, int n, RFile *p)
{
    if (p->fp != nullptr) return fread(s, 1, (size_t)n, p->fp) == (size_t)n;
    if (p->end - p->ptr < n) return false;
    memcpy(s, p->ptr, (size_t)n);
    p->ptr += n;
    return true;
}

ZvObject *eof_error()
{
    ZvErr_SetString(ZvExc_EOFError, "EOF read where object expected");
    return nullptr;
}

ZvObject *bad_data()
{
    ZvErr_SetString(ZvExc_ValueError, "bad marshal data");
    return nullptr;
}

bool r_long(RFile *p, int32_t *out)
{
    uint32_t x = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        int c = r_byte(p);
        if (c == R_EOF) return false;
        x |= (uint32_t)c << shift;
    }
    *out = (int32_t)x;
    return true;
}

/* A 16-bit quantity, sign-extended; R_EOF's value at end of input. */
int r_short(RFile *p)
{
    int lo = r_byte(p);
    if (lo == R_EOF) return R_EOF;
    int hi = r_byte(p);
    if (hi == R_EOF) return R_EOF;
    return (int16_t)(uint16_t)(lo | (hi << 8));
}

/* A length or count field: EOFError at end of input, ValueError when
 * negative, EOFError when memory input cannot hold `min_bytes` bytes per
 * unit announced. */
bool r_count(RFile *p, int min_bytes, int32_t *n)
{
    if (!r_long(p, n)) {
        eof_error();
        return false;
    }
    if (*n < 0) {
        bad_data();
        return false;
    }
    if ((int64_t)*n * min_bytes > r_remaining(p)) {
        eof_error();
        return false;
    }
    return true;
}

/* n bytes as a new string.  From a file the string grows with the data
 * read, so a corrupt length cannot make it allocate more than the file
 * holds (plus one chunk). */
ZvObject *r_string(RFile *p, int32_t n)
{
    int first = p->fp != nullptr && n > FILE_CHUNK ? FILE_CHUNK : n;
    ZvObject *s = ZvString_FromStringAndSize(nullptr, first);
    if (s == nullptr) return nullptr;
    int have = 0;
    while (true) {
        int size = ZvString_GET_SIZE(s);
        if (!r_bytes(ZvString_AS_STRING(s) + have, size - have, p)) {
            Zv_DECREF(s);
            return eof_error();
        }
        have = size;
        if (have == n) return s;
        int next = n - have > have ? have * 2 : n;
        if (_ZvString_Resize(&s, next) < 0) return nullptr;
    }
}

ZvObject *r_object(RFile *p);

/* An item of a container or a field of a code object: the null record is
 * refused there (it would leave a hole without an error). */
ZvObject *r_item(RFile *p)
{
    ZvObject *v = r_object(p);
    if (v == nullptr && !ZvErr_Occurred())
        ZvErr_SetString(ZvExc_TypeError, "NULL object in marshal data");
    return v;
}

ZvObject *r_sequence(RFile *p, bool tuple)
{
    int32_t n;
    if (!r_count(p, 1, &n)) return nullptr;
    if (p->fp != nullptr && n > FILE_CHUNK) {
        /* Collected in a list that grows as items arrive. */
        zv::Ref list(ZvList_New(0));
        if (!list) return nullptr;
        for (int32_t i = 0; i < n; i++) {
            zv::Ref item(r_item(p));
            if (!item || ZvList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return tuple ? ZvList_AsTuple(list.get()) : list.release();
    }
    zv::Ref seq(tuple ? ZvTuple_New(n) : ZvList_New(n));
    if (!seq) return nullptr;
    for (int32_t i = 0; i < n; i++) {
        ZvObject *item = r_item(p);
        if (item == nullptr) return nullptr;
        if (tuple)
            ZvTuple_SET_ITEM(seq.get(), i, item);
        else
            ZvList_SET_ITEM(seq.get(), i, item);
    }
    return seq.release();
}

/* Keys and values alternate until a null record in key position.  A null
 * value drops its key; any error ends the dictionary at once. */
ZvObject *r_dict(RFile *p)
{
    zv::Ref dict(ZvDict_New());
    if (!dict) return nullptr;
    while (true) {
        zv::Ref key(r_object(p));
        if (!key) break;
        zv::Ref value(r_object(p));
        if (!value) {
            if (ZvErr_Occurred()) return nullptr;
            continue;
        }
        if (ZvDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    if (ZvErr_Occurred()) return nullptr;
    return dict.release();
}

/* Digits are 15 bits wide; the top ones may be zero in foreign data and
 * are dropped so that the long is normalized like every other. */
ZvObject *r_long_object(RFile *p)
{
    int32_t size;
    if (!r_long(p, &size)) return eof_error();
    if (size == INT32_MIN) return bad_data();
    int32_t n = size < 0 ? -size : size;
    if ((int64_t)n * 2 > r_remaining(p)) return eof_error();
    std::vector<digit> digits;
    digits.reserve((size_t)(n < FILE_CHUNK ? n : FILE_CHUNK));
    for (int32_t i = 0; i < n; i++) {
        int d = r_short(p);
        if (d < 0) return bad_data();
        digits.push_back((digit)d);
    }
    while (!digits.empty() && digits.back() == 0) digits.pop_back();
    int ndigits = (int)digits.size();
    ZvLongObject *ob = _ZvLong_New(ndigits);
    if (ob == nullptr) return nullptr;
    if (ndigits != 0) memcpy(ob->ob_digit, digits.data(), (size_t)ndigits * sizeof(digit));
    ob->ob_size = size < 0 ? -ndigits : ndigits;
    return (ZvObject *)ob;
}

/* The 64-bit 'I' form, as a long (ints are 32 bits wide). */
ZvObject *r_int64(RFile *p)
{
    int32_t lo, hi;
    if (!r_long(p, &lo) || !r_long(p, &hi)) return eof_error();
    auto x = (int64_t)(((uint64_t)(uint32_t)hi << 32) | (uint32_t)lo);
    return ZvLong_FromLongLong(x);
}

/* A length byte and that many characters of float text, parsed without
 * regard to the locale; text that is not wholly a number is bad data. */
bool r_float_text(RFile *p, double *out)
{
    int n = r_byte(p);
    char buf[257];
    if (n == R_EOF || !r_bytes(buf, n, p)) {
        eof_error();
        return false;
    }
    buf[n] = '\0';
    char *end = nullptr;
    *out = ZvOS_ascii_strtod(buf, &end);
    if (n == 0 || end != buf + n) {
        ZvErr_Clear();
        bad_data();
        return false;
    }
    return true;
}

ZvObject *r_interned(RFile *p)
{
    int32_t n;
    if (!r_count(p, 1, &n)) return nullptr;
    ZvObject *s = r_string(p, n);
    if (s == nullptr) return nullptr;
    ZvString_InternInPlace(&s);
    if (ZvList_Append(p->strings, s) < 0) {
        Zv_DECREF(s);
        return nullptr;
    }
    return s;
}

ZvObject *r_stringref(RFile *p)
{
    int32_t index;
    if (!r_long(p, &index)) return eof_error();
    if (index < 0 || index >= ZvList_GET_SIZE(p->strings)) return bad_data();
    ZvObject *s = ZvList_GET_ITEM(p->strings, index);
    Zv_INCREF(s);
    return s;
}

bool is_name_tuple(ZvObject *t)
{
    if (!ZvTuple_Check(t)) return false;
    for (int i = 0; i < ZvTuple_GET_SIZE(t); i++)
        if (!ZvString_CheckExact(ZvTuple_GET_ITEM(t, i))) return false;
    return true;
}

ZvObject *r_code(RFile *p)
{
    if (ZvEval_GetRestricted()) {
        ZvErr_SetString(ZvExc_RuntimeError,
                        "cannot unmarshal code objects in restricted execution mode");
        return nullptr;
    }
    int32_t counts[4]; /* argcount, nlocals, stacksize, flags */
    for (int32_t &c : counts)
        if (!r_long(p, &c)) return eof_error();
    /* code, consts, names, varnames, freevars, cellvars, filename, name */
    zv::Ref f[8];
    for (zv::Ref &field : f) {
        field.reset(r_item(p));
        if (!field) return nullptr;
    }
    int32_t firstlineno;
    if (!r_long(p, &firstlineno)) return eof_error();
    zv::Ref lnotab(r_item(p));
    if (!lnotab) return nullptr;
    if (!ZvString_Check(f[0].get()) || !ZvTuple_Check(f[1].get()) || !is_name_tuple(f[2].get()) ||
        !is_name_tuple(f[3].get()) || !is_name_tuple(f[4].get()) || !is_name_tuple(f[5].get()) ||
        !ZvString_Check(f[6].get()) || !ZvString_Check(f[7].get()) ||
        !ZvString_Check(lnotab.get()))
        return bad_data();
    if (counts[0] < 0 || counts[1] < 0) return bad_data();
    return (ZvObject *)ZvCode_New(counts[0], counts[1], counts[2], counts[3], f[0].get(),
                                  f[1].get(), f[2].get(), f[3].get(), f[4].get(), f[5].get(),
                                  f[6].get(), f[7].get(), firstlineno, lnotab.get());
}

ZvObject *r_value(RFile *p, int type)
{
    int32_t n;
    switch (type) {
    case R_EOF:
        return eof_error();
    case TYPE_NULL:
        return nullptr;
    case TYPE_NONE:
        Zv_INCREF(Zv_None);
        return Zv_None;
    case TYPE_STOPITER:
        Zv_INCREF(ZvExc_StopIteration);
        return ZvExc_StopIteration;
    case TYPE_ELLIPSIS:
        Zv_INCREF(Zv_Ellipsis);
        return Zv_Ellipsis;
    case TYPE_FALSE:
        Zv_INCREF(Zv_False);
        return Zv_False;
    case TYPE_TRUE:
        Zv_INCREF(Zv_True);
        return Zv_True;
    case TYPE_INT:
        if (!r_long(p, &n)) return eof_error();
        return ZvInt_FromLong(n);
    case TYPE_INT64:
        return r_int64(p);
    case TYPE_LONG:
        return r_long_object(p);
    case TYPE_FLOAT: {
        double x;
        if (!r_float_text(p, &x)) return nullptr;
        return ZvFloat_FromDouble(x);
    }
    case TYPE_COMPLEX: {
        double re, im;
        if (!r_float_text(p, &re) || !r_float_text(p, &im)) return nullptr;
        return ZvComplex_FromDoubles(re, im);
    }
    case TYPE_STRING:
        if (!r_count(p, 1, &n)) return nullptr;
        return r_string(p, n);
    case TYPE_INTERNED:
        return r_interned(p);
    case TYPE_STRINGREF:
        return r_stringref(p);
    case TYPE_TUPLE:
        return r_sequence(p, true);
    case TYPE_LIST:
        return r_sequence(p, false);
    case TYPE_DICT:
        return r_dict(p);
    case TYPE_CODE:
        return r_code(p);
    default:
        /* Unicode strings ('u') are read once their type exists; until then
         * they are as unknown as '?'. */
        return bad_data();
    }
}

ZvObject *r_object(RFile *p)
{
    if (++p->depth > MAX_MARSHAL_STACK_DEPTH) {
        p->depth--;
        ZvErr_SetString(ZvExc_ValueError, "object too deeply nested to unmarshal");
        return nullptr;
    }
    ZvObject *v = r_value(p, r_byte(p));
    p->depth--;
    return v;
}

/* Reads one object with a fresh string table. */
ZvObject *read_object(RFile *rf)
{
    rf->strings = ZvList_New(0);
    if (rf->strings == nullptr) return nullptr;
    ZvObject *v = r_object(rf);
    Zv_CLEAR(rf->strings);
    return v;
}

/* Files up to this size are read whole into memory and decoded there. */
constexpr long REASONABLE_FILE_LIMIT = 262144;
/* ... and up to this size the buffer sits on the stack. */
constexpr long SMALL_FILE_LIMIT = 16384;

long file_size(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0) return -1;
    return (long)st.st_size;
}

} // namespace

extern "C" {

void ZvMarshal_WriteLongToFile(long x, FILE *fp, int)
{
    WFile wf;
    wf.fp = fp;
    w_long((int32_t)(uint32_t)x, &wf);
}

void ZvMarshal_WriteObjectToFile(ZvObject *x, FILE *fp, int version)
{
    WFile wf;
    wf.fp = fp;
    if (version > 0) {
        wf.strings = ZvDict_New();
        if (wf.strings == nullptr) {
            ZvErr_Clear();
            return;
        }
    }
    w_object(x, &wf);
    Zv_XDECREF(wf.strings);
    /* Errors are not reported: the stream is left partial. */
    if (wf.error == WFERR_PENDING) ZvErr_Clear();
}

ZvObject *ZvMarshal_WriteObjectToString(ZvObject *x, int version)
{
    WFile wf;
    wf.str = ZvString_FromStringAndSize(nullptr, 50);
    if (wf.str == nullptr) return nullptr;
    wf.ptr = ZvString_AS_STRING(wf.str);
    wf.end = wf.ptr + ZvString_GET_SIZE(wf.str);
    if (version > 0) {
        wf.strings = ZvDict_New();
        if (wf.strings == nullptr) {
            Zv_DECREF(wf.str);
            return nullptr;
        }
    }
    w_object(x, &wf);
    Zv_XDECREF(wf.strings);
    if (wf.error != WFERR_OK) {
        Zv_XDECREF(wf.str);
        set_write_error(wf.error);
        return nullptr;
    }
    int used = (int)(wf.ptr - ZvString_AS_STRING(wf.str));
    if (_ZvString_Resize(&wf.str, used) < 0) return nullptr;
    return wf.str;
}

/* At end of file the missing bytes read as all ones, so a truncated
 * field reads as -1. */
long ZvMarshal_ReadLongFromFile(FILE *fp)
{
    RFile rf;
    rf.fp = fp;
    uint32_t x = 0;
    for (int shift = 0; shift < 32; shift += 8) x |= (uint32_t)(r_byte(&rf) & 0xff) << shift;
    return (long)(int32_t)x;
}

int ZvMarshal_ReadShortFromFile(FILE *fp)
{
    RFile rf;
    rf.fp = fp;
    int lo = r_byte(&rf) & 0xff;
    int hi = r_byte(&rf) & 0xff;
    return (int16_t)(uint16_t)(lo | (hi << 8));
}

ZvObject *ZvMarshal_ReadObjectFromFile(FILE *fp)
{
    if (fp == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    RFile rf;
    rf.fp = fp;
    return read_object(&rf);
}

ZvObject *ZvMarshal_ReadObjectFromString(const char *str, int len)
{
    if (len < 0 || (str == nullptr && len > 0)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    RFile rf;
    rf.ptr = (const unsigned char *)str;
    rf.end = rf.ptr + len;
    return read_object(&rf);
}

/* For the rest of a bytecode file: a file of reasonable size is read into
 * memory at once and decoded there, which is much faster than going
 * through stdio a byte at a time. */
ZvObject *ZvMarshal_ReadLastObjectFromFile(FILE *fp)
{
    if (fp == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    long filesize = file_size(fp);
    if (filesize <= 0 || filesize > REASONABLE_FILE_LIMIT) return ZvMarshal_ReadObjectFromFile(fp);
    if (filesize <= SMALL_FILE_LIMIT) {
        char buf[SMALL_FILE_LIMIT];
        size_t n = fread(buf, 1, (size_t)filesize, fp);
        return ZvMarshal_ReadObjectFromString(buf, (int)n);
    }
    char *buf = (char *)ZvMem_Malloc((size_t)filesize);
    if (buf == nullptr) return ZvMarshal_ReadObjectFromFile(fp);
    size_t n = fread(buf, 1, (size_t)filesize, fp);
    ZvObject *v = ZvMarshal_ReadObjectFromString(buf, (int)n);
    ZvMem_Free(buf);
    return v;
}

} // extern "C"

/* --- the marshal module ------------------------------------------------------ */

namespace {

/* The stream of an open file object; NULL with ValueError once closed. */
FILE *open_stream(ZvObject *f)
{
    FILE *fp = ZvFile_AsFile(f);
    if (fp == nullptr) ZvErr_SetString(ZvExc_ValueError, "I/O operation on closed file");
    return fp;
}

/* A stream that failed under a read or write reports it (stdio keeps the
 * failure, not the exception): data lost must not pass for data written. */
bool stream_failed(FILE *fp)
{
    if (!ferror(fp)) return false;
    clearerr(fp);
    ZvErr_SetFromErrno(ZvExc_IOError);
    return true;
}

ZvObject *marshal_dump(ZvObject *, ZvObject *args)
{
    ZvObject *x, *f;
    int version = Zv_MARSHAL_VERSION;
    if (!ZvArg_ParseTuple(args, "OO|i:dump", &x, &f, &version)) return nullptr;
    if (!ZvFile_Check(f)) {
        ZvErr_SetString(ZvExc_TypeError, "marshal.dump() 2nd arg must be file");
        return nullptr;
    }
    WFile wf;
    wf.fp = open_stream(f);
    if (wf.fp == nullptr) return nullptr;
    clearerr(wf.fp); /* only this call's failures count below */
    if (version > 0) {
        wf.strings = ZvDict_New();
        if (wf.strings == nullptr) return nullptr;
    }
    w_object(x, &wf);
    Zv_XDECREF(wf.strings);
    if (wf.error != WFERR_OK) {
        set_write_error(wf.error);
        return nullptr;
    }
    if (stream_failed(wf.fp)) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *marshal_load(ZvObject *, ZvObject *args)
{
    ZvObject *f;
    if (!ZvArg_ParseTuple(args, "O:load", &f)) return nullptr;
    if (!ZvFile_Check(f)) {
        ZvErr_SetString(ZvExc_TypeError, "marshal.load() arg must be file");
        return nullptr;
    }
    FILE *fp = open_stream(f);
    if (fp == nullptr) return nullptr;
    ZvObject *v = ZvMarshal_ReadObjectFromFile(fp);
    if (v == nullptr && !ZvErr_Occurred() && !stream_failed(fp))
        ZvErr_SetString(ZvExc_TypeError, "NULL object in marshal data");
    return v;
}

ZvObject *marshal_dumps(ZvObject *, ZvObject *args)
{
    ZvObject *x;
    int version = Zv_MARSHAL_VERSION;
    if (!ZvArg_ParseTuple(args, "O|i:dumps", &x, &version)) return nullptr;
    return ZvMarshal_WriteObjectToString(x, version);
}

ZvObject *marshal_loads(ZvObject *, ZvObject *args)
{
    char *s;
    int n;
    int version = Zv_MARSHAL_VERSION; /* accepted and ignored */
    if (!ZvArg_ParseTuple(args, "s#|i:loads", &s, &n, &version)) return nullptr;
    ZvObject *v = ZvMarshal_ReadObjectFromString(s, n);
    if (v == nullptr && !ZvErr_Occurred())
        ZvErr_SetString(ZvExc_TypeError, "NULL object in marshal data");
    return v;
}

ZvMethodDef marshal_methods[] = {
    {"dump", marshal_dump, METH_VARARGS, nullptr},
    {"load", marshal_load, METH_VARARGS, nullptr},
    {"dumps", marshal_dumps, METH_VARARGS, nullptr},
    {"loads", marshal_loads, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

extern "C" {

void ZvMarshal_Init(void)
{
    ZvObject *mod = Zv_InitModule("marshal", marshal_methods);
    if (mod == nullptr) return;
    ZvModule_AddIntConstant(mod, "version", Zv_MARSHAL_VERSION);
}

} // extern "C"
