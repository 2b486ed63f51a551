// The tokenizer.
//
// Data structure: one line buffer per tokenizer.  `buf` .. `inp` holds the
// text read so far of the current line (or, while a token spans lines, of
// all the lines since the token began: `start` non-NULL makes the next line
// append instead of replace), `cur` is the next byte to scan.  For string
// input the buffer is the caller's string itself (or its UTF-8 re-encoding)
// and lines are delimited in place; for file and console input it is a
// heap buffer that grows to hold the longest line.
//
// Invariants: buf <= cur <= inp; `*inp` is never read (all scanning is
// bounded by inp, so NUL bytes in the source are ordinary characters); the
// indentation stacks hold at most MAXINDENT levels; `done` leaves E_OK once
// and for all, after which every read returns EOF.
#include "frontwarn.h"
#include "tokdecode.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include "tokenizer.h"
#include "objimpl.h"
#include "stringobject.h"
#include "zverrors.h"
#include "zvstate.h"
#include "zvflags.h"
}

namespace {

constexpr int kInitialBufferSize = 1024;

// Character classes, independent of the C locale: identifiers are ASCII.
bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_xdigit(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_ident_char(int c) { return is_letter(c) || is_digit(c); }

tok_state *tok_new()
{
    tok_state *tok = (tok_state *)ZvMem_Malloc(sizeof(tok_state));
    if (tok == nullptr) return nullptr;
    std::memset(tok, 0, sizeof(*tok));
    tok->done = E_OK;
    tok->tabsize = 8;
    tok->atbol = 1;
    tok->alttabsize = 1;
    return tok;
}

char *copy_name(const std::string &s)
{
    char *p = (char *)ZvMem_Malloc(s.size() + 1);
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// --- Encoding handling ------------------------------------------------

// Records a declared encoding.  Returns false (with SyntaxError or a
// decoder's exception set) when it conflicts with a byte-order mark.
bool accept_coding_spec(tok_state *tok, const std::string &name)
{
    tok->read_coding_spec = 1;
    if (tok->encoding != nullptr) {
        if (name == tok->encoding) return true;
        ZvErr_Format(ZvExc_SyntaxError, "encoding problem: %s", tok->encoding);
        return false;
    }
    tok->encoding = copy_name(name);
    if (tok->encoding == nullptr) {
        ZvErr_NoMemory();
        return false;
    }
    if (zv::encoding_passes_through(name)) return true;
    // An encoding without a decoder is reported at the line declaring it,
    // not at the first line it would have decoded.
    std::string none;
    if (!zv::decode_to_utf8(name, "", 0, none)) return false;
    tok->decoding_state = -1;
    return true;
}

// Checks one line of file or console input for a declaration.
bool check_line_coding_spec(tok_state *tok, const char *line, size_t size)
{
    if (tok->read_coding_spec || tok->cont_line || tok->lineno >= 2) return true;
    std::string name = zv::find_coding_spec(line, size);
    if (name.empty()) return true;
    return accept_coding_spec(tok, name);
}

void decoding_failed(tok_state *tok)
{
    tok->decoding_erred = 1;
    tok->done = E_DECODE;
}

// One DeprecationWarning per file for non-ASCII bytes without declaration.
bool warn_non_ascii(tok_state *tok, const char *line, size_t size)
{
    if (tok->issued_encoding_warning || tok->read_coding_spec || tok->encoding) return true;
    size_t i = 0;
    while (i < size && (unsigned char)line[i] < 128) i++;
    if (i == size) return true;
    char msg[500];
    std::snprintf(msg, sizeof msg,
                  "Non-ASCII character '\\x%.2x' in file %.200s on line %i, but no encoding "
                  "declared; see the language reference on source encoding declarations for "
                  "details",
                  (unsigned char)line[i], tok->filename ? tok->filename : "<unknown>",
                  tok->lineno + 1);
    tok->issued_encoding_warning = 1;
    return zv::front_warn(ZvExc_DeprecationWarning, msg, tok->filename, tok->lineno + 1) == 0;
}

// --- Reading lines ------------------------------------------------------

// Makes room for `extra` more bytes after inp (plus the terminating NUL),
// re-basing the pointers into the buffer.
bool reserve(tok_state *tok, size_t extra)
{
    size_t used = (size_t)(tok->inp - tok->buf);
    size_t cap = (size_t)(tok->end - tok->buf);
    if (used + extra + 1 <= cap) return true;
    size_t newcap = cap ? cap : kInitialBufferSize;
    while (newcap < used + extra + 1) {
        if (newcap > (size_t)INT_MAX) return false; // positions must fit an int
        newcap *= 2;
    }
    char *nb = (char *)ZvMem_Realloc(tok->buf, newcap);
    if (nb == nullptr) return false;
    tok->cur = nb + (tok->cur - tok->buf);
    tok->inp = nb + used;
    if (tok->start) tok->start = nb + (tok->start - tok->buf);
    tok->buf = nb;
    tok->end = nb + newcap;
    return true;
}

// Reads one raw physical line from the stream into `line`, with universal
// newlines (CR LF and a lone CR become LF).  Returns false at end of file.
bool read_raw_line(FILE *fp, std::string &line)
{
    line.clear();
    int c;
    while ((c = getc(fp)) != EOF) {
        if (c == '\r') {
            int next = getc(fp);
            if (next != '\n' && next != EOF) ungetc(next, fp);
            line += '\n';
            return true;
        }
        line += (char)c;
        if (c == '\n') return true;
    }
    return !line.empty();
}

// Checks for a UTF-8 byte-order mark at the start of the stream.
void check_file_bom(tok_state *tok)
{
    tok->decoding_state = 1;
    int c = getc(tok->fp);
    if (c == EOF) return;
    if (c != 0xEF) {
        ungetc(c, tok->fp);
        return;
    }
    int c2 = getc(tok->fp);
    int c3 = c2 == 0xBB ? getc(tok->fp) : EOF;
    if (c2 != 0xBB || c3 != 0xBF) {
        // An incomplete mark can only be a corrupt file: reject it rather
        // than guess what the bytes meant.
        tok->done = E_TOKEN;
        return;
    }
    tok->encoding = copy_name("utf-8");
    if (tok->encoding == nullptr) tok->done = E_NOMEM;
}

// Reads the next line of file input and appends it after inp, decoded to
// UTF-8 when a decoder is active.  Returns false at end of input or on
// error (with `done` set).
bool file_read_line(tok_state *tok)
{
    if (tok->decoding_state == 0) {
        check_file_bom(tok);
        if (tok->done != E_OK) return false;
    }
    std::string raw;
    if (!read_raw_line(tok->fp, raw)) {
        tok->done = E_EOF;
        return false;
    }
    const std::string *text = &raw;
    std::string decoded;
    if (tok->decoding_state < 0) {
        if (!zv::decode_to_utf8(tok->encoding, raw.data(), raw.size(), decoded)) {
            decoding_failed(tok);
            return false;
        }
        text = &decoded;
    }
    if (raw.back() != '\n') decoded = *text + '\n', text = &decoded; // last line
    if (!reserve(tok, text->size())) {
        tok->done = E_NOMEM;
        return false;
    }
    std::memcpy(tok->inp, text->data(), text->size());
    char *line = tok->inp;
    tok->inp += text->size();
    *tok->inp = '\0';
    if (tok->decoding_state > 0 && !warn_non_ascii(tok, raw.data(), raw.size())) {
        decoding_failed(tok);
        return false;
    }
    if (!check_line_coding_spec(tok, line, text->size())) {
        decoding_failed(tok);
        return false;
    }
    return true;
}

// Reads a console line through ZvOS_Readline and appends it after inp.
bool console_read_line(tok_state *tok)
{
    char *line = ZvOS_Readline(stdin, stdout, tok->prompt);
    if (tok->nextprompt != nullptr) tok->prompt = tok->nextprompt;
    if (line == nullptr) {
        tok->done = E_INTR;
        return false;
    }
    size_t n = std::strlen(line);
    if (n == 0) {
        ZvMem_Free(line);
        tok->done = E_EOF;
        return false;
    }
    bool ok = reserve(tok, n);
    if (ok) {
        std::memcpy(tok->inp, line, n);
        tok->inp += n;
        *tok->inp = '\0';
    }
    ZvMem_Free(line);
    if (!ok) tok->done = E_NOMEM;
    return ok;
}

// Delimits the next line of string input in place.
bool string_next_line(tok_state *tok)
{
    const char *from = tok->inp;
    const char *stop = tok->_str_end;
    if (from >= stop) {
        tok->done = E_EOF;
        return false;
    }
    const char *nl = (const char *)std::memchr(from, '\n', (size_t)(stop - from));
    const char *line_end = nl ? nl + 1 : stop;
    if (tok->start == nullptr) tok->buf = tok->cur;
    tok->inp = (char *)line_end;
    return true;
}

int tok_nextc(tok_state *tok)
{
    for (;;) {
        if (tok->cur != tok->inp) return (unsigned char)*tok->cur++;
        if (tok->done != E_OK) return EOF;
        bool ok;
        if (tok->fp == nullptr) {
            ok = string_next_line(tok);
        } else {
            if (tok->start == nullptr) tok->cur = tok->inp = tok->buf; // replace the line
            ok = tok->prompt != nullptr ? console_read_line(tok) : file_read_line(tok);
        }
        // A file counts every read, the one that meets the end (or a
        // decoding problem) included: an error found there belongs to the
        // line after the last, and a bad first line is line 1, not 0.  The
        // console counts only the lines it got.
        if (ok || (tok->prompt == nullptr && tok->fp != nullptr)) tok->lineno++;
        if (tok->done != E_OK) {
            if (tok->prompt != nullptr) std::fputs("\n", stderr);
            tok->cur = tok->inp;
            return EOF;
        }
    }
}

void tok_backup(tok_state *tok, int c)
{
    if (c == EOF) return;
    if (--tok->cur < tok->buf) Zv_FatalError("tok_backup: begin of buffer");
    // The byte is always the one just read; string input may be read-only.
    if ((unsigned char)*tok->cur != (unsigned char)c) *tok->cur = (char)c;
}

// --- Indentation ----------------------------------------------------------

// An inconsistency between the two measures: an error under -tt, a single
// warning under -t, otherwise nothing.  Returns true if scanning goes on.
bool indenterror(tok_state *tok)
{
    if (tok->alterror) {
        tok->done = E_TABSPACE;
        tok->cur = tok->inp;
        return false;
    }
    if (tok->altwarning) {
        std::fprintf(stderr, "%s: inconsistent use of tabs and spaces in indentation\n",
                     tok->filename ? tok->filename : "<unknown>");
        tok->altwarning = 0;
    }
    return true;
}

// Measures the indentation of a new line and queues INDENT/DEDENT tokens.
// Returns false (with `done` set) on an indentation error.
bool measure_indentation(tok_state *tok, bool *blank)
{
    int col = 0, altcol = 0;
    int c;
    for (;;) {
        c = tok_nextc(tok);
        if (c == ' ')
            col++, altcol++;
        else if (c == '\t')
            col = (col / tok->tabsize + 1) * tok->tabsize, altcol++;
        else if (c == '\014') // form feed
            col = altcol = 0;
        else
            break;
        // A megabyte of tabs must not overflow the column count.
        if (col > INT_MAX / 2) col = INT_MAX / 2;
        if (altcol > INT_MAX / 2) altcol = INT_MAX / 2;
    }
    tok_backup(tok, c);
    bool blankline = false; // reported through *blank
    if (c == '#' || c == '\n') {
        // Whitespace-only and comment-only lines do not affect indentation,
        // except that a totally empty line at the console ends a compound
        // statement.
        blankline = !(col == 0 && c == '\n' && tok->prompt != nullptr);
    }
    *blank = blankline;
    if (blankline || tok->level != 0) return true;
    int top = tok->indent;
    if (col == tok->indstack[top]) {
        if (altcol != tok->altindstack[top] && !indenterror(tok)) return false;
    } else if (col > tok->indstack[top]) {
        if (top + 1 >= MAXINDENT) {
            tok->done = E_TOODEEP;
            tok->cur = tok->inp;
            return false;
        }
        if (altcol <= tok->altindstack[top] && !indenterror(tok)) return false;
        tok->pendin++;
        tok->indstack[++tok->indent] = col;
        tok->altindstack[tok->indent] = altcol;
    } else {
        while (tok->indent > 0 && col < tok->indstack[tok->indent]) {
            tok->pendin--;
            tok->indent--;
        }
        if (col != tok->indstack[tok->indent]) {
            tok->done = E_DEDENT;
            tok->cur = tok->inp;
            return false;
        }
        if (altcol != tok->altindstack[tok->indent] && !indenterror(tok)) return false;
    }
    return true;
}

// --- Scanning ---------------------------------------------------------------

// A comment; looks for a tab-size directive in its first 79 characters.
// Returns the character that ended it (newline or EOF).
int skip_comment(tok_state *tok)
{
    static const char *const tabforms[] = {"tab-width:", ":tabstop=", ":ts=", "set tabsize="};
    char cbuf[80];
    size_t n = 0;
    int c;
    do {
        c = tok_nextc(tok);
        cbuf[n++] = c == 0 ? ' ' : (char)c; // keep strstr going past NUL bytes
    } while (c != EOF && c != '\n' && n + 1 < sizeof cbuf);
    cbuf[n] = '\0';
    for (const char *form : tabforms) {
        const char *tp = std::strstr(cbuf, form);
        if (tp == nullptr) continue;
        int newsize = std::atoi(tp + std::strlen(form));
        if (newsize >= 1 && newsize <= 40) {
            tok->tabsize = newsize;
            if (Zv_VerboseFlag) std::fprintf(stderr, "Tab size set to %d\n", newsize);
        }
    }
    while (c != EOF && c != '\n') c = tok_nextc(tok);
    return c;
}

int digits(tok_state *tok, int c)
{
    while (is_digit(c)) c = tok_nextc(tok);
    return c;
}

// The part of a number after its integer digits: fraction (when `c` is
// the '.'), exponent and imaginary suffix.  Returns NUMBER or ERRORTOKEN.
int number_tail(tok_state *tok, int c)
{
    if (c == '.') c = digits(tok, tok_nextc(tok));
    if (c == 'e' || c == 'E') {
        c = tok_nextc(tok);
        if (c == '+' || c == '-') c = tok_nextc(tok);
        if (!is_digit(c)) {
            tok->done = E_TOKEN;
            tok_backup(tok, c);
            return ERRORTOKEN;
        }
        c = digits(tok, c);
    }
    if (c == 'j' || c == 'J') c = tok_nextc(tok);
    tok_backup(tok, c);
    return NUMBER;
}

// A number whose first character `c` (a digit) has been read.
int scan_number(tok_state *tok, int c)
{
    if (c != '0') {
        c = digits(tok, tok_nextc(tok));
        if (c == 'l' || c == 'L') {
            // the suffix ends the number
            return NUMBER;
        }
        return number_tail(tok, c);
    }
    c = tok_nextc(tok);
    if (c == '.' || c == 'j' || c == 'J' || c == 'e' || c == 'E') return number_tail(tok, c);
    if (c == 'x' || c == 'X') {
        do c = tok_nextc(tok);
        while (is_xdigit(c));
    } else {
        while (c >= '0' && c <= '7') c = tok_nextc(tok);
        if (is_digit(c)) {
            // 09 is not an octal number, but 09.5, 09e1 and 09j are fine.
            c = digits(tok, c);
            if (c == '.' || c == 'e' || c == 'E' || c == 'j' || c == 'J')
                return number_tail(tok, c);
            tok->done = E_TOKEN;
            tok_backup(tok, c);
            return ERRORTOKEN;
        }
        if (c == '.' || c == 'e' || c == 'E' || c == 'j' || c == 'J') return number_tail(tok, c);
    }
    if (c == 'l' || c == 'L') c = tok_nextc(tok);
    tok_backup(tok, c);
    return NUMBER;
}

// A NUL byte in a string literal (only a file can hold one): a token's
// text is a C string, so the literal would be cut short; it is no token.
int nul_in_string(tok_state *tok)
{
    tok->done = E_TOKEN;
    tok->cur = tok->inp;
    return ERRORTOKEN;
}

// A string literal; `quote` (the opening quote) has been read.
int scan_string(tok_state *tok, int quote)
{
    int quote_size = 1, end_quote_size = 0;
    int c = tok_nextc(tok);
    if (c == quote) {
        c = tok_nextc(tok);
        if (c == quote)
            quote_size = 3;
        else
            end_quote_size = 1; // the empty string
    }
    if (c != quote) tok_backup(tok, c);
    while (end_quote_size != quote_size) {
        c = tok_nextc(tok);
        if (c == EOF || (c == '\n' && quote_size == 1)) {
            tok->done = (c == EOF && quote_size == 3) ? E_EOFS : E_EOLS;
            tok->cur = tok->inp;
            return ERRORTOKEN;
        }
        if (c == '\0') return nul_in_string(tok);
        if (c == quote) {
            end_quote_size++;
            continue;
        }
        end_quote_size = 0;
        if (c == '\\') { // the escaped character never ends the string
            c = tok_nextc(tok);
            if (c == '\0') return nul_in_string(tok);
        }
        if (c == '\n') tok->cont_line = 1;
    }
    return STRING;
}

int scan_operator(tok_state *tok, int c)
{
    int c2 = tok_nextc(tok);
    int token = ZvToken_TwoChars(c, c2);
    if (token != OP) {
        int c3 = tok_nextc(tok);
        int token3 = ZvToken_ThreeChars(c, c2, c3);
        if (token3 != OP)
            token = token3;
        else
            tok_backup(tok, c3);
        return token;
    }
    tok_backup(tok, c2);
    switch (c) {
    case '(': case '[': case '{':
        tok->level++;
        break;
    case ')': case ']': case '}':
        tok->level--;
        break;
    }
    return ZvToken_OneChar(c);
}

// The token that starts with `c` (not white space, newline, comment,
// backslash or EOF).
int scan_token(tok_state *tok, int c)
{
    if (is_letter(c)) {
        int first = c;
        c = tok_nextc(tok);
        if (first == 'r' || first == 'R' || first == 'u' || first == 'U') {
            // A string prefix: r, u or ur (any case) directly before a quote.
            if ((first == 'u' || first == 'U') && (c == 'r' || c == 'R')) c = tok_nextc(tok);
            if (c == '"' || c == '\'') return scan_string(tok, c);
        }
        while (is_ident_char(c)) c = tok_nextc(tok);
        tok_backup(tok, c);
        return NAME;
    }
    if (c == '.') {
        int next = tok_nextc(tok);
        tok_backup(tok, next);
        return is_digit(next) ? number_tail(tok, '.') : DOT;
    }
    if (is_digit(c)) return scan_number(tok, c);
    if (c == '\'' || c == '"') return scan_string(tok, c);
    return scan_operator(tok, c);
}

int tok_get(tok_state *tok, char **p_start, char **p_end)
{
    *p_start = *p_end = nullptr;
    for (;;) { // once per line that yields no token
        bool blankline = false;
        tok->start = nullptr;
        if (tok->atbol) {
            tok->atbol = 0;
            if (!measure_indentation(tok, &blankline)) return ERRORTOKEN;
        }
        tok->start = tok->cur;
        if (tok->pendin != 0) {
            if (tok->pendin < 0) {
                tok->pendin++;
                return DEDENT;
            }
            tok->pendin--;
            return INDENT;
        }
        for (;;) { // again after a backslash continuation
            int c;
            tok->start = nullptr;
            do c = tok_nextc(tok);
            while (c == ' ' || c == '\t' || c == '\014');
            if (c == EOF) return tok->done == E_EOF ? ENDMARKER : ERRORTOKEN;
            tok->start = tok->cur - 1;
            if (c == '#') {
                c = skip_comment(tok);
                if (c == EOF) return tok->done == E_EOF ? ENDMARKER : ERRORTOKEN;
            }
            if (c == '\n') {
                tok->atbol = 1;
                if (blankline || tok->level > 0) break; // brackets join lines
                *p_start = tok->start;
                *p_end = tok->cur - 1; // leave the newline out of the text
                tok->cont_line = 0;
                return NEWLINE;
            }
            if (c == '\\') {
                c = tok_nextc(tok);
                if (c != '\n') {
                    tok->done = E_TOKEN;
                    tok->cur = tok->inp;
                    return ERRORTOKEN;
                }
                tok->cont_line = 1;
                continue;
            }
            int token = scan_token(tok, c);
            *p_start = tok->start;
            *p_end = tok->cur;
            return token;
        }
    }
}

} // namespace

extern "C" {

struct tok_state *ZvTokenizer_FromString(const char *str)
{
    if (str == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    tok_state *tok = tok_new();
    if (tok == nullptr) return nullptr;
    size_t len = std::strlen(str);
    const char *text = str;
    tok->decoding_state = 1;
    tok->str = str;
    // A UTF-8 byte-order mark; an incomplete one makes the input invalid.
    if (len > 0 && (unsigned char)str[0] == 0xEF) {
        if (len >= 3 && (unsigned char)str[1] == 0xBB && (unsigned char)str[2] == 0xBF) {
            text += 3;
            len -= 3;
            tok->encoding = copy_name("utf-8");
            if (tok->encoding == nullptr) {
                ZvTokenizer_Free(tok);
                return nullptr;
            }
        } else {
            tok->done = E_TOKEN;
            tok->lineno = 1; // the bad bytes are on the first line, as for a file
        }
    }
    // A declaration on the first two lines.
    const char *nl = (const char *)std::memchr(text, '\n', len);
    const char *second = nl ? nl + 1 : text + len;
    const char *nl2 = (const char *)std::memchr(second, '\n', (size_t)(text + len - second));
    std::string name = zv::find_coding_spec(text, (size_t)(second - text));
    if (name.empty() && second < text + len)
        name = zv::find_coding_spec(second, (size_t)((nl2 ? nl2 + 1 : text + len) - second));
    if (!name.empty()) {
        if (!accept_coding_spec(tok, name)) {
            ZvTokenizer_Free(tok);
            return nullptr;
        }
        tok->enc = tok->encoding;
    }
    if (tok->decoding_state < 0) {
        std::string utf8;
        if (!zv::decode_to_utf8(tok->encoding, text, len, utf8)) {
            ZvTokenizer_Free(tok);
            return nullptr;
        }
        tok->decoding_buffer = ZvString_FromStringAndSize(utf8.data(), (int)utf8.size());
        if (tok->decoding_buffer == nullptr || utf8.size() > (size_t)INT_MAX) {
            ZvTokenizer_Free(tok);
            return nullptr;
        }
        text = ZvString_AS_STRING(tok->decoding_buffer);
        len = utf8.size();
    }
    tok->buf = tok->cur = tok->inp = tok->end = (char *)text;
    tok->_str_end = text + len;
    return tok;
}

struct tok_state *ZvTokenizer_FromFile(FILE *fp, char *ps1, char *ps2)
{
    if (fp == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    tok_state *tok = tok_new();
    if (tok == nullptr) return nullptr;
    tok->buf = (char *)ZvMem_Malloc(kInitialBufferSize);
    if (tok->buf == nullptr) {
        ZvMem_Free(tok);
        return nullptr;
    }
    tok->cur = tok->inp = tok->buf;
    tok->end = tok->buf + kInitialBufferSize;
    *tok->buf = '\0';
    tok->fp = fp;
    tok->prompt = ps1;
    tok->nextprompt = ps2;
    if (ps1 != nullptr) tok->decoding_state = 1; // the console has no byte-order mark
    return tok;
}

void ZvTokenizer_Free(struct tok_state *tok)
{
    if (tok == nullptr) return;
    ZvMem_Free(tok->encoding);
    Zv_XDECREF(tok->decoding_readline);
    Zv_XDECREF(tok->decoding_buffer);
    if (tok->fp != nullptr) ZvMem_Free(tok->buf);
    ZvMem_Free(tok);
}

int ZvTokenizer_Get(struct tok_state *tok, char **p_start, char **p_end)
{
    int result = tok_get(tok, p_start, p_end);
    if (tok->decoding_erred) {
        result = ERRORTOKEN;
        tok->done = E_DECODE;
    }
    return result;
}

} // extern "C"
