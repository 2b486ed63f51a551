/* The tokenizer: source text to tokens.
 *
 * A tok_state reads from a NUL-terminated string, a stdio stream, or the
 * interactive console (lines fetched through ZvOS_Readline with a prompt).
 * It returns one token per call to ZvTokenizer_Get with pointers into its
 * own line buffer; the caller copies the text.  Leading white space becomes
 * INDENT and DEDENT tokens, measured twice (with the configured tab size and
 * with tabs counting one column) so that inconsistent mixing of tabs and
 * spaces can be detected.  A UTF-8 byte-order mark or an encoding
 * declaration on one of the first two lines selects the source encoding;
 * text in an encoding other than UTF-8 and Latin-1 is re-encoded to UTF-8
 * before it is scanned.
 *
 * Errors are reported by returning ERRORTOKEN with `done` set to an E_*
 * code (errcode.h); once `done` leaves E_OK it never returns to it. */
#ifndef ZVTOKENIZER_H
#define ZVTOKENIZER_H

#include "object.h"
#include "token.h"
#include "errcode.h"

ZV_BEGIN_DECLS

/* Indentation levels a source may open; the 100th is E_TOODEEP. */
#define MAXINDENT 100

struct tok_state {
    char *buf;  /* start of the buffer (string input: start of the current line) */
    char *cur;  /* next character to read */
    char *inp;  /* end of the valid data */
    char *end;  /* end of the allocated buffer (file and console input) */
    char *start; /* start of the current token, NULL between tokens */
    int done;   /* E_OK while input remains, else the end or error code */
    FILE *fp;   /* NULL for string input */
    int tabsize;
    int indent; /* top of the indentation stack */
    int indstack[MAXINDENT];
    int atbol;  /* at the beginning of a line */
    int pendin; /* pending INDENTs (> 0) or DEDENTs (< 0) */
    char *prompt, *nextprompt; /* console prompts; NULL when not interactive */
    int lineno;
    int level;  /* bracket nesting depth */
    const char *filename; /* for warnings */
    int altwarning; /* warn once about inconsistent tabs and spaces */
    int alterror;   /* treat inconsistent tabs and spaces as an error */
    int alttabsize; /* tab width of the alternate measure: 1 */
    int altindstack[MAXINDENT];
    int decoding_state;  /* 0: not yet checked for a byte-order mark, 1: raw, -1: decoding */
    int decoding_erred;  /* decoding failed: the next token is E_DECODE */
    int read_coding_spec;
    int issued_encoding_warning;
    char *encoding;      /* owned normalized name, or NULL */
    int cont_line;       /* this physical line continues a logical one */
    ZvObject *decoding_readline; /* reserved for a codec stream reader */
    ZvObject *decoding_buffer;   /* string input: the re-encoded text */
    const char *enc;     /* string input: the declared encoding */
    const char *str;     /* string input: position while checking the mark */
    /* Private: end of the string input (its terminating NUL). */
    const char *_str_end;
};

ZvAPI_FUNC(struct tok_state *) ZvTokenizer_FromString(const char *str);
ZvAPI_FUNC(struct tok_state *) ZvTokenizer_FromFile(FILE *fp, char *ps1, char *ps2);
ZvAPI_FUNC(void) ZvTokenizer_Free(struct tok_state *tok);
/* Returns the next token number; *p_start and *p_end delimit its text in the
 * buffer, both NULL for tokens without text (INDENT, DEDENT, ENDMARKER). */
ZvAPI_FUNC(int) ZvTokenizer_Get(struct tok_state *tok, char **p_start, char **p_end);

/* Console input.  ZvOS_Readline returns a line allocated with ZvMem_Malloc
 * (the caller frees it), "" at end of file, or NULL when interrupted. */
ZvAPI_FUNC(char *) ZvOS_Readline(FILE *sys_stdin, FILE *sys_stdout, char *prompt);
ZvAPI_FUNC(char *) ZvOS_StdioReadline(FILE *sys_stdin, FILE *sys_stdout, char *prompt);
/* The line editor; an embedding program may install a better one. */
ZvAPI_DATA(char *(*ZvOS_ReadlineFunctionPointer)(FILE *, FILE *, char *));
/* Called with no arguments before each attempt to read console input. */
ZvAPI_DATA(int (*ZvOS_InputHook)(void));

ZV_END_DECLS

#endif /* ZVTOKENIZER_H */
