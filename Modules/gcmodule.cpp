/* The cyclic garbage collector and the `gc` module.
 *
 * Every object of a type with Zv_TPFLAGS_HAVE_GC carries a ZvGC_Head in
 * front of it.  An object is born untracked (gc_refs UNTRACKED, in no
 * list), is tracked by its constructor once its fields are valid (appended
 * to generation 0, gc_refs REACHABLE), and is untracked by its deallocator
 * before its fields are torn down.  The lists are circular, doubly linked
 * and intrusive, so moving an object between lists costs a few pointer
 * writes and never allocates.
 *
 * Generation 0 counts allocations minus deallocations of collected
 * objects; past its threshold an allocation runs a collection.  Older
 * generations count the collections of the next younger one, so with the
 * default thresholds (700, 10, 10) generation 1 is examined at every 11th
 * collection and the whole heap at every 121st.  Survivors move one
 * generation older.
 *
 * A collection of generation g examines the objects of generations 0..g
 * (the "young" set) and finds those referenced only from inside it:
 *   - every object's gc_refs is set to its reference count, then each
 *     reference from one young object to another is subtracted, leaving
 *     the number of references from outside;
 *   - a walk moves the objects left at 0 to an unreachable list unless an
 *     object already known reachable refers to them (such a reference
 *     moves them back), so that typically only the garbage moves;
 *   - garbage that has a finalizer (a classic instance with __del__, a
 *     heap-type instance with tp_del) cannot be freed in a safe order: it
 *     and everything it reaches is handed to the program in gc.garbage;
 *   - the rest is broken up with tp_clear, and reference counting frees it.
 * No user code runs until tp_clear starts (the finalizer lookup never
 * compares dictionary keys), so what the walk decided still holds when
 * the clearing begins; from there on each object is taken afresh from the
 * front of the list, because clearing one may free others.
 *
 * With ZUVO_GC_STRESS every allocation of a collected object also
 * collects generation 0, and the reference arithmetic is checked: a
 * traverse function that visits a reference its object does not own shows
 * up as a fatal error instead of a premature free. */
#include "zuvo.h"
#include "zvref.h"

#include <cstdarg>
#include <cstdio>

using zv::Ref;

namespace {

struct gc_generation {
    ZvGC_Head head;
    int threshold;
    int count;
};

constexpr int NUM_GENERATIONS = 3;

#define GEN_HEAD(n) (&generations[n].head)

gc_generation generations[NUM_GENERATIONS] = {
    {{{GEN_HEAD(0), GEN_HEAD(0), 0}}, 700, 0},
    {{{GEN_HEAD(1), GEN_HEAD(1), 0}}, 10, 0},
    {{{GEN_HEAD(2), GEN_HEAD(2), 0}}, 10, 0},
};

int enabled = 1;    /* threshold collections run */
int collecting = 0; /* a collection is running: no other may start */
int debug = 0;      /* the DEBUG_* flags */
ZvObject *garbage = nullptr; /* gc.garbage, made on first need */
ZvObject *delstr = nullptr;  /* the interned "__del__" */
ZvObject *gc_str = nullptr;  /* "garbage collection", the context of a failure */

constexpr int DEBUG_STATS = 1;
constexpr int DEBUG_COLLECTABLE = 2;
constexpr int DEBUG_UNCOLLECTABLE = 4;
constexpr int DEBUG_INSTANCES = 8;
constexpr int DEBUG_OBJECTS = 16;
constexpr int DEBUG_SAVEALL = 32;
constexpr int DEBUG_LEAK =
    DEBUG_COLLECTABLE | DEBUG_UNCOLLECTABLE | DEBUG_INSTANCES | DEBUG_OBJECTS | DEBUG_SAVEALL;

inline ZvGC_Head *AS_GC(ZvObject *op) { return _Zv_AS_GC(op); }
inline ZvObject *FROM_GC(ZvGC_Head *g) { return _Zv_FROM_GC(g); }

/* --- sizes ---------------------------------------------------------------- */

/* Size of header plus an object of `basicsize` bytes, or 0 on overflow
 * (sizes stay within the signed 32-bit range the language uses). */
size_t gc_total_size(size_t basicsize)
{
    if (basicsize > (size_t)INT32_MAX - sizeof(ZvGC_Head)) return 0;
    return sizeof(ZvGC_Head) + basicsize;
}

/* Room for n items of a variable-size collected type, or 0 when n is
 * negative or the size would leave the 32-bit range. */
size_t gc_var_size(ZvTypeObject *tp, int nitems)
{
    if (nitems < 0) return 0;
    if (tp->tp_itemsize != 0 &&
        (size_t)nitems > ((size_t)INT32_MAX - (size_t)tp->tp_basicsize - sizeof(ZvGC_Head) -
                          sizeof(void *)) /
                             (size_t)tp->tp_itemsize)
        return 0;
    return _ZvObject_VAR_SIZE(tp, nitems);
}

/* --- the lists -------------------------------------------------------------- */

void gc_list_init(ZvGC_Head *list)
{
    list->gc.gc_prev = list;
    list->gc.gc_next = list;
}

bool gc_list_is_empty(ZvGC_Head *list) { return list->gc.gc_next == list; }

void gc_list_append(ZvGC_Head *node, ZvGC_Head *list)
{
    node->gc.gc_next = list;
    node->gc.gc_prev = list->gc.gc_prev;
    node->gc.gc_prev->gc.gc_next = node;
    list->gc.gc_prev = node;
}

void gc_list_unlink(ZvGC_Head *node)
{
    node->gc.gc_prev->gc.gc_next = node->gc.gc_next;
    node->gc.gc_next->gc.gc_prev = node->gc.gc_prev;
}

/* Moves node from whatever list holds it to the end of `list`. */
void gc_list_move(ZvGC_Head *node, ZvGC_Head *list)
{
    gc_list_unlink(node);
    gc_list_append(node, list);
}

/* Appends all of `from` to `to`, leaving `from` empty. */
void gc_list_merge(ZvGC_Head *from, ZvGC_Head *to)
{
    if (gc_list_is_empty(from)) return;
    ZvGC_Head *tail = to->gc.gc_prev;
    tail->gc.gc_next = from->gc.gc_next;
    tail->gc.gc_next->gc.gc_prev = tail;
    to->gc.gc_prev = from->gc.gc_prev;
    to->gc.gc_prev->gc.gc_next = to;
    gc_list_init(from);
}

long gc_list_size(ZvGC_Head *list)
{
    long n = 0;
    for (ZvGC_Head *g = list->gc.gc_next; g != list; g = g->gc.gc_next) n++;
    return n;
}

/* --- debug output ------------------------------------------------------------- */

/* Formats into a bounded buffer and writes to sys.stderr, or to the
 * process's error stream when sys has none or writing to it fails.  A
 * pending error is kept.  Writing to a program's own stderr object runs
 * its code: callers only write where that cannot disturb a collection. */
[[gnu::format(printf, 1, 2)]] void write_stderr(const char *format, ...)
{
    char buffer[1001];
    va_list va;
    va_start(va, format);
    int n = vsnprintf(buffer, sizeof buffer, format, va);
    va_end(va);
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    Ref file = Ref::borrow(ZvSys_GetObject("stderr"));
    if (!file || ZvFile_WriteString(buffer, file.get()) != 0) {
        ZvErr_Clear();
        fputs(buffer, stderr);
    }
    if (n >= (int)sizeof buffer && (!file || ZvFile_WriteString("... truncated", file.get()) != 0)) {
        ZvErr_Clear();
        fputs("... truncated", stderr);
    }
    ZvErr_Restore(t, v, tb);
}

/* --- finalizers ------------------------------------------------------------------ */

/* Whether the dictionary may hold name.  Keys are never compared (that
 * could run code): a key of another type that might equal the name counts
 * as a match, so an object is rather left in gc.garbage than cleared with
 * a finalizer that never runs. */
bool dict_may_have(ZvObject *dict, ZvObject *name)
{
    int undecided;
    return _ZvDict_GetItemNoCompare(dict, name, &undecided) != nullptr || undecided;
}

/* A plain class lookup of name, depth first and left to right like
 * attribute lookup.  A hierarchy too deep to search is taken to have the
 * name, the same safe mistake. */
bool class_has(ZvObject *cls, ZvObject *name, int depth)
{
    while (cls != nullptr && ZvClass_Check(cls)) {
        auto *cp = (ZvClassObject *)cls;
        if (dict_may_have(cp->cl_dict, name)) return true;
        ZvObject *bases = cp->cl_bases;
        if (bases == nullptr || !ZvTuple_Check(bases)) return false;
        int n = ZvTuple_GET_SIZE(bases);
        if (n == 0) return false;
        if (n > 1 && depth <= 0) return true;
        for (int i = 0; i < n - 1; i++)
            if (class_has(ZvTuple_GET_ITEM(bases, i), name, depth - 1)) return true;
        cls = ZvTuple_GET_ITEM(bases, n - 1);
    }
    return false;
}

bool has_finalizer(ZvObject *op)
{
    if (ZvInstance_Check(op)) {
        auto *inst = (ZvInstanceObject *)op;
        return dict_may_have(inst->in_dict, delstr) ||
               class_has((ZvObject *)inst->in_class, delstr, Zv_GetRecursionLimit());
    }
    ZvTypeObject *tp = Zv_TYPE(op);
    return (tp->tp_flags & Zv_TPFLAGS_HEAPTYPE) && tp->tp_del != nullptr;
}

/* --- the collection's steps ---------------------------------------------------- */

#ifdef ZUVO_GC_STRESS
#define GC_CHECK(cond, message)                                               \
    do {                                                                      \
        if (!(cond)) Zv_FatalError(message);                                  \
    } while (0)
#else
#define GC_CHECK(cond, message) ((void)0)
#endif

/* gc_refs = the reference count, for every object in young. */
void update_refs(ZvGC_Head *young)
{
    for (ZvGC_Head *g = young->gc.gc_next; g != young; g = g->gc.gc_next) {
        GC_CHECK(g->gc.gc_refs == _ZvGC_REFS_REACHABLE, "gc: tracked object in a bad state");
        GC_CHECK(Zv_REFCNT(FROM_GC(g)) > 0, "gc: tracked object with no references");
        g->gc.gc_refs = Zv_REFCNT(FROM_GC(g));
    }
}

int visit_decref(ZvObject *op, void *)
{
    if (!ZvObject_IS_GC(op)) return 0;
    ZvGC_Head *g = AS_GC(op);
    /* Objects outside young (and untracked ones) have a negative value. */
    GC_CHECK(g->gc.gc_refs != 0, "gc: an object is visited more often than it is referenced");
    if (g->gc.gc_refs > 0) g->gc.gc_refs--;
    return 0;
}

/* Subtracts the references between young objects. */
void subtract_refs(ZvGC_Head *young)
{
    for (ZvGC_Head *g = young->gc.gc_next; g != young; g = g->gc.gc_next) {
        ZvObject *op = FROM_GC(g);
        traverseproc traverse = Zv_TYPE(op)->tp_traverse;
        if (traverse != nullptr) (void)traverse(op, visit_decref, nullptr);
    }
}

/* A referent of a reachable object is reachable: one further along in
 * young is marked so, one already moved to unreachable comes back to the
 * end of young, where the walk will reach it again. */
int visit_reachable(ZvObject *op, void *arg)
{
    if (!ZvObject_IS_GC(op)) return 0;
    ZvGC_Head *g = AS_GC(op);
    if (g->gc.gc_refs == 0) {
        g->gc.gc_refs = 1;
    } else if (g->gc.gc_refs == _ZvGC_REFS_TENTATIVELY_UNREACHABLE) {
        gc_list_move(g, (ZvGC_Head *)arg);
        g->gc.gc_refs = 1;
    }
    return 0;
}

void move_unreachable(ZvGC_Head *young, ZvGC_Head *unreachable)
{
    ZvGC_Head *g = young->gc.gc_next;
    while (g != young) {
        ZvGC_Head *next;
        if (g->gc.gc_refs != 0) {
            ZvObject *op = FROM_GC(g);
            g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
            traverseproc traverse = Zv_TYPE(op)->tp_traverse;
            if (traverse != nullptr) (void)traverse(op, visit_reachable, young);
            next = g->gc.gc_next; /* the traversal may have appended to young */
        } else {
            next = g->gc.gc_next;
            gc_list_move(g, unreachable);
            g->gc.gc_refs = _ZvGC_REFS_TENTATIVELY_UNREACHABLE;
        }
        g = next;
    }
}

void move_finalizers(ZvGC_Head *unreachable, ZvGC_Head *finalizers)
{
    ZvGC_Head *next;
    for (ZvGC_Head *g = unreachable->gc.gc_next; g != unreachable; g = next) {
        next = g->gc.gc_next;
        if (!has_finalizer(FROM_GC(g))) continue;
        gc_list_move(g, finalizers);
        g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
    }
}

int visit_move(ZvObject *op, void *arg)
{
    if (!ZvObject_IS_GC(op)) return 0;
    ZvGC_Head *g = AS_GC(op);
    if (g->gc.gc_refs != _ZvGC_REFS_TENTATIVELY_UNREACHABLE) return 0;
    gc_list_move(g, (ZvGC_Head *)arg);
    g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
    return 0;
}

/* Everything a finalizer can reach must outlive it. */
void move_finalizer_reachable(ZvGC_Head *finalizers)
{
    for (ZvGC_Head *g = finalizers->gc.gc_next; g != finalizers; g = g->gc.gc_next) {
        ZvObject *op = FROM_GC(g);
        traverseproc traverse = Zv_TYPE(op)->tp_traverse;
        if (traverse != nullptr) (void)traverse(op, visit_move, finalizers);
    }
}

void debug_instance(const char *msg, ZvInstanceObject *inst)
{
    ZvObject *name = inst->in_class != nullptr ? inst->in_class->cl_name : nullptr;
    const char *cname = name != nullptr && ZvString_Check(name) ? ZvString_AS_STRING(name) : "?";
    write_stderr("gc: %.100s <%.100s instance at %p>\n", msg, cname, (void *)inst);
}

void debug_cycle(const char *msg, ZvObject *op)
{
    if ((debug & DEBUG_INSTANCES) && ZvInstance_Check(op))
        debug_instance(msg, (ZvInstanceObject *)op);
    else if (debug & DEBUG_OBJECTS)
        write_stderr("gc: %.100s <%.100s %p>\n", msg, Zv_TYPE(op)->tp_name, (void *)op);
}

/* Counts a list and reports each object in it under `msg`. */
long report(ZvGC_Head *list, const char *msg, int flag)
{
    long n = 0;
    for (ZvGC_Head *g = list->gc.gc_next; g != list; g = g->gc.gc_next) {
        n++;
        if (debug & flag) debug_cycle(msg, FROM_GC(g));
    }
    return n;
}

/* Weak reference objects do not exist yet, so no garbage can be the
 * referent of one.  When they arrive, this step clears every weak
 * reference to an unreachable object (its referent becomes None) before
 * any tp_clear runs, and only after all clearing calls the callbacks of
 * cleared references that are themselves not garbage; each such reference
 * still alive afterwards moves to `old`, and each one freed by its
 * callback counts as one more unreachable object (the result). */
long handle_weakrefs(ZvGC_Head *unreachable, ZvGC_Head *old)
{
    (void)unreachable;
    (void)old;
    return 0;
}

void ensure_garbage()
{
    if (garbage != nullptr) return;
    garbage = ZvList_New(0);
    if (garbage == nullptr) Zv_FatalError("gc couldn't create gc.garbage list");
}

/* Breaks the cycles of the unreachable objects (or, saving them all,
 * hands them to gc.garbage).  Clearing one object can free others
 * anywhere in the list, so the walk always takes the first; an object
 * still first after its clear survived (something resurrected it) and
 * moves on with the reachable ones. */
void delete_garbage(ZvGC_Head *unreachable, ZvGC_Head *old)
{
    while (!gc_list_is_empty(unreachable)) {
        ZvGC_Head *g = unreachable->gc.gc_next;
        ZvObject *op = FROM_GC(g);
        if (debug & DEBUG_SAVEALL) {
            ensure_garbage();
            (void)ZvList_Append(garbage, op); /* a failure is fatal at the end */
        } else if (inquiry clear = Zv_TYPE(op)->tp_clear) {
            Zv_INCREF(op);
            (void)clear(op);
            Zv_DECREF(op);
        }
        if (unreachable->gc.gc_next == g) {
            gc_list_move(g, old);
            g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
        }
    }
}

/* The finalizers and what they reach go to gc.garbage (only the objects
 * with a finalizer, unless saving everything) and live on in `old`. */
void handle_finalizers(ZvGC_Head *finalizers, ZvGC_Head *old)
{
    ensure_garbage();
    for (ZvGC_Head *g = finalizers->gc.gc_next; g != finalizers; g = g->gc.gc_next) {
        ZvObject *op = FROM_GC(g);
        if (((debug & DEBUG_SAVEALL) || has_finalizer(op)) && ZvList_Append(garbage, op) < 0)
            break;
    }
    gc_list_merge(finalizers, old);
}

/* An error escaping a collection would surface in unrelated code: it is
 * reported, and the process ends. */
void check_no_error()
{
    if (!ZvErr_Occurred()) return;
    if (gc_str == nullptr) gc_str = ZvString_FromString("garbage collection");
    ZvErr_WriteUnraisable(gc_str != nullptr ? gc_str : Zv_None);
    Zv_FatalError("unexpected exception during garbage collection");
}

/* Collects generation g and the younger ones; returns the number of
 * unreachable objects found. */
long collect(int g)
{
    if (delstr == nullptr) {
        delstr = ZvString_InternFromString("__del__");
        if (delstr == nullptr) Zv_FatalError("gc couldn't allocate \"__del__\"");
    }
    if (debug & DEBUG_STATS) {
        write_stderr("gc: collecting generation %d...\n", g);
        write_stderr("gc: objects in each generation: %ld %ld %ld\n", gc_list_size(GEN_HEAD(0)),
                     gc_list_size(GEN_HEAD(1)), gc_list_size(GEN_HEAD(2)));
    }

    if (g + 1 < NUM_GENERATIONS) generations[g + 1].count += 1;
    for (int i = 0; i <= g; i++) generations[i].count = 0;
    for (int i = 0; i < g; i++) gc_list_merge(GEN_HEAD(i), GEN_HEAD(g));
    ZvGC_Head *young = GEN_HEAD(g);
    ZvGC_Head *old = g + 1 < NUM_GENERATIONS ? GEN_HEAD(g + 1) : young;

    update_refs(young);
    subtract_refs(young);
    ZvGC_Head unreachable;
    gc_list_init(&unreachable);
    move_unreachable(young, &unreachable);
    if (young != old) gc_list_merge(young, old);

    ZvGC_Head finalizers;
    gc_list_init(&finalizers);
    move_finalizers(&unreachable, &finalizers);
    move_finalizer_reachable(&finalizers);

    /* From here on user code can run (a program's stderr object, weak
     * reference callbacks, the destructors tp_clear sets off).  It cannot
     * reach the unreachable objects, and the lists it can change (by
     * freeing or tracking objects) are walked afresh at every step. */
    long m = report(&unreachable, "collectable", DEBUG_COLLECTABLE);
    m += handle_weakrefs(&unreachable, old);
    delete_garbage(&unreachable, old);

    long n = report(&finalizers, "uncollectable", DEBUG_UNCOLLECTABLE);
    if (debug & DEBUG_STATS) {
        if (m + n == 0)
            write_stderr("gc: done.\n");
        else
            write_stderr("gc: done, %ld unreachable, %ld uncollectable.\n", n + m, n);
    }
    handle_finalizers(&finalizers, old);
    check_no_error();
    return n + m;
}

/* The threshold collection: the oldest generation past its threshold is
 * collected, with every younger one. */
void collect_generations()
{
    for (int i = NUM_GENERATIONS - 1; i >= 0; i--) {
        if (generations[i].count > generations[i].threshold) {
            (void)collect(i);
            return;
        }
    }
}

/* The stress build's extra collection of generation 0 at every other
 * allocation.  The counts are left as they were, so the older generations
 * keep their usual schedule (collecting the whole heap that often would
 * make large programs quadratic). */
void collect_young_for_stress()
{
    int counts[2] = {generations[0].count, generations[1].count};
    (void)collect(0);
    generations[0].count = counts[0];
    generations[1].count = counts[1];
}

/* Whether an allocation may start a collection: the collector is enabled
 * (a zero threshold disables it too), none is running, no error is
 * pending, and there is a thread to run finalizers in. */
bool may_collect_on_allocation()
{
    return enabled && generations[0].threshold != 0 && !collecting &&
           ZvThreadState_GET() != nullptr && !ZvErr_Occurred();
}

/* A full collection on request.  An error pending in the caller is kept
 * aside, so that only errors raised by the collection itself count as
 * escaping it. */
long collect_full()
{
    if (collecting) return 0;
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    collecting = 1;
    long n = collect(NUM_GENERATIONS - 1);
    collecting = 0;
    ZvErr_Restore(t, v, tb);
    return n;
}

} // namespace

extern "C" {

ZvGC_Head *_ZvGC_generation0 = GEN_HEAD(0);

ZvObject *_ZvObject_GC_Malloc(size_t basicsize)
{
    size_t total = gc_total_size(basicsize);
    if (total == 0) return ZvErr_NoMemory();
    auto *g = (ZvGC_Head *)ZvObject_Malloc(total);
    if (g == nullptr) return ZvErr_NoMemory();
    g->gc.gc_next = nullptr;
    g->gc.gc_prev = nullptr;
    g->gc.gc_refs = _ZvGC_REFS_UNTRACKED;
    generations[0].count++;
#ifdef ZUVO_GC_STRESS
    constexpr bool stress = true;
#else
    constexpr bool stress = false;
#endif
    bool due = generations[0].count > generations[0].threshold;
    if ((due || stress) && may_collect_on_allocation()) {
        collecting = 1;
        if (due)
            collect_generations();
        else
            collect_young_for_stress();
        collecting = 0;
    }
    return FROM_GC(g);
}

ZvObject *_ZvObject_GC_New(ZvTypeObject *tp)
{
    ZvObject *op = _ZvObject_GC_Malloc((size_t)tp->tp_basicsize);
    if (op != nullptr) _ZvObject_INIT(op, tp);
    return op;
}

ZvVarObject *_ZvObject_GC_NewVar(ZvTypeObject *tp, int nitems)
{
    size_t size = gc_var_size(tp, nitems);
    if (size == 0) return (ZvVarObject *)ZvErr_NoMemory();
    ZvObject *op = _ZvObject_GC_Malloc(size);
    return op ? ZvObject_InitVar((ZvVarObject *)op, tp, nitems) : nullptr;
}

/* The object must be untracked: its header moves with it, and a tracked
 * header's neighbours would keep pointing at the old address. */
ZvVarObject *_ZvObject_GC_Resize(ZvVarObject *op, int nitems)
{
    if (_ZvGC_IS_TRACKED(op)) Zv_FatalError("_ZvObject_GC_Resize: object is tracked");
    size_t size = gc_var_size(Zv_TYPE(op), nitems);
    if (size == 0) return (ZvVarObject *)ZvErr_NoMemory();
    auto *g = (ZvGC_Head *)ZvObject_Realloc(AS_GC((ZvObject *)op), sizeof(ZvGC_Head) + size);
    if (g == nullptr) return (ZvVarObject *)ZvErr_NoMemory();
    op = (ZvVarObject *)FROM_GC(g);
    op->ob_size = nitems;
    return op;
}

void ZvObject_GC_Track(void *op)
{
    ZvGC_Head *g = AS_GC((ZvObject *)op);
    if (g->gc.gc_refs != _ZvGC_REFS_UNTRACKED) Zv_FatalError("GC object already tracked");
    g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
    gc_list_append(g, _ZvGC_generation0);
}

void ZvObject_GC_UnTrack(void *op)
{
    ZvGC_Head *g = AS_GC((ZvObject *)op);
    if (g->gc.gc_refs == _ZvGC_REFS_UNTRACKED) return;
    gc_list_unlink(g);
    g->gc.gc_refs = _ZvGC_REFS_UNTRACKED;
    g->gc.gc_next = nullptr;
}

void ZvObject_GC_Del(void *op)
{
    ZvGC_Head *g = AS_GC((ZvObject *)op);
    if (g->gc.gc_refs != _ZvGC_REFS_UNTRACKED) ZvObject_GC_UnTrack(op);
    if (generations[0].count > 0) generations[0].count--;
    ZvObject_Free(g);
}

int ZvGC_Collect(void) { return (int)collect_full(); }

void _ZvGC_Dump(ZvGC_Head *g) { _ZvObject_Dump(FROM_GC(g)); }

} // extern "C"

/* --- the gc module ---------------------------------------------------------------- */

namespace {

ZvObject *gc_enable(ZvObject *, ZvObject *)
{
    enabled = 1;
    Zv_RETURN_NONE;
}

ZvObject *gc_disable(ZvObject *, ZvObject *)
{
    enabled = 0;
    Zv_RETURN_NONE;
}

ZvObject *gc_isenabled(ZvObject *, ZvObject *) { return ZvBool_FromLong(enabled); }

ZvObject *gc_collect(ZvObject *, ZvObject *) { return ZvInt_FromLong((int32_t)collect_full()); }

ZvObject *gc_set_debug(ZvObject *, ZvObject *args)
{
    if (!ZvArg_ParseTuple(args, "i:set_debug", &debug)) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *gc_get_debug(ZvObject *, ZvObject *) { return ZvInt_FromLong(debug); }

ZvObject *gc_set_threshold(ZvObject *, ZvObject *args)
{
    /* Parsed aside first: a bad later argument changes nothing. */
    int t[NUM_GENERATIONS];
    for (int i = 0; i < NUM_GENERATIONS; i++) t[i] = generations[i].threshold;
    if (!ZvArg_ParseTuple(args, "i|ii:set_threshold", &t[0], &t[1], &t[2])) return nullptr;
    for (int i = 0; i < NUM_GENERATIONS; i++) generations[i].threshold = t[i];
    Zv_RETURN_NONE;
}

ZvObject *gc_get_threshold(ZvObject *, ZvObject *)
{
    return Zv_BuildValue("(iii)", generations[0].threshold, generations[1].threshold,
                         generations[2].threshold);
}

ZvObject *gc_get_count(ZvObject *, ZvObject *)
{
    return Zv_BuildValue("(iii)", generations[0].count, generations[1].count,
                         generations[2].count);
}

/* Appends every object of a generation list to `result`, except result
 * itself. */
int append_objects(ZvObject *result, ZvGC_Head *list)
{
    for (ZvGC_Head *g = list->gc.gc_next; g != list; g = g->gc.gc_next) {
        ZvObject *op = FROM_GC(g);
        if (op != result && ZvList_Append(result, op) < 0) return -1;
    }
    return 0;
}

ZvObject *gc_get_objects(ZvObject *, ZvObject *)
{
    Ref result(ZvList_New(0));
    if (!result) return nullptr;
    for (int i = 0; i < NUM_GENERATIONS; i++)
        if (append_objects(result.get(), GEN_HEAD(i)) < 0) return nullptr;
    return result.release();
}

/* Stops the traversal (returning 1) at a reference to any of the objects
 * in the tuple. */
int referrers_visit(ZvObject *op, void *arg)
{
    auto *objs = (ZvObject *)arg;
    for (int i = 0; i < ZvTuple_GET_SIZE(objs); i++)
        if (ZvTuple_GET_ITEM(objs, i) == op) return 1;
    return 0;
}

/* Neither a list nor a tuple can change while it is traversed here:
 * appending to `result` runs no code. */
int append_referrers(ZvGC_Head *list, ZvObject *objs, ZvObject *result)
{
    for (ZvGC_Head *g = list->gc.gc_next; g != list; g = g->gc.gc_next) {
        ZvObject *op = FROM_GC(g);
        if (op == objs || op == result) continue;
        traverseproc traverse = Zv_TYPE(op)->tp_traverse;
        if (traverse == nullptr || traverse(op, referrers_visit, objs) == 0) continue;
        if (ZvList_Append(result, op) < 0) return -1;
    }
    return 0;
}

ZvObject *gc_get_referrers(ZvObject *, ZvObject *args)
{
    Ref result(ZvList_New(0));
    if (!result) return nullptr;
    for (int i = 0; i < NUM_GENERATIONS; i++)
        if (append_referrers(GEN_HEAD(i), args, result.get()) < 0) return nullptr;
    return result.release();
}

/* Appends a referent; a failed append stops the traversal. */
int referents_visit(ZvObject *op, void *arg) { return ZvList_Append((ZvObject *)arg, op) < 0; }

ZvObject *gc_get_referents(ZvObject *, ZvObject *args)
{
    Ref result(ZvList_New(0));
    if (!result) return nullptr;
    for (int i = 0; i < ZvTuple_GET_SIZE(args); i++) {
        ZvObject *op = ZvTuple_GET_ITEM(args, i);
        if (!ZvObject_IS_GC(op)) continue;
        traverseproc traverse = Zv_TYPE(op)->tp_traverse;
        if (traverse != nullptr && traverse(op, referents_visit, result.get()) != 0) return nullptr;
    }
    return result.release();
}

const char enable_doc[] = "enable() -> None\n\nEnable automatic garbage collection.\n";
const char disable_doc[] = "disable() -> None\n\nDisable automatic garbage collection.\n";
const char isenabled_doc[] = "isenabled() -> status\n\nReturns true if automatic garbage "
                             "collection is enabled.\n";
const char collect_doc[] = "collect() -> n\n\nRun a full collection.  The number of unreachable "
                           "objects is returned.\n";
const char set_debug_doc[] =
    "set_debug(flags) -> None\n\n"
    "Set the garbage collection debugging flags. Debugging information is\n"
    "written to sys.stderr.\n\n"
    "flags is an integer and can have the following bits turned on:\n\n"
    "  DEBUG_STATS - Print statistics during collection.\n"
    "  DEBUG_COLLECTABLE - Print collectable objects found.\n"
    "  DEBUG_UNCOLLECTABLE - Print unreachable but uncollectable objects found.\n"
    "  DEBUG_INSTANCES - Print instance objects.\n"
    "  DEBUG_OBJECTS - Print objects other than instances.\n"
    "  DEBUG_SAVEALL - Save objects to gc.garbage rather than freeing them.\n"
    "  DEBUG_LEAK - Debug leaking programs (everything but STATS).\n";
const char get_debug_doc[] = "get_debug() -> flags\n\nGet the garbage collection debugging "
                             "flags.\n";
const char set_threshold_doc[] = "set_threshold(threshold0, [threshold1, threshold2]) -> None\n\n"
                                 "Sets the collection thresholds.  Setting threshold0 to zero "
                                 "disables\ncollection.\n";
const char get_threshold_doc[] = "get_threshold() -> (threshold0, threshold1, threshold2)\n\n"
                                 "Return the current collection thresholds\n";
const char get_count_doc[] = "get_count() -> (count0, count1, count2)\n\n"
                             "Return the current collection counts\n";
const char get_objects_doc[] = "get_objects() -> [...]\n\nReturn a list of objects tracked by "
                               "the collector (excluding the list\nreturned).\n";
const char get_referrers_doc[] = "get_referrers(*objs) -> list\n"
                                 "Return the list of objects that directly refer to any of "
                                 "objs.";
const char get_referents_doc[] = "get_referents(*objs) -> list\n"
                                 "Return the list of objects that are directly referred to by "
                                 "objs.";

ZvMethodDef gc_methods[] = {
    {"enable", gc_enable, METH_NOARGS, enable_doc},
    {"disable", gc_disable, METH_NOARGS, disable_doc},
    {"isenabled", gc_isenabled, METH_NOARGS, isenabled_doc},
    {"set_debug", gc_set_debug, METH_VARARGS, set_debug_doc},
    {"get_debug", gc_get_debug, METH_NOARGS, get_debug_doc},
    {"get_count", gc_get_count, METH_NOARGS, get_count_doc},
    {"set_threshold", gc_set_threshold, METH_VARARGS, set_threshold_doc},
    {"get_threshold", gc_get_threshold, METH_NOARGS, get_threshold_doc},
    {"collect", gc_collect, METH_NOARGS, collect_doc},
    {"get_objects", gc_get_objects, METH_NOARGS, get_objects_doc},
    {"get_referrers", gc_get_referrers, METH_VARARGS, get_referrers_doc},
    {"get_referents", gc_get_referents, METH_VARARGS, get_referents_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char gc_doc[] =
    "This module provides access to the garbage collector for reference cycles.\n\n"
    "enable() -- Enable automatic garbage collection.\n"
    "disable() -- Disable automatic garbage collection.\n"
    "isenabled() -- Returns true if automatic collection is enabled.\n"
    "collect() -- Do a full collection right now.\n"
    "get_count() -- Return the current collection counts.\n"
    "set_debug() -- Set debugging flags.\n"
    "get_debug() -- Get debugging flags.\n"
    "set_threshold() -- Set the collection thresholds.\n"
    "get_threshold() -- Return the current the collection thresholds.\n"
    "get_objects() -- Return a list of all objects tracked by the collector.\n"
    "get_referrers() -- Return the list of objects that refer to an object.\n"
    "get_referents() -- Return the list of objects that an object refers to.\n";

} // namespace

extern "C" void initgc(void)
{
    ZvObject *m = Zv_InitModule4("gc", gc_methods, gc_doc, nullptr, ZUVO_API_VERSION);
    if (m == nullptr) return;
    ensure_garbage();
    Zv_INCREF(garbage);
    if (ZvModule_AddObject(m, "garbage", garbage) < 0) return;
    struct {
        const char *name;
        int value;
    } constants[] = {
        {"DEBUG_STATS", DEBUG_STATS},
        {"DEBUG_COLLECTABLE", DEBUG_COLLECTABLE},
        {"DEBUG_UNCOLLECTABLE", DEBUG_UNCOLLECTABLE},
        {"DEBUG_INSTANCES", DEBUG_INSTANCES},
        {"DEBUG_OBJECTS", DEBUG_OBJECTS},
        {"DEBUG_SAVEALL", DEBUG_SAVEALL},
        {"DEBUG_LEAK", DEBUG_LEAK},
    };
    for (const auto &c : constants)
        if (ZvModule_AddIntConstant(m, c.name, c.value) < 0) return;
}
