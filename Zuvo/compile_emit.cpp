// Emitting bytecode for one block.
//
// Instructions go straight into the record's code string at c_nexti; the
// string doubles when full (a failed resize counts an error and emission
// stops).  Forward jumps are emitted before their target is known: every
// jump to the same target holds, in its argument field, the distance back
// to the previous jump of the same chain (0 for the first), and the chain's
// anchor holds the position of the newest argument.  com_backpatch walks
// the chain and writes each jump's real distance.
//
// The stack depth is tracked as instructions are emitted, from the opcode
// table's net effect; the constructs whose jumps arrive with another depth
// than the fall-through path (loop exits, handlers) set the level
// themselves.  The line table is a string of (address increment, line
// increment) byte pairs written as statements start.
#include <cstdio>
#include <cstring>

#include <string>

#include "compile_internal.h"
#include "zvref.h"

extern "C" {
#include "zuvo.h"
#include "opcode.h"
#include "token.h"
}

namespace zv::compiler {

Compiling::~Compiling()
{
    Zv_XDECREF(c_code);
    Zv_XDECREF(c_consts);
    Zv_XDECREF(c_const_dict);
    Zv_XDECREF(c_names);
    Zv_XDECREF(c_name_dict);
    Zv_XDECREF(c_lnotab);
    ZvBlockSymbols_Clear(&c_sym);
}

// --- Errors ----------------------------------------------------------------

namespace {

// SyntaxError's value: (message, (filename, line, None, source line or None)).
void set_syntax_error(Compiling *c, const char *msg)
{
    zv::Ref text(ZvErr_ProgramText(c->c_filename, c->c_lineno));
    zv::Ref args(ZvString_FromFormat("%s", msg));
    if (!args) return;
    ZvObject *t = text ? text.get() : Zv_None;
    const char *file = c->c_filename ? c->c_filename : "???";
    zv::Ref value(Zv_BuildValue("(O(ziOO))", args.get(), file, c->c_lineno, Zv_None, t));
    if (value) ZvErr_SetObject(ZvExc_SyntaxError, value.get());
}

} // namespace

void com_error(Compiling *c, ZvObject *exc, const char *msg)
{
    c->c_errors++;
    // The first error is the one reported; later ones often follow from it.
    if (ZvErr_Occurred()) return;
    if (c->c_lineno < 1 || c->c_interactive) {
        ZvErr_SetString(exc, msg);
        return;
    }
    if (exc == ZvExc_SyntaxError) {
        set_syntax_error(c, msg);
        return;
    }
    ZvErr_SetString(exc, msg);
    ZvErr_SyntaxLocation(c->c_filename, c->c_lineno);
}

void com_failed(Compiling *c) { c->c_errors++; }

// --- Bytes and instructions --------------------------------------------------

void com_addbyte(Compiling *c, int byte)
{
    if (c->c_code == nullptr) return; // an earlier resize failed
    int len = ZvString_GET_SIZE(c->c_code);
    if (c->c_nexti >= len) {
        if (len > INT32_MAX / 2 || _ZvString_Resize(&c->c_code, 2 * len) < 0) {
            Zv_CLEAR(c->c_code);
            com_failed(c);
            return;
        }
    }
    ZvString_AS_STRING(c->c_code)[c->c_nexti++] = (char)byte;
}

namespace {

void com_addint(Compiling *c, int x)
{
    com_addbyte(c, x & 0xff);
    com_addbyte(c, (x >> 8) & 0xff);
}

void apply_effect(Compiling *c, int op, int arg)
{
    int effect = _ZvOpcode_StackEffect(op, arg);
    if (effect == ZV_STACK_VARIES) {
        com_error(c, ZvExc_SystemError, "com_addoparg: bad argument");
        return;
    }
    if (effect > 0)
        com_push(c, effect);
    else
        com_pop(c, -effect);
}

} // namespace

void com_addop(Compiling *c, int op)
{
    com_addbyte(c, op);
    apply_effect(c, op, 0);
}

void com_addoparg(Compiling *c, int op, int arg)
{
    if (arg > 0xffff) {
        com_addbyte(c, EXTENDED_ARG);
        com_addint(c, arg >> 16);
    }
    com_addbyte(c, op);
    com_addint(c, arg & 0xffff);
    apply_effect(c, op, arg);
}

// --- Forward jumps -------------------------------------------------------------

void com_addfwref(Compiling *c, int op, int *anchor)
{
    com_addbyte(c, op);
    int here = c->c_nexti;
    int link = *anchor ? here - *anchor : 0;
    // A link that does not fit would break the chain; the older jump's own
    // distance would not fit either.
    if (link > 0xffff) {
        com_error(c, ZvExc_SystemError, "com_backpatch: offset too large");
        link = 0;
    }
    com_addint(c, link);
    *anchor = here;
    apply_effect(c, op, 0);
}

void com_backpatch(Compiling *c, int anchor)
{
    if (c->c_code == nullptr) return;
    auto *code = (unsigned char *)ZvString_AS_STRING(c->c_code);
    int target = c->c_nexti;
    while (anchor > 0 && anchor + 1 < c->c_nexti) {
        int prev = code[anchor] | (code[anchor + 1] << 8);
        int dist = target - (anchor + 2);
        if (dist > 0xffff) {
            com_error(c, ZvExc_SystemError, "com_backpatch: offset too large");
            return;
        }
        code[anchor] = dist & 0xff;
        code[anchor + 1] = (dist >> 8) & 0xff;
        if (prev == 0) break;
        anchor -= prev;
    }
}

// --- Stack depth and blocks ----------------------------------------------------

void com_push(Compiling *c, int n)
{
    c->c_stacklevel += n;
    if (c->c_stacklevel > c->c_maxstacklevel) c->c_maxstacklevel = c->c_stacklevel;
}

void com_pop(Compiling *c, int n)
{
    c->c_stacklevel -= n;
    if (c->c_stacklevel < 0) c->c_stacklevel = 0;
}

void com_set_level(Compiling *c, int level)
{
    c->c_stacklevel = 0;
    com_push(c, level);
}

void block_push(Compiling *c, int type)
{
    if (c->c_nblocks >= kMaxBlocks) {
        com_error(c, ZvExc_SystemError, "too many statically nested blocks");
        return;
    }
    c->c_block[c->c_nblocks++] = type;
}

void block_pop(Compiling *c, int type)
{
    if (c->c_nblocks > 0) c->c_nblocks--;
    if (c->c_block[c->c_nblocks] != type && c->c_errors == 0)
        com_error(c, ZvExc_SystemError, "bad block pop");
}

// --- The line table -------------------------------------------------------------

namespace {

void lnotab_add(Compiling *c, int addr, int line)
{
    if (c->c_lnotab == nullptr) return;
    int len = ZvString_GET_SIZE(c->c_lnotab);
    if (c->c_lnotab_next + 2 > len) {
        if (len > INT32_MAX / 2 || _ZvString_Resize(&c->c_lnotab, 2 * len) < 0) {
            Zv_CLEAR(c->c_lnotab);
            com_failed(c);
            return;
        }
    }
    char *p = ZvString_AS_STRING(c->c_lnotab) + c->c_lnotab_next;
    p[0] = (char)addr;
    p[1] = (char)line;
    c->c_lnotab_next += 2;
}

} // namespace

void com_set_lineno(Compiling *c, int lineno)
{
    c->c_lineno = lineno;
    if (!c->c_lineno_set) {
        c->c_firstlineno = c->c_last_line = lineno;
        c->c_lineno_set = true;
        return;
    }
    int incr_addr = c->c_nexti - c->c_last_addr;
    int incr_line = lineno - c->c_last_line;
    // The table holds unsigned increments.  A line below the last recorded
    // one (a multi-line expression whose parts are compiled out of source
    // order) gets no entry: its instructions count to the higher line, and
    // every later line stays exact.
    if (incr_line < 0) return;
    c->c_lnotab_last = c->c_lnotab_next;
    while (incr_addr > 255) {
        lnotab_add(c, 255, 0);
        incr_addr -= 255;
    }
    while (incr_line > 255) {
        lnotab_add(c, incr_addr, 255);
        incr_line -= 255;
        incr_addr = 0;
    }
    if (incr_addr > 0 || incr_line > 0) lnotab_add(c, incr_addr, incr_line);
    c->c_last_addr = c->c_nexti;
    c->c_last_line = lineno;
}

void com_drop_dangling_lineno(Compiling *c)
{
    if (c->c_last_addr == c->c_nexti && c->c_lnotab_next > c->c_lnotab_last)
        c->c_lnotab_next = c->c_lnotab_last;
}

// --- Constants and names ----------------------------------------------------------

namespace {

// The slot of `v` in `list`, keyed by (value, type) in `dict`.
int com_add(Compiling *c, ZvObject *list, ZvObject *dict, ZvObject *v)
{
    if (list == nullptr || dict == nullptr || v == nullptr) {
        com_failed(c);
        return -1;
    }
    zv::Ref key(ZvTuple_Pack(2, v, (ZvObject *)Zv_TYPE(v)));
    if (!key) {
        com_failed(c);
        return -1;
    }
    ZvObject *found = ZvDict_GetItem(dict, key.get());
    if (found != nullptr) return (int)ZvInt_AS_LONG(found);
    if (ZvErr_Occurred()) {
        com_failed(c);
        return -1;
    }
    int n = ZvList_GET_SIZE(list);
    zv::Ref index(ZvInt_FromLong(n));
    if (!index || ZvList_Append(list, v) < 0 || ZvDict_SetItem(dict, key.get(), index.get()) < 0) {
        com_failed(c);
        return -1;
    }
    return n;
}

} // namespace

int com_addconst(Compiling *c, ZvObject *v) { return com_add(c, c->c_consts, c->c_const_dict, v); }

int com_addname(Compiling *c, ZvObject *v) { return com_add(c, c->c_names, c->c_name_dict, v); }

const char *com_mangle(Compiling *c, const char *name, char *buffer)
{
    if (c->c_private && _Zv_Mangle(c->c_private, (char *)name, buffer, kMangleLen)) return buffer;
    return name;
}

int com_addnamestr(Compiling *c, const char *name)
{
    char buffer[kMangleLen];
    zv::Ref v(ZvString_InternFromString(com_mangle(c, name, buffer)));
    if (!v) {
        com_failed(c);
        return -1;
    }
    return com_addname(c, v.get());
}

void com_addopnamestr(Compiling *c, int op, const char *name)
{
    int i = com_addnamestr(c, name);
    com_addoparg(c, op, i < 0 ? 0 : i);
}

void com_addopname(Compiling *c, int op, node *n)
{
    if (TYPE(n) == NAME) {
        com_addopnamestr(c, op, STR(n));
        return;
    }
    // dotted_name: NAME ('.' NAME)*, joined into one name.
    constexpr size_t kMaxDotted = 998;
    std::string joined;
    for (int i = 0; i < NCH(n); i += 2) {
        const char *s = STR(CHILD(n, i));
        if (joined.size() + std::strlen(s) + (i ? 1 : 0) > kMaxDotted) {
            com_error(c, ZvExc_SyntaxError, "dotted_name too long");
            com_addoparg(c, op, 0);
            return;
        }
        if (i) joined += '.';
        joined += s;
    }
    com_addopnamestr(c, op, joined.c_str());
}

void com_load_const(Compiling *c, ZvObject *v)
{
    int i = com_addconst(c, v);
    com_addoparg(c, LOAD_CONST, i < 0 ? 0 : i);
}

void com_load_none(Compiling *c) { com_load_const(c, Zv_None); }

// --- Variables ------------------------------------------------------------------

int com_ref_type(Compiling *c, const char *mangled)
{
    // The constructs that finish after an error still look names up; an
    // error reported earlier stays the one reported.
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    int kind = ZvBlockSymbols_RefType(&c->c_sym, mangled);
    if (kind < 0) com_failed(c);
    if (type != nullptr) {
        ZvErr_Clear();
        ZvErr_Restore(type, value, tb);
    }
    return kind;
}

namespace {

int dict_index(ZvObject *dict, const char *name)
{
    ZvObject *v = ZvDict_GetItemString(dict, name);
    return v ? (int)ZvInt_AS_LONG(v) : 0;
}

} // namespace

void com_addop_varname(Compiling *c, VarKind kind, const char *name)
{
    if (kind != VAR_LOAD && !std::strcmp(name, "None")) {
        com_error(c, ZvExc_SyntaxError, kind == VAR_STORE ? "assignment to None" : "deleting None");
        return;
    }
    char buffer[kMangleLen];
    const char *mangled = com_mangle(c, name, buffer);
    int reftype = com_ref_type(c, mangled);
    if (reftype < 0) return;
    static const int by_name[] = {LOAD_NAME, STORE_NAME, DELETE_NAME};
    static const int fast[] = {LOAD_FAST, STORE_FAST, DELETE_FAST};
    static const int global[] = {LOAD_GLOBAL, STORE_GLOBAL, DELETE_GLOBAL};
    switch (reftype) {
    case LOCAL:
        if (c->c_ste->ste_type == TYPE_FUNCTION) {
            com_addoparg(c, fast[kind], dict_index(c->c_sym.c_locals, mangled));
            return;
        }
        break;
    case GLOBAL_EXPLICIT:
        com_addopnamestr(c, global[kind], name);
        return;
    case GLOBAL_IMPLICIT:
        if (c->flags() & CO_OPTIMIZED) {
            com_addopnamestr(c, global[kind], name);
            return;
        }
        break;
    case FREE:
    case CELL: {
        if (kind == VAR_DELETE) {
            char msg[500];
            std::snprintf(msg, sizeof msg,
                          "can not delete variable '%.400s' referenced in nested scope", name);
            com_error(c, ZvExc_SyntaxError, msg);
            return;
        }
        ZvObject *table = reftype == CELL ? c->c_sym.c_cellvars : c->c_sym.c_freevars;
        com_addoparg(c, kind == VAR_LOAD ? LOAD_DEREF : STORE_DEREF, dict_index(table, mangled));
        return;
    }
    }
    com_addopnamestr(c, by_name[kind], name);
}

} // namespace zv::compiler
