/* The compiler front end in one header: tokens, the tokenizer, grammar
 * tables, parse-tree nodes, the parser and its driver, the future scan and
 * the symbol table.  Kept out of zuvo.h because these headers use the
 * grammar's own short names (NAME, STRING, STR, CHILD, state, label, LOCAL,
 * FREE, ...), which would collide with names in unrelated code. */
#ifndef ZVFRONTEND_H
#define ZVFRONTEND_H

#include "token.h"
#include "errcode.h"
#include "bitset.h"
#include "grammar.h"
#include "node.h"
#include "parser.h"
#include "parsetok.h"
#include "tokenizer.h"
#include "compile.h"
#include "symtable.h"

#endif /* ZVFRONTEND_H */
