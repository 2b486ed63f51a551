/* Queries on the instruction table of opcode.h: names, argument kinds and
 * stack effects, all generated from the one list of opcodes. */
#include "zuvo.h"
#include "opcode.h"

namespace {

struct OpInfo {
    const char *name; /* NULL: not an opcode */
    signed char kind;
    short stack;
};

constexpr int NOPCODES = 256;

constexpr auto build_table()
{
    struct Table {
        OpInfo op[NOPCODES];
    } t{};
#define ZV_OPCODE_ROW(name, num, kind, stack) t.op[num] = {#name, ZvOpArg_##kind, stack};
    ZV_OPCODES(ZV_OPCODE_ROW)
#undef ZV_OPCODE_ROW
    return t;
}

constexpr auto table = build_table();

} // namespace

extern "C" {

const char *_ZvOpcode_Name(int op)
{
    if (op < 0 || op >= NOPCODES) return nullptr;
    return table.op[op].name;
}

int _ZvOpcode_ArgKind(int op)
{
    if (op < 0 || op >= NOPCODES) return ZvOpArg_NONE;
    return table.op[op].kind;
}

int _ZvOpcode_StackEffect(int op, int arg)
{
    if (_ZvOpcode_Name(op) == nullptr) return ZV_STACK_VARIES;
    int fixed = table.op[op].stack;
    if (fixed != ZV_STACK_VARIES) return fixed;
    int nargs = (arg & 0xff) + 2 * ((arg >> 8) & 0xff);
    switch (op) {
    case UNPACK_SEQUENCE: return arg - 1;
    case DUP_TOPX: return (arg == 2 || arg == 3) ? arg : ZV_STACK_VARIES;
    case BUILD_TUPLE:
    case BUILD_LIST: return 1 - arg;
    case RAISE_VARARGS: return (arg >= 0 && arg <= 3) ? -arg : ZV_STACK_VARIES;
    case CALL_FUNCTION: return -nargs;
    case CALL_FUNCTION_VAR:
    case CALL_FUNCTION_KW: return -nargs - 1;
    case CALL_FUNCTION_VAR_KW: return -nargs - 2;
    case MAKE_FUNCTION: return -arg;
    case BUILD_SLICE: return (arg == 2 || arg == 3) ? 1 - arg : ZV_STACK_VARIES;
    /* MAKE_CLOSURE also pops one cell per free variable of the code, which
     * only the code object knows; callers add that themselves. */
    case MAKE_CLOSURE: return -arg;
    default: return ZV_STACK_VARIES;
    }
}

} // extern "C"
