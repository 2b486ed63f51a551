/* Verification of bytecode before it first runs.
 *
 * Code objects can be made by hand or read from marshal data, so the
 * bytes are checked once, before the evaluation loop trusts them: every
 * opcode valid, every operand inside the table it indexes, every jump on
 * the start of an instruction, and the value stack within [block level,
 * co_stacksize] on every path.  The loop then checks only what depends on
 * run-time values.
 *
 * The walk is an abstract interpretation over states (stack depth, block
 * stack, mark).  Blocks record the depth at their setup, which is exactly
 * where unwinding leaves the stack, so each setup opcode adds the edges of
 * its handler: the exception edge (three more items), for finally blocks
 * also the return/continue edge (two) and the break edge (one), for loops
 * the break edge.  The "mark" is the position of an item that a handler
 * pushed (an exception type or an unwinding status): END_FINALLY with that
 * item on top re-raises or resumes unwinding, it never falls through.
 * Without the mark, every finally body would seem to fall through at three
 * different depths and honest code would be refused.
 *
 * A continue that passes through a finally body travels as a value on the
 * stack, which hand-made bytecode could forge anywhere: the walk records
 * where each CONTINUE_LOOP lands (target, stack depth, block count), the
 * code object keeps that list, and the loop refuses at run time a continue
 * that would land anywhere else.
 *
 * States with the same depth and block stack merge (their marks
 * intersect), which keeps the number of states per instruction small for
 * anything a compiler writes; a budget refuses pathological input. */
#include "zuvo.h"
#include "opcode.h"

#include <map>
#include <set>
#include <tuple>
#include <vector>

namespace {

constexpr int MAX_STATES_PER_UNIT = 256;
constexpr long MAX_STEPS = 4000000;

struct Unit {
    int op = 0;
    int arg = 0;
    int start = 0; /* of the unit (an EXTENDED_ARG prefix included) */
    int next = 0;  /* offset of the following unit */
    int ncells = 0; /* MAKE_CLOSURE: free variables of the code it takes */
};

/* Block stacks are interned as a tree: each id is a parent id plus one
 * block, so states share their common prefixes. */
struct BlockStacks {
    struct Node {
        int parent;
        int depth; /* number of blocks */
        ZvTryBlock block;
    };
    std::vector<Node> nodes{{-1, 0, {0, 0, 0}}}; /* id 0: empty */
    std::map<std::tuple<int, int, int, int>, int> index;

    int push(int parent, int type, int handler, int level)
    {
        auto key = std::make_tuple(parent, type, handler, level);
        auto it = index.find(key);
        if (it != index.end()) return it->second;
        nodes.push_back({parent, nodes[parent].depth + 1, {type, handler, level}});
        int id = (int)nodes.size() - 1;
        index.emplace(key, id);
        return id;
    }
    int count(int id) const { return nodes[id].depth; }
    const ZvTryBlock &top(int id) const { return nodes[id].block; }
    int pop(int id) const { return nodes[id].parent; }
    int floor(int id) const { return id == 0 ? 0 : nodes[id].block.b_level; }
};

struct State {
    int depth;
    int blocks;
    int mark; /* position of a handler-pushed item, or -1 */
};

/* The binary and in-place operators: two operands, one result. */
bool is_binary(int op)
{
    return (op >= BINARY_POWER && op <= INPLACE_TRUE_DIVIDE) ||
           (op >= INPLACE_ADD && op <= INPLACE_MODULO) ||
           (op >= BINARY_LSHIFT && op <= INPLACE_POWER) ||
           (op >= INPLACE_LSHIFT && op <= INPLACE_OR);
}
/* How many items an instruction reads from the top of the stack (needs)
 * and how many it removes before pushing its results (pops). */
void stack_use(const Unit &u, int *needs, int *pops)
{
    int arg = u.arg;
    int nargs = (arg & 0xff) + 2 * ((arg >> 8) & 0xff);
    int n = 0;
    switch (u.op) {
    case NOP: case PRINT_NEWLINE: case BREAK_LOOP: case LOAD_LOCALS: case POP_BLOCK:
    case DELETE_NAME: case DELETE_GLOBAL: case LOAD_CONST: case LOAD_NAME: case BUILD_MAP:
    case JUMP_FORWARD: case JUMP_ABSOLUTE: case LOAD_GLOBAL: case CONTINUE_LOOP:
    case SETUP_LOOP: case SETUP_EXCEPT: case SETUP_FINALLY: case LOAD_FAST: case DELETE_FAST:
    case LOAD_CLOSURE: case LOAD_DEREF:
        n = 0;
        break;
    case DUP_TOP: *needs = 1; *pops = 0; return;
    case DUP_TOPX: *needs = arg; *pops = 0; return;
    case JUMP_IF_FALSE: case JUMP_IF_TRUE: *needs = 1; *pops = 0; return;
    case IMPORT_FROM: *needs = 1; *pops = 0; return;
    case ROT_TWO: n = 2; break;
    case ROT_THREE: n = 3; break;
    case ROT_FOUR: n = 4; break;
    case SLICE_0: case DELETE_SLICE_0: n = 1; break;
    case SLICE_1: case SLICE_2: case STORE_SLICE_0: case DELETE_SLICE_1: case DELETE_SLICE_2:
        n = 2;
        break;
    case SLICE_3: case STORE_SLICE_1: case STORE_SLICE_2: case DELETE_SLICE_3: n = 3; break;
    case STORE_SLICE_3: n = 4; break;
    case LIST_APPEND: case STORE_ATTR: case PRINT_ITEM_TO: case COMPARE_OP: case DELETE_SUBSCR:
        n = 2;
        break;
    case STORE_SUBSCR: case EXEC_STMT: case BUILD_CLASS: n = 3; break;
    case BUILD_TUPLE: case BUILD_LIST: case RAISE_VARARGS: case BUILD_SLICE: n = arg; break;
    case CALL_FUNCTION: n = nargs + 1; break;
    case CALL_FUNCTION_VAR: case CALL_FUNCTION_KW: n = nargs + 2; break;
    case CALL_FUNCTION_VAR_KW: n = nargs + 3; break;
    case MAKE_FUNCTION: n = arg + 1; break;
    case MAKE_CLOSURE: n = arg + 1 + u.ncells; break;
    case YIELD_VALUE: *needs = 1; *pops = 0; return;
    default:
        /* What is left takes its operands from the top: the binary
         * operators two, everything else (unary operators, stores, attribute
         * and import lookups, print items) one. */
        n = is_binary(u.op) ? 2 : 1;
        break;
    }
    *needs = *pops = n;
}

class Verifier {
public:
    explicit Verifier(ZvCodeObject *co) : co_(co) {}

    /* 0 when the code is sound; -1 with SystemError set. */
    int run()
    {
        if (!decode()) return -1;
        if (units_.empty()) return fail("code has no instructions");
        states_.assign(units_.size(), {});
        if (!add(0, State{0, 0, -1}, false)) return -1;
        while (!work_.empty()) {
            auto [u, s] = work_.back();
            work_.pop_back();
            if (++steps_ > MAX_STEPS) return fail("code too complex to verify");
            if (!step(u, states_[u][s])) return -1;
        }
        return 0;
    }

    /* Where a continue may land, as the flattened tuple the code object
     * keeps; NULL (no error) when the code has no CONTINUE_LOOP. */
    ZvObject *landings() const
    {
        if (landings_.empty()) return nullptr;
        ZvObject *t = ZvTuple_New(3 * (int)landings_.size());
        if (t == nullptr) return nullptr;
        int i = 0;
        for (auto [target, depth, nblocks] : landings_) {
            for (int v : {target, depth, nblocks}) {
                ZvObject *item = ZvInt_FromLong(v);
                if (item == nullptr) {
                    Zv_DECREF(t);
                    return nullptr;
                }
                ZvTuple_SET_ITEM(t, i++, item);
            }
        }
        return t;
    }

    /* Whether some path reaches offset addr with exactly this stack depth
     * and these blocks; run() must have succeeded. */
    bool resumable(int addr, int depth, const ZvTryBlock *blocks, int nblocks)
    {
        auto it = unit_at_.find(addr);
        if (it == unit_at_.end()) return false;
        for (const State &s : states_[it->second]) {
            if (s.depth != depth || stacks_.count(s.blocks) != nblocks) continue;
            bool same = true;
            int id = s.blocks;
            for (int i = nblocks - 1; i >= 0 && same; i--, id = stacks_.pop(id)) {
                const ZvTryBlock &b = stacks_.top(id);
                same = b.b_type == blocks[i].b_type && b.b_handler == blocks[i].b_handler &&
                       b.b_level == blocks[i].b_level;
            }
            if (same) return true;
        }
        return false;
    }

private:
    int fail(const char *msg)
    {
        ZvErr_Format(ZvExc_SystemError, "bad bytecode in %.200s at offset %d: %s",
                     ZvString_Check(co_->co_name) ? ZvString_AS_STRING(co_->co_name) : "?", at_,
                     msg);
        return -1;
    }

    bool decode()
    {
        auto *code = (const unsigned char *)ZvString_AS_STRING(co_->co_code);
        int n = ZvString_GET_SIZE(co_->co_code);
        for (int i = 0; i < n;) {
            Unit u;
            u.start = i;
            at_ = i;
            int op = code[i];
            int arg = 0, ext = 0;
            if (op == EXTENDED_ARG) {
                if (i + 3 > n) return fail("truncated instruction") == 0;
                ext = code[i + 1] | code[i + 2] << 8;
                i += 3;
                op = code[i < n ? i : n - 1];
                if (i >= n || !HAS_ARG(op) || op == EXTENDED_ARG)
                    return fail("EXTENDED_ARG must prefix an instruction with an argument") == 0;
            }
            if (_ZvOpcode_Name(op) == nullptr) return fail("unknown opcode") == 0;
            if (HAS_ARG(op)) {
                if (i + 3 > n) return fail("truncated instruction") == 0;
                arg = ext << 16 | code[i + 1] | code[i + 2] << 8;
                i += 3;
            } else {
                i += 1;
            }
            u.op = op;
            u.arg = arg;
            u.next = i;
            unit_at_[u.start] = (int)units_.size();
            units_.push_back(u);
        }
        for (size_t k = 0; k < units_.size(); k++)
            if (!check_operand(k)) return false;
        return true;
    }

    bool target_ok(int target) const { return unit_at_.count(target) != 0; }

    bool check_operand(size_t k)
    {
        Unit &u = units_[k];
        at_ = u.start;
        int arg = u.arg;
        switch (_ZvOpcode_ArgKind(u.op)) {
        case ZvOpArg_NAME:
            if (arg >= ZvTuple_GET_SIZE(co_->co_names)) return fail("name index out of range") == 0;
            break;
        case ZvOpArg_CONST:
            if (arg >= ZvTuple_GET_SIZE(co_->co_consts))
                return fail("constant index out of range") == 0;
            break;
        case ZvOpArg_LOCAL:
            if (arg >= co_->co_nlocals) return fail("local index out of range") == 0;
            break;
        case ZvOpArg_FREE:
            if (arg >= ZvTuple_GET_SIZE(co_->co_cellvars) + ZvTuple_GET_SIZE(co_->co_freevars))
                return fail("cell index out of range") == 0;
            break;
        case ZvOpArg_REL:
            if ((int64_t)u.next + arg > INT32_MAX || !target_ok(u.next + arg))
                return fail("jump target is not an instruction") == 0;
            break;
        case ZvOpArg_ABS:
            if (!target_ok(arg)) return fail("jump target is not an instruction") == 0;
            break;
        default: break;
        }
        switch (u.op) {
        case DUP_TOPX:
            if (arg != 2 && arg != 3) return fail("DUP_TOPX needs 2 or 3") == 0;
            break;
        case COMPARE_OP:
            if (arg > ZvCmp_EXC_MATCH) return fail("bad comparison code") == 0;
            break;
        case RAISE_VARARGS:
            if (arg > 3) return fail("bad RAISE_VARARGS count") == 0;
            break;
        case BUILD_SLICE:
            if (arg != 2 && arg != 3) return fail("bad BUILD_SLICE count") == 0;
            break;
        case MAKE_CLOSURE: {
            /* The cells it pops are as many as the code's free variables, so
             * the code must be the constant loaded just before. */
            const Unit *prev = k > 0 ? &units_[k - 1] : nullptr;
            ZvObject *c = prev != nullptr && prev->op == LOAD_CONST
                              ? ZvTuple_GET_ITEM(co_->co_consts, prev->arg)
                              : nullptr;
            if (c == nullptr || !ZvCode_Check(c))
                return fail("MAKE_CLOSURE must follow the load of its code") == 0;
            u.ncells = ZvCode_GetNumFree(c);
            break;
        }
        default: break;
        }
        return true;
    }

    /* Records a state at the unit starting at offset; jumped says whether
     * it arrives by anything but falling through. */
    bool add(int offset, State s, bool jumped)
    {
        auto it = unit_at_.find(offset);
        if (it == unit_at_.end()) return fail("execution runs past the end of the code") == 0;
        int u = it->second;
        if (jumped && units_[u].op == MAKE_CLOSURE)
            return fail("jump onto MAKE_CLOSURE") == 0;
        if (s.depth < 0 || s.depth > co_->co_stacksize) return fail("stack overflow") == 0;
        if (s.mark >= s.depth) s.mark = -1;
        auto &list = states_[u];
        for (size_t i = 0; i < list.size(); i++) {
            State &old = list[i];
            if (old.depth != s.depth || old.blocks != s.blocks) continue;
            if (old.mark != -1 && old.mark != s.mark) {
                old.mark = -1;
                work_.push_back({u, (int)i});
            }
            return true;
        }
        if ((int)list.size() >= MAX_STATES_PER_UNIT) return fail("code too complex to verify") == 0;
        list.push_back(s);
        work_.push_back({u, (int)list.size() - 1});
        return true;
    }

    bool has_loop(int id) const
    {
        for (; id != 0; id = stacks_.pop(id))
            if (stacks_.top(id).b_type == SETUP_LOOP) return true;
        return false;
    }

    bool step(int ui, State s)
    {
        const Unit &u = units_[ui];
        at_ = u.start;
        int needs, pops;
        stack_use(u, &needs, &pops);
        if (s.depth - needs < stacks_.floor(s.blocks))
            return fail("stack underflow below the current block") == 0;
        /* END_FINALLY looks at the item before popping it. */
        bool handler_item_on_top = s.mark >= 0 && s.mark == s.depth - 1;
        if (s.mark >= s.depth - pops) s.mark = -1;
        int effect = _ZvOpcode_StackEffect(u.op, u.arg);
        if (u.op == MAKE_CLOSURE) effect -= u.ncells;
        if (effect == ZV_STACK_VARIES) return fail("bad instruction argument") == 0;
        State next{s.depth + effect, s.blocks, s.mark};

        switch (u.op) {
        case RETURN_VALUE:
        case RAISE_VARARGS:
            return true;
        case BREAK_LOOP:
            if (!has_loop(s.blocks)) return fail("break outside a loop") == 0;
            return true;
        case CONTINUE_LOOP: {
            if (!has_loop(s.blocks)) return fail("continue outside a loop") == 0;
            State t = continue_state(s);
            landings_.insert({u.arg, t.depth, stacks_.count(t.blocks)});
            return add(u.arg, t, true);
        }
        case JUMP_FORWARD:
            return add(u.next + u.arg, next, true);
        case JUMP_ABSOLUTE:
            return add(u.arg, next, true);
        case JUMP_IF_FALSE:
        case JUMP_IF_TRUE:
            return add(u.next + u.arg, next, true) && add(u.next, next, false);
        case FOR_ITER:
            return add(u.next + u.arg, State{s.depth - 1, s.blocks, next.mark}, true) &&
                   add(u.next, next, false);
        case SETUP_LOOP:
        case SETUP_EXCEPT:
        case SETUP_FINALLY:
            return setup(u, s);
        case POP_BLOCK: {
            if (s.blocks == 0) return fail("POP_BLOCK without a block") == 0;
            int level = stacks_.top(s.blocks).b_level;
            int d = s.depth < level ? s.depth : level;
            return add(u.next, State{d, stacks_.pop(s.blocks), s.mark}, false);
        }
        case END_FINALLY: {
            if (handler_item_on_top) return true;
            return add(u.next, State{s.depth - 1, s.blocks, -1}, false);
        }
        default:
            return add(u.next, next, false);
        }
    }

    /* CONTINUE_LOOP's own target: the loop block stays, inner blocks go. */
    State continue_state(const State &s)
    {
        int id = s.blocks, above = -1;
        while (id != 0 && stacks_.top(id).b_type != SETUP_LOOP) {
            above = id;
            id = stacks_.pop(id);
        }
        int d = above == -1 ? s.depth : stacks_.top(above).b_level;
        return State{d, id, s.mark};
    }

    bool setup(const Unit &u, const State &s)
    {
        if (stacks_.count(s.blocks) >= CO_MAXBLOCKS) return fail("too many nested blocks") == 0;
        int handler = u.next + u.arg;
        int d = s.depth;
        int inner = stacks_.push(s.blocks, u.op, handler, d);
        if (!add(u.next, State{d, inner, s.mark}, false)) return false;
        if (u.op == SETUP_LOOP) return add(handler, State{d, s.blocks, s.mark}, true);
        /* Exception: traceback, value and type, the type on top. */
        if (!add(handler, State{d + 3, s.blocks, d + 2}, true)) return false;
        if (u.op == SETUP_EXCEPT) return true;
        /* Return or continue: the value and the status; break: the status. */
        return add(handler, State{d + 2, s.blocks, d + 1}, true) &&
               add(handler, State{d + 1, s.blocks, d}, true);
    }

    ZvCodeObject *co_;
    std::vector<Unit> units_;
    std::map<int, int> unit_at_;
    std::set<std::tuple<int, int, int>> landings_; /* continue: target, depth, blocks */
    BlockStacks stacks_;
    std::vector<std::vector<State>> states_;
    std::vector<std::pair<int, int>> work_;
    long steps_ = 0;
    int at_ = 0; /* offset of the instruction being checked, for messages */
};

} // namespace

extern "C" {

int _ZvCode_Verify(ZvCodeObject *co)
{
    if (co == nullptr || !ZvCode_Check(co)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Verifier v(co);
    if (v.run() < 0) return -1;
    ZvObject *landings = v.landings();
    if (landings == nullptr && ZvErr_Occurred()) return -1;
    Zv_XDECREF(co->co_zvcontinue);
    co->co_zvcontinue = landings;
    return 0;
}

int _ZvCode_CanResumeAt(ZvCodeObject *co, int addr, int depth, const ZvTryBlock *blocks,
                        int nblocks)
{
    Verifier v(co);
    if (v.run() < 0) {
        ZvErr_Clear();
        return 0;
    }
    return v.resumable(addr, depth, blocks, nblocks) ? 1 : 0;
}

} // extern "C"
