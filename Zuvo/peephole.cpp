/* The peephole pass: local rewriting of one block's bytecode.
 *
 * The code generator translates each construct in place, which leaves
 * patterns a second look can make cheaper: a tuple of constants built at
 * run time, a swap that builds and unpacks a tuple, `not` before a test,
 * jumps landing on other jumps, a `while 1` test, an implicit return after
 * an explicit one.  The pass rewrites them over a private copy of the code
 * in one forward walk, turning dropped bytes into NOPs so that every
 * offset stays put; a last walk squeezes the NOPs out, retargeting every
 * jump and the line table through a map from old offsets to new ones.
 *
 * A rewrite never spans the start of a basic block: the block numbers say
 * which offsets can be reached by a jump, so the bytes of a pattern lie in
 * one block exactly when their numbers are equal, and no jump can land in
 * the middle of what is rewritten.  Anything the pass is not sure of
 * (arguments that would need EXTENDED_ARG, a line table with 255 bytes,
 * malformed code, lack of memory) leaves the code exactly as generated. */
#include <cstring>

#include "opcode.h"
#include "peephole.h"
#include "zvref.h"

namespace {

/* Longer code is left alone: below this every offset and every constant
 * index the pass can create fits a 16-bit argument. */
constexpr int kMaxCodeLength = 32700;
constexpr int kMaxArg = 0xFFFF;

int size_of(int op) { return HAS_ARG(op) ? 3 : 1; }
bool is_relative_jump(int op) { return _ZvOpcode_ArgKind(op) == ZvOpArg_REL; }
bool is_absolute_jump(int op) { return _ZvOpcode_ArgKind(op) == ZvOpArg_ABS; }
bool is_jump(int op) { return is_relative_jump(op) || is_absolute_jump(op); }
bool is_unconditional(int op) { return op == JUMP_FORWARD || op == JUMP_ABSOLUTE; }
bool is_conditional(int op) { return op == JUMP_IF_FALSE || op == JUMP_IF_TRUE; }

/* The copy of the code and the two work arrays, in one allocation. */
class Workspace {
public:
    ~Workspace() { ZvMem_Free(mem_); }
    bool alloc(int len)
    {
        size_t ints = 2 * ((size_t)len + 1);
        mem_ = ZvMem_Malloc(ints * sizeof(int) + (size_t)len);
        if (mem_ == nullptr) return false;
        blocks = (int *)mem_;
        addrmap = blocks + len + 1;
        code = (unsigned char *)(addrmap + len + 1);
        return true;
    }
    int *blocks = nullptr;  /* block number of each offset */
    int *addrmap = nullptr; /* new offset of each old offset (and of the end) */
    unsigned char *code = nullptr;

private:
    void *mem_ = nullptr;
};

class Pass {
public:
    Pass(Workspace &w, int len, ZvObject *consts, ZvObject *names)
        : code_(w.code), blocks_(w.blocks), addrmap_(w.addrmap), len_(len), consts_(consts),
          names_(names)
    {
    }

    bool number_blocks();
    bool rewrite();
    void map_addresses();
    int squeeze();
    void fix_line_table(unsigned char *tab, int n) const;

private:
    int arg(int i) const { return code_[i + 1] | code_[i + 2] << 8; }
    void set_arg(int i, int a)
    {
        code_[i + 1] = (unsigned char)(a & 0xff);
        code_[i + 2] = (unsigned char)(a >> 8);
    }
    int target(int i) const { return is_absolute_jump(code_[i]) ? arg(i) : i + 3 + arg(i); }
    /* The n bytes from offset i lie in one basic block. */
    bool one_block(int i, int n) const
    {
        return i >= 0 && i + n <= len_ && blocks_[i] == blocks_[i + n - 1];
    }
    void nop(int from, int to) { memset(code_ + from, NOP, (size_t)(to - from)); }
    int map(int addr) const { return addr <= len_ ? addrmap_[addr] : addr - nops_; }
    ZvObject *constant(int index) const
    {
        return index < ZvList_GET_SIZE(consts_) ? ZvList_GET_ITEM(consts_, index) : nullptr;
    }

    void negated_test(int i);
    void dead_return(int i);
    bool constant_true_test(int i);
    bool none_constant(int i);
    bool fold_tuple(int i, int loads);
    void pack_unpack(int i);
    void negated_compare(int i);
    bool thread_conditional(int i);
    void thread_jump(int i);

    unsigned char *code_;
    int *blocks_;
    int *addrmap_;
    int len_;
    int nops_ = 0; /* NOP instructions left by the rewrites */
    static constexpr int kUnknown = -2, kMissing = -1;
    int none_index_ = kUnknown; /* first None among the constants */
    ZvObject *consts_;
    ZvObject *names_;
};

/* Numbers the basic blocks: a jump target starts a new one.  Refuses code
 * with an EXTENDED_ARG, a truncated instruction or a jump that does not
 * land on an instruction inside the code. */
bool Pass::number_blocks()
{
    int *starts = addrmap_; /* borrowed until map_addresses */
    memset(starts, 0, sizeof(int) * ((size_t)len_ + 1));
    memset(blocks_, 0, sizeof(int) * ((size_t)len_ + 1));
    for (int i = 0; i < len_; i += size_of(code_[i])) {
        int op = code_[i];
        if (op == EXTENDED_ARG || i + size_of(op) > len_) return false;
        starts[i] = 1;
        if (!is_jump(op)) continue;
        int t = target(i);
        if (t >= len_) return false;
        blocks_[t] = 1;
    }
    int n = 0;
    for (int x = 0; x < len_; x++) {
        if (blocks_[x] && !starts[x]) return false;
        n += blocks_[x];
        blocks_[x] = n;
    }
    return true;
}

/* `not x` tested by JUMP_IF_FALSE whose target pops the value: test x with
 * JUMP_IF_TRUE to the same target. */
void Pass::negated_test(int i)
{
    if (i + 5 > len_ || code_[i + 1] != JUMP_IF_FALSE || code_[i + 4] != POP_TOP ||
        !one_block(i, 5))
        return;
    if (code_[target(i + 1)] != POP_TOP) return;
    int a = arg(i + 1) + 1; /* the jump now starts a byte earlier */
    if (a > kMaxArg) return;
    code_[i] = JUMP_IF_TRUE;
    set_arg(i, a);
    code_[i + 3] = POP_TOP;
    code_[i + 4] = NOP;
}

/* A return that nothing can reach right after another: drop the second
 * (the implicit `return None` after an explicit return).  The byte after
 * the first return must start a three-byte instruction, so that the
 * second really is an instruction and not an argument byte of 83. */
void Pass::dead_return(int i)
{
    if (i + 5 > len_ || code_[i + 4] != RETURN_VALUE || !one_block(i, 5)) return;
    if (!HAS_ARG(code_[i + 1])) return;
    nop(i + 1, i + 5);
}

/* A test of a true constant (`while 1:`): the test and its pop go. */
bool Pass::constant_true_test(int i)
{
    if (i + 7 > len_ || code_[i + 3] != JUMP_IF_FALSE || code_[i + 6] != POP_TOP ||
        !one_block(i, 7))
        return false;
    zv::Ref c = zv::Ref::borrow(constant(arg(i)));
    if (!c) return false;
    int truth = ZvObject_IsTrue(c.get());
    if (truth < 0) ZvErr_Clear();
    if (truth <= 0) return false;
    nop(i, i + 7);
    return true;
}

/* A lookup of the name None: a load of the None constant when the block
 * already has one. */
bool Pass::none_constant(int i)
{
    int ni = arg(i);
    if (ni >= ZvTuple_GET_SIZE(names_)) return false;
    ZvObject *name = ZvTuple_GET_ITEM(names_, ni);
    if (!ZvString_Check(name) || ZvString_GET_SIZE(name) != 4 ||
        memcmp(ZvString_AS_STRING(name), "None", 4) != 0)
        return false;
    if (none_index_ == kUnknown) {
        /* Found once: the pass appends only tuples, never None. */
        none_index_ = kMissing;
        int n = ZvList_GET_SIZE(consts_);
        for (int k = 0; k < n && k <= kMaxArg && none_index_ == kMissing; k++)
            if (ZvList_GET_ITEM(consts_, k) == Zv_None) none_index_ = k;
    }
    if (none_index_ == kMissing) return false;
    code_[i] = LOAD_CONST;
    set_arg(i, none_index_);
    return true;
}

/* BUILD_TUPLE n right after n constant loads (`loads` counts the loads
 * before it): one load of a new tuple constant. */
bool Pass::fold_tuple(int i, int loads)
{
    int n = arg(i);
    int first = i - 3 * n;
    if (n > loads || first < 0 || !one_block(first, 3 * n + 3)) return false;
    int index = ZvList_GET_SIZE(consts_);
    if (index > kMaxArg) return false;
    zv::Ref tuple(ZvTuple_New(n));
    if (!tuple) {
        ZvErr_Clear();
        return false;
    }
    for (int k = 0; k < n; k++) {
        int at = first + 3 * k;
        ZvObject *c = code_[at] == LOAD_CONST ? constant(arg(at)) : nullptr;
        if (c == nullptr) return false;
        Zv_INCREF(c);
        ZvTuple_SET_ITEM(tuple.get(), k, c);
    }
    if (ZvList_Append(consts_, tuple.get()) < 0) {
        ZvErr_Clear();
        return false;
    }
    nop(first, i);
    code_[i] = LOAD_CONST;
    set_arg(i, index);
    return true;
}

/* BUILD_TUPLE or BUILD_LIST n unpacked at once into n targets: for up to
 * three items, rotations do the same without the sequence. */
void Pass::pack_unpack(int i)
{
    int n = arg(i);
    if (i + 6 > len_ || code_[i + 3] != UNPACK_SEQUENCE || arg(i + 3) != n || !one_block(i, 6))
        return;
    switch (n) {
    case 1: nop(i, i + 6); break;
    case 2:
        code_[i] = ROT_TWO;
        nop(i + 1, i + 6);
        break;
    case 3:
        code_[i] = ROT_THREE;
        code_[i + 1] = ROT_TWO;
        nop(i + 2, i + 6);
        break;
    default: break;
    }
}

/* `not (a in b)` and `not (a is b)`: the opposite comparison. */
void Pass::negated_compare(int i)
{
    int a = arg(i);
    if (a < ZvCmp_IN || a > ZvCmp_IS_NOT || i + 4 > len_ || code_[i + 3] != UNARY_NOT ||
        !one_block(i, 4))
        return;
    set_arg(i, a ^ 1);
    code_[i + 3] = NOP;
}

/* A conditional jump onto another conditional jump: the same kind jumps
 * on, the opposite kind falls through, as the tested value is the same.
 * False when the target is no conditional jump. */
bool Pass::thread_conditional(int i)
{
    int t = target(i);
    int op = code_[t];
    if (!is_conditional(op)) return false;
    int dest = op == code_[i] ? target(t) : t + 3;
    int a = dest - i - 3;
    if (dest < len_ && a >= 0 && a <= kMaxArg) set_arg(i, a);
    return true;
}

/* A jump or block setup whose target is an unconditional jump goes
 * straight to that jump's destination.  JUMP_FORWARD becomes absolute (the
 * destination may lie behind it); the other relative ones never go
 * backwards. */
void Pass::thread_jump(int i)
{
    int t = target(i);
    if (!is_unconditional(code_[t])) return;
    int dest = target(t);
    if (dest >= len_) return;
    int op = code_[i] == JUMP_FORWARD ? (int)JUMP_ABSOLUTE : (int)code_[i];
    int a = dest;
    if (is_relative_jump(op)) {
        a = dest - i - 3;
        if (a < 0) return;
    }
    if (a > kMaxArg) return;
    code_[i] = (unsigned char)op;
    set_arg(i, a);
}

/* The forward walk over the instructions; false gives up. */
bool Pass::rewrite()
{
    int loads = 0; /* consecutive LOAD_CONSTs just before the current one */
    for (int i = 0; i < len_; i += size_of(code_[i])) {
        int before = loads;
        loads = 0;
        switch (code_[i]) {
        case UNARY_NOT: negated_test(i); break;
        case RETURN_VALUE: dead_return(i); break;
        case LOAD_CONST:
            if (!constant_true_test(i)) loads = before + 1;
            break;
        case LOAD_NAME:
        case LOAD_GLOBAL:
            if (none_constant(i)) loads = before + 1;
            break;
        case BUILD_TUPLE:
            if (fold_tuple(i, before)) {
                loads = 1;
                break;
            }
            [[fallthrough]];
        case BUILD_LIST: pack_unpack(i); break;
        case COMPARE_OP: negated_compare(i); break;
        case JUMP_IF_FALSE:
        case JUMP_IF_TRUE:
            if (thread_conditional(i)) break;
            [[fallthrough]];
        case FOR_ITER:
        case JUMP_FORWARD:
        case JUMP_ABSOLUTE:
        case CONTINUE_LOOP:
        case SETUP_LOOP:
        case SETUP_EXCEPT:
        case SETUP_FINALLY: thread_jump(i); break;
        case EXTENDED_ARG: return false;
        default: break;
        }
    }
    return true;
}

/* Every old offset (and the end) to its new one: minus the NOPs before. */
void Pass::map_addresses()
{
    nops_ = 0;
    for (int i = 0; i < len_;) {
        int size = size_of(code_[i]);
        for (int k = 0; k < size && i + k < len_; k++) addrmap_[i + k] = i + k - nops_;
        if (code_[i] == NOP) nops_++;
        i += size;
    }
    addrmap_[len_] = len_ - nops_;
}

/* Copies the instructions down over the NOPs, with jumps retargeted; the
 * new length.  Each instruction moves down or stays, and its bytes are
 * read before they are written. */
int Pass::squeeze()
{
    int out = 0;
    for (int i = 0; i < len_;) {
        int op = code_[i];
        int size = size_of(op);
        if (op == NOP) {
            i += size;
            continue;
        }
        if (size == 3) {
            int a = arg(i);
            if (is_absolute_jump(op))
                a = map(a);
            else if (is_relative_jump(op))
                a = map(i + 3 + a) - map(i) - 3;
            code_[out] = (unsigned char)op;
            code_[out + 1] = (unsigned char)(a & 0xff);
            code_[out + 2] = (unsigned char)(a >> 8);
        } else {
            code_[out] = (unsigned char)op;
        }
        out += size;
        i += size;
    }
    return out;
}

/* The address increments of the line table, through the address map; the
 * line increments stay. */
void Pass::fix_line_table(unsigned char *tab, int n) const
{
    int old_addr = 0, new_addr = 0;
    for (int k = 0; k + 1 < n; k += 2) {
        old_addr += tab[k];
        int mapped = map(old_addr);
        tab[k] = (unsigned char)(mapped - new_addr);
        new_addr = mapped;
    }
}

ZvObject *unchanged(ZvObject *code)
{
    Zv_XINCREF(code);
    return code;
}

/* Drops the constants a pass that gave up had appended. */
void drop_constants(ZvObject *consts, int n)
{
    if (ZvList_GET_SIZE(consts) > n &&
        ZvList_SetSlice(consts, n, ZvList_GET_SIZE(consts), nullptr) < 0)
        ZvErr_Clear();
}

} // namespace

extern "C" ZvObject *_ZvCode_Optimize(ZvObject *code, ZvObject *consts, ZvObject *names,
                                      ZvObject *lnotab)
{
    if (ZvErr_Occurred() || code == nullptr || !ZvString_Check(code) || consts == nullptr ||
        !ZvList_Check(consts) || names == nullptr || !ZvTuple_Check(names) ||
        lnotab == nullptr || !ZvString_Check(lnotab))
        return unchanged(code);
    int len = ZvString_GET_SIZE(code);
    auto *tab = (unsigned char *)ZvString_AS_STRING(lnotab);
    int tablen = ZvString_GET_SIZE(lnotab);
    if (len == 0 || len > kMaxCodeLength || memchr(tab, 255, (size_t)tablen) != nullptr)
        return unchanged(code);
    Workspace w;
    if (!w.alloc(len)) return unchanged(code);
    memcpy(w.code, ZvString_AS_STRING(code), (size_t)len);

    int nconsts = ZvList_GET_SIZE(consts);
    Pass pass(w, len, consts, names);
    if (!pass.number_blocks() || !pass.rewrite()) {
        drop_constants(consts, nconsts);
        return unchanged(code);
    }
    pass.map_addresses();
    int newlen = pass.squeeze();
    ZvObject *result = ZvString_FromStringAndSize((const char *)w.code, newlen);
    if (result == nullptr) {
        ZvErr_Clear();
        drop_constants(consts, nconsts);
        return unchanged(code);
    }
    pass.fix_line_table(tab, tablen);
    return result;
}
