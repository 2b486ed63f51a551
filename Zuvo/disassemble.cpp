// The disassembler: one line per instruction, for tests and debugging.
//
// Each line is the instruction's offset (right-aligned in three columns),
// its name and, for opcodes with an argument, the argument and what it
// stands for in parentheses: the constant's repr, the name, the local or
// cell variable, the comparison, or the jump target ("(to 12)").  A code
// object among the constants shows as "<code object NAME, line N>" so that
// listings do not depend on addresses.  EXTENDED_ARG is listed on its own
// line and the instruction after it shows the combined argument.  Bytecode
// that does not make sense (unknown opcodes, a truncated argument, indexes
// out of range) is listed as far as it goes, never trusted.
#include <cstdio>
#include <string>

#include "zvref.h"

extern "C" {
#include "zuvo.h"
#include "opcode.h"
}

namespace {

const char *const kCompareNames[] = {"<", "<=", "==", "!=", ">", ">=", "in", "not in",
                                     "is", "is not", "exception match"};

// Item i of a tuple as text: the string itself for names, the repr for
// constants; "?" when out of range or unprintable.
std::string item_text(ZvObject *tuple, int i, bool as_repr)
{
    if (i < 0 || i >= ZvTuple_GET_SIZE(tuple)) return "?";
    ZvObject *v = ZvTuple_GET_ITEM(tuple, i);
    if (ZvCode_Check(v)) {
        auto *co = (ZvCodeObject *)v;
        char buf[200];
        std::snprintf(buf, sizeof buf, "<code object %.100s, line %d>",
                      ZvString_Check(co->co_name) ? ZvString_AS_STRING(co->co_name) : "???",
                      co->co_firstlineno);
        return buf;
    }
    if (!as_repr && ZvString_Check(v))
        return std::string(ZvString_AS_STRING(v), ZvString_GET_SIZE(v));
    zv::Ref r(ZvObject_Repr(v));
    if (!r || !ZvString_Check(r.get())) {
        ZvErr_Clear();
        return "?";
    }
    return std::string(ZvString_AS_STRING(r.get()), ZvString_GET_SIZE(r.get()));
}

std::string annotation(ZvCodeObject *co, int op, int arg, int next)
{
    switch (_ZvOpcode_ArgKind(op)) {
    case ZvOpArg_CONST: return item_text(co->co_consts, arg, true);
    case ZvOpArg_NAME: return item_text(co->co_names, arg, false);
    case ZvOpArg_LOCAL: return item_text(co->co_varnames, arg, false);
    case ZvOpArg_FREE: {
        int ncells = ZvTuple_GET_SIZE(co->co_cellvars);
        if (arg < ncells) return item_text(co->co_cellvars, arg, false);
        return item_text(co->co_freevars, arg - ncells, false);
    }
    case ZvOpArg_REL: return "to " + std::to_string((long long)next + arg);
    case ZvOpArg_ABS: return "to " + std::to_string(arg);
    default:
        if (op == COMPARE_OP) return arg >= 0 && arg <= 10 ? kCompareNames[arg] : "?";
        return "";
    }
}

} // namespace

extern "C" ZvObject *_ZvCode_Disassemble(ZvObject *code)
{
    if (code == nullptr || !ZvCode_Check(code)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *co = (ZvCodeObject *)code;
    if (!ZvString_Check(co->co_code)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *bytes = (const unsigned char *)ZvString_AS_STRING(co->co_code);
    int size = ZvString_GET_SIZE(co->co_code);
    std::string out;
    int extended = 0;
    for (int i = 0; i < size;) {
        int offset = i;
        int op = bytes[i++];
        char head[64];
        const char *name = _ZvOpcode_Name(op);
        if (name == nullptr) {
            std::snprintf(head, sizeof head, "%3d <%d>\n", offset, op);
            out += head;
            extended = 0;
            continue;
        }
        std::snprintf(head, sizeof head, "%3d %s", offset, name);
        out += head;
        if (!HAS_ARG(op)) {
            out += '\n';
            extended = 0;
            continue;
        }
        if (i + 2 > size) {
            out += " <truncated>\n";
            break;
        }
        int arg = bytes[i] | (bytes[i + 1] << 8) | extended;
        i += 2;
        extended = op == EXTENDED_ARG ? (int)((unsigned)(arg & 0xffff) << 16) : 0;
        out += ' ';
        out += std::to_string(arg);
        std::string note = op == EXTENDED_ARG ? "" : annotation(co, op, arg, i);
        if (!note.empty()) out += " (" + note + ")";
        out += '\n';
    }
    return ZvString_FromStringAndSize(out.data(), (int)out.size());
}
