/* Token names and the operator tables.
 *
 * This file depends on nothing but token.h so that the grammar-table
 * generator (Tools/zvpgen) can compile it too: the generator translates the
 * quoted operators of Grammar/Grammar with the very functions the tokenizer
 * uses, so the two can never disagree about an operator's number. */
#include "token.h"

extern "C" {

const char *const _ZvParser_TokenNames[N_TOKENS + 1] = {
    "ENDMARKER",    "NAME",         "NUMBER",          "STRING",         "NEWLINE",
    "INDENT",       "DEDENT",       "LPAR",            "RPAR",           "LSQB",
    "RSQB",         "COLON",        "COMMA",           "SEMI",           "PLUS",
    "MINUS",        "STAR",         "SLASH",           "VBAR",           "AMPER",
    "LESS",         "GREATER",      "EQUAL",           "DOT",            "PERCENT",
    "BACKQUOTE",    "LBRACE",       "RBRACE",          "EQEQUAL",        "NOTEQUAL",
    "LESSEQUAL",    "GREATEREQUAL", "TILDE",           "CIRCUMFLEX",     "LEFTSHIFT",
    "RIGHTSHIFT",   "DOUBLESTAR",   "PLUSEQUAL",       "MINEQUAL",       "STAREQUAL",
    "SLASHEQUAL",   "PERCENTEQUAL", "AMPEREQUAL",      "VBAREQUAL",      "CIRCUMFLEXEQUAL",
    "LEFTSHIFTEQUAL", "RIGHTSHIFTEQUAL", "DOUBLESTAREQUAL", "DOUBLESLASH", "DOUBLESLASHEQUAL",
    "AT",           "OP",           "<ERRORTOKEN>",    "<N_TOKENS>",
};

int ZvToken_OneChar(int c)
{
    switch (c) {
    case '%': return PERCENT;
    case '&': return AMPER;
    case '(': return LPAR;
    case ')': return RPAR;
    case '*': return STAR;
    case '+': return PLUS;
    case ',': return COMMA;
    case '-': return MINUS;
    case '.': return DOT;
    case '/': return SLASH;
    case ':': return COLON;
    case ';': return SEMI;
    case '<': return LESS;
    case '=': return EQUAL;
    case '>': return GREATER;
    case '@': return AT;
    case '[': return LSQB;
    case ']': return RSQB;
    case '^': return CIRCUMFLEX;
    case '`': return BACKQUOTE;
    case '{': return LBRACE;
    case '|': return VBAR;
    case '}': return RBRACE;
    case '~': return TILDE;
    }
    return OP;
}

int ZvToken_TwoChars(int c1, int c2)
{
    // The augmented assignments: an operator character followed by '='.
    if (c2 == '=') {
        switch (c1) {
        case '!': return NOTEQUAL;
        case '%': return PERCENTEQUAL;
        case '&': return AMPEREQUAL;
        case '*': return STAREQUAL;
        case '+': return PLUSEQUAL;
        case '-': return MINEQUAL;
        case '/': return SLASHEQUAL;
        case '<': return LESSEQUAL;
        case '=': return EQEQUAL;
        case '>': return GREATEREQUAL;
        case '^': return CIRCUMFLEXEQUAL;
        case '|': return VBAREQUAL;
        }
        return OP;
    }
    switch (c1) {
    case '*': return c2 == '*' ? DOUBLESTAR : OP;
    case '/': return c2 == '/' ? DOUBLESLASH : OP;
    case '<':
        if (c2 == '>') return NOTEQUAL;
        return c2 == '<' ? LEFTSHIFT : OP;
    case '>': return c2 == '>' ? RIGHTSHIFT : OP;
    }
    return OP;
}

int ZvToken_ThreeChars(int c1, int c2, int c3)
{
    if (c3 != '=') return OP;
    if (c1 == '*' && c2 == '*') return DOUBLESTAREQUAL;
    if (c1 == '/' && c2 == '/') return DOUBLESLASHEQUAL;
    if (c1 == '<' && c2 == '<') return LEFTSHIFTEQUAL;
    if (c1 == '>' && c2 == '>') return RIGHTSHIFTEQUAL;
    return OP;
}

} // extern "C"
