// Number and string literals, turned into the constants of the code.
//
// Numbers: a trailing L makes a long integer; a text starting with 0 reads
// as an unsigned octal or hex integer (a value above the largest int
// becomes a long, so 0xFFFFFFFF is 4294967295L); other integers read signed
// and promote to long on overflow; a trailing j or J makes an imaginary
// number (a complex with zero real part); anything else is a float.
//
// Strings: the prefix (u, r) and the quotes are removed; escapes are
// decoded unless the literal is raw; with a declared source encoding other
// than UTF-8 and Latin-1, the tokenizer delivered the text as UTF-8, and
// plain strings are turned back into the source encoding.  Unicode literals
// (and every literal under -U) need the unicode type, which does not exist
// yet: they fail with NotImplementedError at their line.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "compile_internal.h"
#include "zvref.h"

extern "C" {
#include "zuvo.h"
#include "token.h"
}

namespace zv::compiler {

namespace {

// An imaginary literal: the text before its j read as a float, locale
// independently, as the imaginary part.
ZvObject *imaginary(const char *s, size_t len)
{
    std::string digits(s, len - 1);
    return ZvComplex_FromDoubles(0.0, ZvOS_ascii_atof(digits.c_str()));
}

} // namespace

namespace {

ZvObject *number_value(Compiling *c, const char *s)
{
    size_t len = std::strlen(s);
    if (len == 0) {
        com_error(c, ZvExc_SystemError, "com_atom: unexpected node type");
        return nullptr;
    }
    char last = s[len - 1];
    if (last == 'l' || last == 'L') return ZvLong_FromString(s, nullptr, 0);
    errno = 0;
    char *end;
    int32_t x;
    if (s[0] == '0') {
        // The tokenizer takes a hex prefix without digits for a number; the
        // literal reads as its (empty) digits, 0, and is no float.
        if ((s[1] == 'x' || s[1] == 'X') && s[2] == '\0') return ZvInt_FromLong(0);
        uint32_t u = ZvOS_strtoul(s, &end, 0);
        // An unsigned reading that a signed int cannot hold is a long.
        if (u > (uint32_t)INT32_MAX && errno == 0) return ZvLong_FromString(s, nullptr, 0);
        x = (int32_t)u;
    } else {
        x = ZvOS_strtol(s, &end, 0);
    }
    if (*end == '\0') {
        if (errno != 0) return ZvLong_FromString(s, nullptr, 0);
        return ZvInt_FromLong(x);
    }
    if (last == 'j' || last == 'J')
        return imaginary(s, len);
    zv::Ref text(ZvString_FromStringAndSize(s, (int)len));
    if (!text) return nullptr;
    return ZvFloat_FromString(text.get(), nullptr);
}

} // namespace

ZvObject *parsenumber(Compiling *c, const char *s)
{
    int errors = c->c_errors;
    ZvObject *v = number_value(c, s);
    if (v == nullptr && c->c_errors == errors) com_failed(c);
    return v;
}

namespace {

bool is_utf8_or_latin1(const char *encoding)
{
    return !std::strcmp(encoding, "utf-8") || !std::strcmp(encoding, "iso-8859-1");
}

// A literal's bytes, delivered as UTF-8, back in the source encoding.  Only
// ASCII text needs no codec; other text waits for the codec registry.
ZvObject *recode(const char *s, int len, const char *encoding)
{
    for (int i = 0; i < len; i++) {
        if ((unsigned char)s[i] >= 0x80)
            return ZvErr_Format(ZvExc_LookupError, "unknown encoding: %.400s", encoding);
    }
    return ZvString_FromStringAndSize(s, len);
}

ZvObject *parsestr(Compiling *c, const char *s)
{
    bool unicode = false, raw = false;
    char quote = *s;
    if (quote == 'u' || quote == 'U') {
        unicode = true;
        quote = *++s;
    }
    if (quote == 'r' || quote == 'R') {
        raw = true;
        quote = *++s;
    }
    if (quote != '\'' && quote != '"') {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    s++;
    size_t size = std::strlen(s);
    if (size > INT_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "string to parse is too long");
        return nullptr;
    }
    int len = (int)size;
    if (len < 1 || s[--len] != quote) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (len >= 4 && s[0] == quote && s[1] == quote) {
        s += 2;
        len -= 2;
        if (s[--len] != quote || s[--len] != quote) {
            ZvErr_BadInternalCall();
            return nullptr;
        }
    }
    if (unicode || Zv_UnicodeFlag) {
        com_error(c, ZvExc_NotImplementedError, "unicode string literals are not supported yet");
        return nullptr;
    }
    const char *encoding = c->c_encoding;
    bool recoding = encoding != nullptr && !is_utf8_or_latin1(encoding);
    if (raw || std::memchr(s, '\\', (size_t)len) == nullptr) {
        if (recoding) return recode(s, len, encoding);
        return ZvString_FromStringAndSize(s, len);
    }
    return ZvString_DecodeEscape(s, len, nullptr, 0, recoding ? encoding : nullptr);
}

} // namespace

ZvObject *parsestrplus(Compiling *c, node *n)
{
    // atom: STRING+
    zv::Ref v;
    for (int i = 0; i < NCH(n); i++) {
        if (TYPE(CHILD(n, i)) != STRING) break;
        int errors = c->c_errors;
        ZvObject *part = parsestr(c, STR(CHILD(n, i)));
        if (part == nullptr) {
            // Decoding failures (a bad \x escape, a failed recoding) are
            // reported at the current line.
            if (c->c_errors == errors) {
                ZvErr_SyntaxLocation(c->c_filename, c->c_lineno);
                com_failed(c);
            }
            return nullptr;
        }
        if (!v) {
            v.reset(part);
            continue;
        }
        ZvObject *joined = v.release();
        ZvString_ConcatAndDel(&joined, part);
        if (joined == nullptr) {
            com_failed(c);
            return nullptr;
        }
        v.reset(joined);
    }
    return v.release();
}

} // namespace zv::compiler
