// Source encodings for the tokenizer.
//
// A declaration is a comment on line 1 or 2 that contains "coding" directly
// followed by ':' or '=' and an encoding name.  Names are normalized so that
// the spellings of UTF-8 and Latin-1 compare equal; text in either passes
// through the tokenizer unchanged.  Any other encoding is decoded here and
// re-encoded to UTF-8 before scanning.  The decoders are built in and
// stateless, so a file can be decoded line by line: ASCII, and the aliases
// of UTF-8 and Latin-1 that the normalization leaves alone.  Encodings
// beyond those are reported as unknown.
#include "tokdecode.h"

#include <cstring>

extern "C" {
#include "zverrors.h"
}

namespace zv {

namespace {

bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.';
}

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// "utf-8" and "iso-8859-1" stand for all their usual spellings.
std::string normalize(const std::string &name)
{
    std::string low;
    for (size_t i = 0; i < name.size() && i < 12; i++) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c == '_') c = '-';
        low += c;
    }
    if (low == "utf-8" || starts_with(low, "utf-8-")) return "utf-8";
    for (const char *latin : {"latin-1", "iso-8859-1", "iso-latin-1"}) {
        if (low == latin || starts_with(low, (std::string(latin) + "-").c_str()))
            return "iso-8859-1";
    }
    return name;
}

std::string lower_dashed(const std::string &name)
{
    std::string out;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c == '_') c = '-';
        out += c;
    }
    return out;
}

enum class Codec { Unknown, Ascii, Latin1, Utf8 };

Codec lookup(const std::string &encoding)
{
    std::string n = lower_dashed(encoding);
    for (const char *a : {"ascii", "us-ascii", "646", "us", "ansi-x3.4-1968", "iso646-us"})
        if (n == a) return Codec::Ascii;
    for (const char *a : {"iso-8859-1", "latin1", "latin", "l1", "iso8859-1", "iso-8859-1",
                          "8859", "cp819", "iso-ir-100", "csisolatin1"})
        if (n == a) return Codec::Latin1;
    for (const char *a : {"utf-8", "utf8", "u8", "utf", "utf8-ucs2", "utf8-ucs4"})
        if (n == a) return Codec::Utf8;
    return Codec::Unknown;
}

void decode_error(const char *codec, const char *s, size_t pos, size_t end, const char *reason)
{
    ZvErr_Format(ZvExc_UnicodeDecodeError,
                 "'%.40s' codec can't decode byte 0x%02x in position %d: %.100s", codec,
                 (unsigned char)s[pos], (int)pos, reason);
    (void)end;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0.
size_t utf8_sequence(const unsigned char *s, size_t i, size_t n)
{
    unsigned char c = s[i];
    if (c < 0x80) return 1;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC) len = 3;
    else if (c == 0xED) len = 3, hi = 0x9F; // no surrogates
    else if (c >= 0xEE && c <= 0xEF) len = 3;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;
    else return 0;
    if (i + len > n) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    for (size_t k = 2; k < len; k++)
        if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
    return len;
}

} // namespace

std::string find_coding_spec(const char *line, size_t size)
{
    size_t i = 0;
    while (i < size && (line[i] == ' ' || line[i] == '\t' || line[i] == '\014')) i++;
    if (i >= size || line[i] != '#' || size <= 6) return "";
    std::string text(line + i, size - i);
    size_t from = 0;
    for (;;) {
        size_t at = text.find("coding", from);
        if (at == std::string::npos) return "";
        from = at + 6;
        if (from >= text.size() || (text[from] != ':' && text[from] != '=')) continue;
        size_t b = from + 1;
        while (b < text.size() && (text[b] == ' ' || text[b] == '\t')) b++;
        size_t e = b;
        while (e < text.size() && is_name_char(text[e])) e++;
        if (e == b) continue;
        return normalize(text.substr(b, e - b));
    }
}

bool encoding_passes_through(const std::string &name)
{
    return name == "utf-8" || name == "iso-8859-1";
}

bool decode_to_utf8(const std::string &encoding, const char *s, size_t n, std::string &out)
{
    const unsigned char *u = (const unsigned char *)s;
    switch (lookup(encoding)) {
    case Codec::Ascii:
        for (size_t i = 0; i < n; i++) {
            if (u[i] >= 0x80) {
                decode_error("ascii", s, i, i + 1, "ordinal not in range(128)");
                return false;
            }
        }
        out.append(s, n);
        return true;
    case Codec::Latin1:
        for (size_t i = 0; i < n; i++) {
            if (u[i] < 0x80) {
                out += (char)u[i];
            } else {
                out += (char)(0xC0 | (u[i] >> 6));
                out += (char)(0x80 | (u[i] & 0x3F));
            }
        }
        return true;
    case Codec::Utf8:
        for (size_t i = 0; i < n;) {
            size_t len = utf8_sequence(u, i, n);
            if (len == 0) {
                decode_error("utf8", s, i, i + 1, "invalid data");
                return false;
            }
            i += len;
        }
        out.append(s, n);
        return true;
    case Codec::Unknown:
        break;
    }
    ZvErr_Format(ZvExc_LookupError, "unknown encoding: %.200s", encoding.c_str());
    return false;
}

} // namespace zv
