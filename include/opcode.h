/* The instruction set, declared once.
 *
 * Every instruction is one opcode byte; opcodes from HAVE_ARGUMENT up are
 * followed by a 16-bit argument, low byte first, and EXTENDED_ARG supplies
 * the high 16 bits of the next instruction's argument.  ZV_OPCODES lists
 * each opcode with its number, the kind of its argument and its net effect
 * on the value stack; the enum, the name table, the evaluation loop's
 * dispatch table, the code verifier and the disassembler are all generated
 * from it, so they cannot disagree.
 *
 * Argument kinds: NONE (no argument), NAME (index into co_names), CONST
 * (index into co_consts), LOCAL (index into the fast locals), FREE (index
 * into the cells followed by the free variables), REL (jump distance from
 * the next instruction), ABS (absolute jump target), COUNT (any other
 * number).
 *
 * The stack column is the net effect for opcodes whose effect does not
 * depend on the argument; ZV_STACK_VARIES marks the others, whose effect
 * _ZvOpcode_StackEffect computes.  Effects of the block opcodes are those
 * of the normal (non-exceptional) path. */
#ifndef ZVOPCODE_H
#define ZVOPCODE_H

#include "zvport.h"

#define ZV_STACK_VARIES 1000

/*        name                  number kind   stack */
#define ZV_OPCODES(X)                                   \
    X(POP_TOP,                   1, NONE, -1)           \
    X(ROT_TWO,                   2, NONE, 0)            \
    X(ROT_THREE,                 3, NONE, 0)            \
    X(DUP_TOP,                   4, NONE, 1)            \
    X(ROT_FOUR,                  5, NONE, 0)            \
    X(NOP,                       9, NONE, 0)            \
    X(UNARY_POSITIVE,           10, NONE, 0)            \
    X(UNARY_NEGATIVE,           11, NONE, 0)            \
    X(UNARY_NOT,                12, NONE, 0)            \
    X(UNARY_CONVERT,            13, NONE, 0)            \
    X(UNARY_INVERT,             15, NONE, 0)            \
    X(LIST_APPEND,              18, NONE, -2)           \
    X(BINARY_POWER,             19, NONE, -1)           \
    X(BINARY_MULTIPLY,          20, NONE, -1)           \
    X(BINARY_DIVIDE,            21, NONE, -1)           \
    X(BINARY_MODULO,            22, NONE, -1)           \
    X(BINARY_ADD,               23, NONE, -1)           \
    X(BINARY_SUBTRACT,          24, NONE, -1)           \
    X(BINARY_SUBSCR,            25, NONE, -1)           \
    X(BINARY_FLOOR_DIVIDE,      26, NONE, -1)           \
    X(BINARY_TRUE_DIVIDE,       27, NONE, -1)           \
    X(INPLACE_FLOOR_DIVIDE,     28, NONE, -1)           \
    X(INPLACE_TRUE_DIVIDE,      29, NONE, -1)           \
    X(SLICE_0,                  30, NONE, 0)            \
    X(SLICE_1,                  31, NONE, -1)           \
    X(SLICE_2,                  32, NONE, -1)           \
    X(SLICE_3,                  33, NONE, -2)           \
    X(STORE_SLICE_0,            40, NONE, -2)           \
    X(STORE_SLICE_1,            41, NONE, -3)           \
    X(STORE_SLICE_2,            42, NONE, -3)           \
    X(STORE_SLICE_3,            43, NONE, -4)           \
    X(DELETE_SLICE_0,           50, NONE, -1)           \
    X(DELETE_SLICE_1,           51, NONE, -2)           \
    X(DELETE_SLICE_2,           52, NONE, -2)           \
    X(DELETE_SLICE_3,           53, NONE, -3)           \
    X(INPLACE_ADD,              55, NONE, -1)           \
    X(INPLACE_SUBTRACT,         56, NONE, -1)           \
    X(INPLACE_MULTIPLY,         57, NONE, -1)           \
    X(INPLACE_DIVIDE,           58, NONE, -1)           \
    X(INPLACE_MODULO,           59, NONE, -1)           \
    X(STORE_SUBSCR,             60, NONE, -3)           \
    X(DELETE_SUBSCR,            61, NONE, -2)           \
    X(BINARY_LSHIFT,            62, NONE, -1)           \
    X(BINARY_RSHIFT,            63, NONE, -1)           \
    X(BINARY_AND,               64, NONE, -1)           \
    X(BINARY_XOR,               65, NONE, -1)           \
    X(BINARY_OR,                66, NONE, -1)           \
    X(INPLACE_POWER,            67, NONE, -1)           \
    X(GET_ITER,                 68, NONE, 0)            \
    X(PRINT_EXPR,               70, NONE, -1)           \
    X(PRINT_ITEM,               71, NONE, -1)           \
    X(PRINT_NEWLINE,            72, NONE, 0)            \
    X(PRINT_ITEM_TO,            73, NONE, -2)           \
    X(PRINT_NEWLINE_TO,         74, NONE, -1)           \
    X(INPLACE_LSHIFT,           75, NONE, -1)           \
    X(INPLACE_RSHIFT,           76, NONE, -1)           \
    X(INPLACE_AND,              77, NONE, -1)           \
    X(INPLACE_XOR,              78, NONE, -1)           \
    X(INPLACE_OR,               79, NONE, -1)           \
    X(BREAK_LOOP,               80, NONE, 0)            \
    X(LOAD_LOCALS,              82, NONE, 1)            \
    X(RETURN_VALUE,             83, NONE, -1)           \
    X(IMPORT_STAR,              84, NONE, -1)           \
    X(EXEC_STMT,                85, NONE, -3)           \
    X(YIELD_VALUE,              86, NONE, 0)            \
    X(POP_BLOCK,                87, NONE, 0)            \
    X(END_FINALLY,              88, NONE, -1)           \
    X(BUILD_CLASS,              89, NONE, -2)           \
    X(STORE_NAME,               90, NAME, -1)           \
    X(DELETE_NAME,              91, NAME, 0)            \
    X(UNPACK_SEQUENCE,          92, COUNT, ZV_STACK_VARIES) \
    X(FOR_ITER,                 93, REL, 1)             \
    X(STORE_ATTR,               95, NAME, -2)           \
    X(DELETE_ATTR,              96, NAME, -1)           \
    X(STORE_GLOBAL,             97, NAME, -1)           \
    X(DELETE_GLOBAL,            98, NAME, 0)            \
    X(DUP_TOPX,                 99, COUNT, ZV_STACK_VARIES) \
    X(LOAD_CONST,              100, CONST, 1)           \
    X(LOAD_NAME,               101, NAME, 1)            \
    X(BUILD_TUPLE,             102, COUNT, ZV_STACK_VARIES) \
    X(BUILD_LIST,              103, COUNT, ZV_STACK_VARIES) \
    X(BUILD_MAP,               104, COUNT, 1)           \
    X(LOAD_ATTR,               105, NAME, 0)            \
    X(COMPARE_OP,              106, COUNT, -1)          \
    X(IMPORT_NAME,             107, NAME, 0)            \
    X(IMPORT_FROM,             108, NAME, 1)            \
    X(JUMP_FORWARD,            110, REL, 0)             \
    X(JUMP_IF_FALSE,           111, REL, 0)             \
    X(JUMP_IF_TRUE,            112, REL, 0)             \
    X(JUMP_ABSOLUTE,           113, ABS, 0)             \
    X(LOAD_GLOBAL,             116, NAME, 1)            \
    X(CONTINUE_LOOP,           119, ABS, 0)             \
    X(SETUP_LOOP,              120, REL, 0)             \
    X(SETUP_EXCEPT,            121, REL, 0)             \
    X(SETUP_FINALLY,           122, REL, 0)             \
    X(LOAD_FAST,               124, LOCAL, 1)           \
    X(STORE_FAST,              125, LOCAL, -1)          \
    X(DELETE_FAST,             126, LOCAL, 0)           \
    X(RAISE_VARARGS,           130, COUNT, ZV_STACK_VARIES) \
    X(CALL_FUNCTION,           131, COUNT, ZV_STACK_VARIES) \
    X(MAKE_FUNCTION,           132, COUNT, ZV_STACK_VARIES) \
    X(BUILD_SLICE,             133, COUNT, ZV_STACK_VARIES) \
    X(MAKE_CLOSURE,            134, COUNT, ZV_STACK_VARIES) \
    X(LOAD_CLOSURE,            135, FREE, 1)            \
    X(LOAD_DEREF,              136, FREE, 1)            \
    X(STORE_DEREF,             137, FREE, -1)           \
    X(CALL_FUNCTION_VAR,       140, COUNT, ZV_STACK_VARIES) \
    X(CALL_FUNCTION_KW,        141, COUNT, ZV_STACK_VARIES) \
    X(CALL_FUNCTION_VAR_KW,    142, COUNT, ZV_STACK_VARIES) \
    X(EXTENDED_ARG,            143, COUNT, 0)

enum {
#define ZV_OPCODE_ENUM(name, num, kind, stack) name = num,
    ZV_OPCODES(ZV_OPCODE_ENUM)
#undef ZV_OPCODE_ENUM
    HAVE_ARGUMENT = 90,
    ZV_MAX_OPCODE = 143
};

#define HAS_ARG(op) ((op) >= HAVE_ARGUMENT)

/* Comparison codes carried by COMPARE_OP. */
enum ZvCmpCode {
    ZvCmp_LT = 0,
    ZvCmp_LE = 1,
    ZvCmp_EQ = 2,
    ZvCmp_NE = 3,
    ZvCmp_GT = 4,
    ZvCmp_GE = 5,
    ZvCmp_IN = 6,
    ZvCmp_NOT_IN = 7,
    ZvCmp_IS = 8,
    ZvCmp_IS_NOT = 9,
    ZvCmp_EXC_MATCH = 10,
    ZvCmp_BAD = 11
};

/* Argument kinds of the table. */
enum ZvOpArgKind {
    ZvOpArg_NONE,
    ZvOpArg_NAME,
    ZvOpArg_CONST,
    ZvOpArg_LOCAL,
    ZvOpArg_FREE,
    ZvOpArg_REL,
    ZvOpArg_ABS,
    ZvOpArg_COUNT
};

ZV_BEGIN_DECLS

/* The opcode's name, or NULL for a number that is not an opcode. */
ZvAPI_FUNC(const char *) _ZvOpcode_Name(int op);
/* The argument kind of a valid opcode (ZvOpArg_NONE for an invalid one). */
ZvAPI_FUNC(int) _ZvOpcode_ArgKind(int op);
/* Net stack effect of `op` with argument `arg` on the normal path;
 * ZV_STACK_VARIES for an invalid opcode or argument. */
ZvAPI_FUNC(int) _ZvOpcode_StackEffect(int op, int arg);

ZV_END_DECLS

#endif /* ZVOPCODE_H */
