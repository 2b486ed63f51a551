// The parse driver: runs the tokenizer into the parser.
//
// Besides feeding tokens it makes the end of input regular: input that
// stops in the middle of a line still ends with NEWLINE, the DEDENTs of
// every open block, and ENDMARKER, so the grammar need not allow for a
// missing final newline.  On failure it fills the error record from the
// tokenizer's position; on success with a declared source encoding it
// wraps the tree in an encoding_decl node carrying the encoding's name.
#include <cstdio>
#include <cstring>

extern "C" {
#include "parsetok.h"
#include "parser.h"
#include "tokenizer.h"
#include "objimpl.h"
#include "zverrors.h"
#include "zvflags.h"
}
#include "graminit.h"

namespace {

void initerr(perrdetail *err_ret, const char *filename)
{
    err_ret->error = E_OK;
    err_ret->filename = filename;
    err_ret->lineno = 0;
    err_ret->offset = 0;
    err_ret->text = nullptr;
    err_ret->token = -1;
    err_ret->expected = -1;
}

char *copy_text(const char *a, size_t len)
{
    char *s = (char *)ZvObject_Malloc(len + 1);
    if (s == nullptr) return nullptr;
    if (len) std::memcpy(s, a, len);
    s[len] = '\0';
    return s;
}

void fill_error_position(tok_state *tok, perrdetail *err_ret)
{
    if (tok->lineno <= 1 && tok->done == E_EOF) err_ret->error = E_EOF;
    err_ret->lineno = tok->lineno;
    if (tok->buf == nullptr || tok->cur == nullptr) return;
    err_ret->offset = (int)(tok->cur - tok->buf);
    err_ret->text = copy_text(tok->buf, (size_t)(tok->inp - tok->buf));
}

// The tree wrapped in an encoding_decl node naming the source encoding.
node *wrap_encoding(node *n, const char *encoding, perrdetail *err_ret)
{
    node *r = ZvNode_New(encoding_decl);
    char *name = r ? copy_text(encoding, std::strlen(encoding)) : nullptr;
    if (name == nullptr) {
        ZvObject_Free(r);
        ZvNode_Free(n);
        err_ret->error = E_NOMEM;
        return nullptr;
    }
    r->n_str = name;
    // A single node is a child array of one (the capacity for one child).
    r->n_nchildren = 1;
    r->n_child = n;
    return r;
}

node *parsetok(tok_state *tok, grammar *g, int start, perrdetail *err_ret, int flags)
{
    parser_state *ps = ZvParser_New(g, start);
    if (ps == nullptr) {
        std::fprintf(stderr, "no mem for new parser\n");
        err_ret->error = E_NOMEM;
        ZvTokenizer_Free(tok);
        return nullptr;
    }
    bool started = false;
    for (;;) {
        char *a, *b;
        int type = ZvTokenizer_Get(tok, &a, &b);
        if (type == ERRORTOKEN) {
            err_ret->error = tok->done;
            break;
        }
        if (type == ENDMARKER && started) {
            type = NEWLINE; // the implied final newline
            started = false;
            if (!(flags & ZvPARSE_DONT_IMPLY_DEDENT)) {
                tok->pendin = -tok->indent;
                tok->indent = 0;
            }
        } else {
            started = true;
        }
        char *str = copy_text(a, a ? (size_t)(b - a) : 0);
        if (str == nullptr) {
            std::fprintf(stderr, "no mem for next token\n");
            err_ret->error = E_NOMEM;
            break;
        }
        err_ret->error = ZvParser_AddToken(ps, type, str, tok->lineno, &err_ret->expected);
        if (err_ret->error != E_OK) {
            if (err_ret->error != E_DONE) {
                ZvObject_Free(str);
                err_ret->token = type;
            }
            break;
        }
    }
    node *n = nullptr;
    if (err_ret->error == E_DONE) {
        n = ps->p_tree;
        ps->p_tree = nullptr;
    }
    ZvParser_Delete(ps);
    if (n == nullptr)
        fill_error_position(tok, err_ret);
    else if (tok->encoding != nullptr)
        n = wrap_encoding(n, tok->encoding, err_ret);
    ZvTokenizer_Free(tok);
    return n;
}

// Tab checking follows the command-line flags: a warning under -t (or
// -v), an error under -tt.
void set_tabcheck(tok_state *tok, bool has_name)
{
    if (Zv_TabcheckFlag || Zv_VerboseFlag) {
        tok->altwarning = has_name;
        if (Zv_TabcheckFlag >= 2) tok->alterror = 1;
    }
}

} // namespace

extern "C" {

node *ZvParser_ParseString(const char *s, grammar *g, int start, perrdetail *err_ret)
{
    return ZvParser_ParseStringFlags(s, g, start, err_ret, 0);
}

node *ZvParser_ParseStringFlags(const char *s, grammar *g, int start, perrdetail *err_ret,
                                int flags)
{
    return ZvParser_ParseStringFlagsFilename(s, nullptr, g, start, err_ret, flags);
}

node *ZvParser_ParseStringFlagsFilename(const char *s, const char *filename, grammar *g,
                                        int start, perrdetail *err_ret, int flags)
{
    initerr(err_ret, filename);
    tok_state *tok = ZvTokenizer_FromString(s);
    if (tok == nullptr) {
        // A declared encoding that cannot be decoded leaves its exception
        // set; report that rather than a memory error.
        err_ret->error = ZvErr_Occurred() ? E_DECODE : E_NOMEM;
        return nullptr;
    }
    tok->filename = filename ? filename : "<string>";
    set_tabcheck(tok, true);
    return parsetok(tok, g, start, err_ret, flags);
}

node *ZvParser_ParseFile(FILE *fp, const char *filename, grammar *g, int start, char *ps1,
                         char *ps2, perrdetail *err_ret)
{
    return ZvParser_ParseFileFlags(fp, filename, g, start, ps1, ps2, err_ret, 0);
}

node *ZvParser_ParseFileFlags(FILE *fp, const char *filename, grammar *g, int start, char *ps1,
                              char *ps2, perrdetail *err_ret, int flags)
{
    initerr(err_ret, filename);
    tok_state *tok = ZvTokenizer_FromFile(fp, ps1, ps2);
    if (tok == nullptr) {
        err_ret->error = E_NOMEM;
        return nullptr;
    }
    tok->filename = filename;
    set_tabcheck(tok, filename != nullptr);
    return parsetok(tok, g, start, err_ret, flags);
}

} // extern "C"
