/* Classic classes and the core of their instances.
 *
 * A classic class ("classobj") is a name, a tuple of base classes and a
 * dictionary.  Looking a name up searches the dictionary and then the
 * bases depth first, left to right.  The hooks __getattr__, __setattr__
 * and __delattr__ are found that way once, when the class is made, and
 * kept in the class record so that every instance attribute access does
 * not search the whole hierarchy for them; they are found again whenever
 * the class's own dictionary, bases or one of those names changes.
 *
 * An instance ("instance") is its class and its own dictionary.  Its
 * attributes come from the dictionary, then from the class (functions
 * found there become bound methods through their descriptor), and last
 * from the class's __getattr__.  Its operators live in instanceslots.cpp.
 *
 * Invariants: cl_bases is always a tuple of classic classes with no cycle
 * through it, cl_dict always a dictionary and cl_name always a string;
 * in_class is always a class and in_dict always a dictionary.  Clearing
 * (for the cycle collector) empties dictionaries in place rather than
 * dropping them, so the invariants hold for garbage too. */
#include "classobject_internal.h"
#include "typeobject_internal.h"

#include <string.h>

#include <utility>

#include "zvref.h"

using zv::Ref;

namespace {

/* Interned names used here. */
ZvObject *s_doc, *s_module, *s_name, *s_getattr, *s_setattr, *s_delattr, *s_init, *s_del;

bool is_dunder(const char *s) { return s[0] == '_' && s[1] == '_'; }

/* Names that both begin and end with two underscores (and are long enough
 * for both, so "__" and "___" are not). */
bool is_special(ZvObject *name)
{
    const char *s = ZvString_AS_STRING(name);
    int n = ZvString_GET_SIZE(name);
    return n > 4 && is_dunder(s) && s[n - 1] == '_' && s[n - 2] == '_';
}

/* Attribute names reach the slots as strings (or string subclasses):
 * ZvObject_GetAttr and ZvObject_SetAttr convert or refuse anything else.
 * A native caller may still call a slot directly. */
bool check_name(ZvObject *name)
{
    if (name != nullptr && ZvString_Check(name)) return true;
    ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
    return false;
}

const char *class_name_text(ZvClassObject *cp) { return ZvString_AS_STRING(cp->cl_name); }

/* Class lookup proper; a new reference or NULL.  Recursion happens only
 * for bases before the last one, the last is followed by the loop, so a
 * long single-inheritance chain costs no native stack.  `depth` bounds the
 * recursion; *failed is set when the bound is hit.  The dictionary and
 * the bases being searched are held: a key's __eq__ run by a dictionary
 * lookup may replace either. */
ZvObject *class_lookup(ZvClassObject *cp, ZvObject *name, int depth, bool *failed)
{
    Ref hold;
    for (;;) {
        Ref dict = Ref::borrow(cp->cl_dict);
        ZvObject *value = ZvDict_GetItem(dict.get(), name);
        if (value != nullptr) {
            Zv_INCREF(value);
            return value;
        }
        Ref bases = Ref::borrow(cp->cl_bases);
        int n = ZvTuple_GET_SIZE(bases.get());
        if (n == 0) return nullptr;
        for (int i = 0; i < n - 1; i++) {
            if (depth <= 0) {
                ZvErr_SetString(ZvExc_RuntimeError,
                                "maximum recursion depth exceeded in class lookup");
                *failed = true;
                return nullptr;
            }
            auto *base = (ZvClassObject *)ZvTuple_GET_ITEM(bases.get(), i);
            value = class_lookup(base, name, depth - 1, failed);
            if (value != nullptr || *failed) return value;
        }
        cp = (ZvClassObject *)ZvTuple_GET_ITEM(bases.get(), n - 1);
        hold = std::move(bases);
    }
}

/* The (owned) value through its descriptor get, if its type has one, with
 * the given instance (or NULL) and owner.  New reference. */
ZvObject *bind_found(ZvObject *value, ZvObject *inst, ZvObject *owner)
{
    descrgetfunc f = ZvType_HasFeature(Zv_TYPE(value), Zv_TPFLAGS_HAVE_CLASS)
                         ? Zv_TYPE(value)->tp_descr_get
                         : nullptr;
    if (f == nullptr) return value;
    Ref hold(value);
    return f(value, inst, owner);
}

/* Re-reads the three cached hooks by class lookup. */
int find_hooks(ZvClassObject *cp)
{
    ZvObject **slots[] = {&cp->cl_getattr, &cp->cl_setattr, &cp->cl_delattr};
    ZvObject *names[] = {s_getattr, s_setattr, s_delattr};
    for (int i = 0; i < 3; i++) {
        ZvObject *found = _ZvClass_Lookup(cp, names[i]);
        if (found == nullptr && ZvErr_Occurred()) return -1;
        ZvObject *old = *slots[i];
        *slots[i] = found;
        Zv_XDECREF(old);
    }
    return 0;
}

bool init_names()
{
    return _ZvClass_Name(&s_doc, "__doc__") && _ZvClass_Name(&s_module, "__module__") &&
           _ZvClass_Name(&s_name, "__name__") && _ZvClass_Name(&s_getattr, "__getattr__") &&
           _ZvClass_Name(&s_setattr, "__setattr__") &&
           _ZvClass_Name(&s_delattr, "__delattr__") && _ZvClass_Name(&s_init, "__init__") &&
           _ZvClass_Name(&s_del, "__del__");
}

/* "module.name" joined from two strings (names may hold any byte). */
ZvObject *join_dotted(ZvObject *mod, ZvObject *name)
{
    int m = ZvString_GET_SIZE(mod), n = ZvString_GET_SIZE(name);
    ZvObject *r = ZvString_FromStringAndSize(nullptr, m + 1 + n);
    if (r == nullptr) return nullptr;
    char *p = ZvString_AS_STRING(r);
    memcpy(p, ZvString_AS_STRING(mod), (size_t)m);
    p[m] = '.';
    memcpy(p + m + 1, ZvString_AS_STRING(name), (size_t)n);
    return r;
}

/* --- class attributes ---------------------------------------------------- */

ZvObject *class_getattr(ZvObject *op, ZvObject *name)
{
    auto *cp = (ZvClassObject *)op;
    if (!check_name(name)) return nullptr;
    const char *sname = ZvString_AS_STRING(name);
    if (is_dunder(sname)) {
        if (strcmp(sname, "__dict__") == 0) {
            if (ZvEval_GetRestricted()) {
                ZvErr_SetString(ZvExc_RuntimeError,
                                "class.__dict__ not accessible in restricted mode");
                return nullptr;
            }
            Zv_INCREF(cp->cl_dict);
            return cp->cl_dict;
        }
        if (strcmp(sname, "__bases__") == 0) {
            Zv_INCREF(cp->cl_bases);
            return cp->cl_bases;
        }
        if (strcmp(sname, "__name__") == 0) {
            ZvObject *r = cp->cl_name != nullptr ? cp->cl_name : Zv_None;
            Zv_INCREF(r);
            return r;
        }
    }
    ZvObject *value = _ZvClass_Lookup(cp, name);
    if (value == nullptr) {
        if (!ZvErr_Occurred())
            ZvErr_Format(ZvExc_AttributeError, "class %.50s has no attribute '%.400s'",
                         class_name_text(cp), sname);
        return nullptr;
    }
    return bind_found(value, nullptr, op);
}

int set_dict(ZvClassObject *cp, ZvObject *v)
{
    if (v == nullptr || !ZvDict_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "__dict__ must be a dictionary object");
        return -1;
    }
    ZvObject *old = cp->cl_dict;
    Zv_INCREF(v);
    cp->cl_dict = v;
    _ZvType_MarkClassDict(v);
    Zv_DECREF(old);
    return find_hooks(cp);
}

int set_bases(ZvClassObject *cp, ZvObject *v)
{
    if (v == nullptr || !ZvTuple_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "__bases__ must be a tuple object");
        return -1;
    }
    int n = ZvTuple_GET_SIZE(v);
    for (int i = 0; i < n; i++) {
        ZvObject *x = ZvTuple_GET_ITEM(v, i);
        if (!ZvClass_Check(x)) {
            ZvErr_SetString(ZvExc_TypeError, "__bases__ items must be classes");
            return -1;
        }
        if (ZvClass_IsSubclass(x, (ZvObject *)cp)) {
            ZvErr_SetString(ZvExc_TypeError, "a __bases__ item causes an inheritance cycle");
            return -1;
        }
    }
    ZvObject *old = cp->cl_bases;
    Zv_INCREF(v);
    cp->cl_bases = v;
    Zv_DECREF(old);
    return find_hooks(cp);
}

int set_name(ZvClassObject *cp, ZvObject *v)
{
    if (v == nullptr || !ZvString_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "__name__ must be a string object");
        return -1;
    }
    if ((int)strlen(ZvString_AS_STRING(v)) != ZvString_GET_SIZE(v)) {
        ZvErr_SetString(ZvExc_TypeError, "__name__ must not contain null bytes");
        return -1;
    }
    ZvObject *old = cp->cl_name;
    Zv_INCREF(v);
    cp->cl_name = v;
    Zv_DECREF(old);
    return 0;
}

int class_setattr(ZvObject *op, ZvObject *name, ZvObject *v)
{
    auto *cp = (ZvClassObject *)op;
    if (ZvEval_GetRestricted()) {
        ZvErr_SetString(ZvExc_RuntimeError, "classes are read-only in restricted mode");
        return -1;
    }
    if (!check_name(name)) return -1;
    const char *sname = ZvString_AS_STRING(name);
    bool hook = false;
    if (is_special(name)) {
        if (strcmp(sname, "__dict__") == 0) return set_dict(cp, v);
        if (strcmp(sname, "__bases__") == 0) return set_bases(cp, v);
        if (strcmp(sname, "__name__") == 0) return set_name(cp, v);
        hook = strcmp(sname, "__getattr__") == 0 || strcmp(sname, "__setattr__") == 0 ||
               strcmp(sname, "__delattr__") == 0;
    }
    int r;
    if (v == nullptr) {
        r = ZvDict_DelItem(cp->cl_dict, name);
        if (r < 0)
            ZvErr_Format(ZvExc_AttributeError, "class %.50s has no attribute '%.400s'",
                         class_name_text(cp), sname);
    } else {
        r = ZvDict_SetItem(cp->cl_dict, name, v);
    }
    /* The hooks are found again rather than set to the value: deleting
     * this class's own __getattr__ uncovers a base's, which the class's
     * instances must then use. */
    if (hook && find_hooks(cp) < 0) return -1;
    return r;
}

/* --- class objects ------------------------------------------------------- */

ZvObject *class_repr(ZvObject *op)
{
    auto *cp = (ZvClassObject *)op;
    Ref mod(_ZvClass_Module(cp));
    Ref name = Ref::borrow(cp->cl_name);
    const char *n = ZvString_Check(name.get()) ? ZvString_AS_STRING(name.get()) : "?";
    if (!mod) return ZvString_FromFormat("<class ?.%s at %p>", n, (void *)op);
    return ZvString_FromFormat("<class %s.%s at %p>", ZvString_AS_STRING(mod.get()), n, (void *)op);
}

ZvObject *class_str(ZvObject *op)
{
    auto *cp = (ZvClassObject *)op;
    Ref mod(_ZvClass_Module(cp));
    Ref name = Ref::borrow(cp->cl_name);
    if (!ZvString_Check(name.get())) return class_repr(op);
    if (!mod) return name.release();
    return join_dotted(mod.get(), name.get());
}

ZvObject *class_call(ZvObject *op, ZvObject *args, ZvObject *kw)
{
    return ZvInstance_New(op, args, kw);
}

/* A class holds the hooks its lookup found, which can be other classes:
 * chains of them are freed through the depth guard like containers. */
void class_dealloc(ZvObject *op)
{
    auto *cp = (ZvClassObject *)op;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    Zv_XDECREF(cp->cl_bases);
    Zv_XDECREF(cp->cl_dict);
    Zv_XDECREF(cp->cl_name);
    Zv_XDECREF(cp->cl_getattr);
    Zv_XDECREF(cp->cl_setattr);
    Zv_XDECREF(cp->cl_delattr);
    ZvObject_GC_Del(op);
    ZvTrash_END(op)
}

int class_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *cp = (ZvClassObject *)op;
    Zv_VISIT(cp->cl_bases);
    Zv_VISIT(cp->cl_dict);
    Zv_VISIT(cp->cl_name);
    Zv_VISIT(cp->cl_getattr);
    Zv_VISIT(cp->cl_setattr);
    Zv_VISIT(cp->cl_delattr);
    return 0;
}

/* Breaks cycles through the class (its methods and hooks refer back to
 * it through their globals or im_class) by emptying its dictionary. */
int class_clear(ZvObject *op)
{
    auto *cp = (ZvClassObject *)op;
    Zv_CLEAR(cp->cl_getattr);
    Zv_CLEAR(cp->cl_setattr);
    Zv_CLEAR(cp->cl_delattr);
    ZvDict_Clear(cp->cl_dict);
    return 0;
}

ZvObject *class_new(ZvTypeObject *, ZvObject *args, ZvObject *kwds)
{
    static const char *kwlist[] = {"name", "bases", "dict", nullptr};
    ZvObject *name, *bases, *dict;
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "SOO", (char **)kwlist, &name, &bases, &dict))
        return nullptr;
    return ZvClass_New(bases, dict, name);
}

/* --- instance attributes ------------------------------------------------- */

ZvObject *instance_getattr1(ZvInstanceObject *inst, ZvObject *name)
{
    const char *sname = ZvString_AS_STRING(name);
    if (is_dunder(sname)) {
        if (strcmp(sname, "__dict__") == 0) {
            if (ZvEval_GetRestricted()) {
                ZvErr_SetString(ZvExc_RuntimeError,
                                "instance.__dict__ not accessible in restricted mode");
                return nullptr;
            }
            Zv_INCREF(inst->in_dict);
            return inst->in_dict;
        }
        if (strcmp(sname, "__class__") == 0) {
            Zv_INCREF(inst->in_class);
            return (ZvObject *)inst->in_class;
        }
    }
    ZvObject *v = _ZvInstance_GetAttrNoHook((ZvObject *)inst, name);
    if (v == nullptr && !ZvErr_Occurred())
        ZvErr_Format(ZvExc_AttributeError, "%.50s instance has no attribute '%.400s'",
                     class_name_text(inst->in_class), sname);
    return v;
}

ZvObject *instance_getattro(ZvObject *op, ZvObject *name)
{
    if (!check_name(name)) return nullptr;
    return _ZvInstance_GetAttr(op, name);
}

int instance_setattr1(ZvInstanceObject *inst, ZvObject *name, ZvObject *v)
{
    if (v == nullptr) {
        if (ZvDict_DelItem(inst->in_dict, name) == 0) return 0;
        ZvErr_Format(ZvExc_AttributeError, "%.50s instance has no attribute '%.400s'",
                     class_name_text(inst->in_class), ZvString_AS_STRING(name));
        return -1;
    }
    return ZvDict_SetItem(inst->in_dict, name, v);
}

int instance_setattro(ZvObject *op, ZvObject *name, ZvObject *v)
{
    auto *inst = (ZvInstanceObject *)op;
    if (!check_name(name)) return -1;
    const char *sname = ZvString_AS_STRING(name);
    if (is_special(name)) {
        if (strcmp(sname, "__dict__") == 0) {
            if (ZvEval_GetRestricted()) {
                ZvErr_SetString(ZvExc_RuntimeError, "__dict__ not accessible in restricted mode");
                return -1;
            }
            if (v == nullptr || !ZvDict_Check(v)) {
                ZvErr_SetString(ZvExc_TypeError, "__dict__ must be set to a dictionary");
                return -1;
            }
            ZvObject *old = inst->in_dict;
            Zv_INCREF(v);
            inst->in_dict = v;
            Zv_DECREF(old);
            return 0;
        }
        if (strcmp(sname, "__class__") == 0) {
            if (ZvEval_GetRestricted()) {
                ZvErr_SetString(ZvExc_RuntimeError,
                                "__class__ not accessible in restricted mode");
                return -1;
            }
            if (v == nullptr || !ZvClass_Check(v)) {
                ZvErr_SetString(ZvExc_TypeError, "__class__ must be set to a class");
                return -1;
            }
            ZvObject *old = (ZvObject *)inst->in_class;
            Zv_INCREF(v);
            inst->in_class = (ZvClassObject *)v;
            Zv_DECREF(old);
            return 0;
        }
    }
    /* The hook is held across the call: it may reassign itself. */
    Ref hook = Ref::borrow(v == nullptr ? inst->in_class->cl_delattr : inst->in_class->cl_setattr);
    if (!hook) return instance_setattr1(inst, name, v);
    Ref res(v == nullptr ? ZvObject_CallFunctionObjArgs(hook.get(), op, name, nullptr)
                         : ZvObject_CallFunctionObjArgs(hook.get(), op, name, v, nullptr));
    return res ? 0 : -1;
}

/* --- instance life --------------------------------------------------------- */

/* Calls __del__ (found without the __getattr__ hook) with one temporary
 * reference on the instance and the pending error put aside.  An error
 * from the finalizer is reported, never propagated. */
void call_finalizer(ZvInstanceObject *inst)
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    ZvObject *del = s_del != nullptr ? _ZvInstance_GetAttrNoHook((ZvObject *)inst, s_del) : nullptr;
    if (del != nullptr) {
        ZvObject *res = ZvObject_CallObject(del, nullptr);
        if (res == nullptr)
            ZvErr_WriteUnraisable(del);
        else
            Zv_DECREF(res);
        Zv_DECREF(del);
    } else if (ZvErr_Occurred()) {
        ZvErr_WriteUnraisable((ZvObject *)inst);
    }
    ZvErr_Restore(t, v, tb);
}

void instance_dealloc(ZvObject *op)
{
    auto *inst = (ZvInstanceObject *)op;
    ZvObject_GC_UnTrack(op);
    /* Weak references are cleared here, before the finalizer, once weak
     * reference objects exist. */
    op->ob_refcnt = 1;
    call_finalizer(inst);
    if (--op->ob_refcnt > 0) {
        /* __del__ stored the instance somewhere: it lives on, and the
         * collector must see it again. */
        ZvObject_GC_Track(op);
        return;
    }
    Zv_DECREF(inst->in_class);
    Zv_XDECREF(inst->in_dict);
    ZvObject_GC_Del(op);
}

int instance_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *inst = (ZvInstanceObject *)op;
    Zv_VISIT(inst->in_class);
    Zv_VISIT(inst->in_dict);
    return 0;
}

int instance_clear(ZvObject *op)
{
    ZvDict_Clear(((ZvInstanceObject *)op)->in_dict);
    return 0;
}

ZvObject *instance_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    ZvObject *klass, *dict = Zv_None;
    if (!ZvArg_ParseTuple(args, "O!|O:instance", &ZvClass_Type, &klass, &dict)) return nullptr;
    if (dict == Zv_None) {
        dict = nullptr;
    } else if (!ZvDict_Check(dict)) {
        ZvErr_SetString(ZvExc_TypeError, "instance() second arg must be dictionary or None");
        return nullptr;
    }
    return ZvInstance_NewRaw(klass, dict);
}

/* Whether a constructor call passed anything at all. */
bool has_arguments(ZvObject *args, ZvObject *kw)
{
    if (args != nullptr && (!ZvTuple_Check(args) || ZvTuple_GET_SIZE(args) != 0)) return true;
    return kw != nullptr && (!ZvDict_Check(kw) || ZvDict_Size(kw) != 0);
}

const char class_doc[] =
    "classobj(name, bases, dict)\n\nCreate a class object.  The name must be a string; the "
    "second argument a tuple\nof classes, and the third a dictionary.";

const char instance_doc[] =
    "instance(class[, dict])\n\nCreate an instance without calling its __init__() method.\n"
    "The class must be a classic class.\nIf present, dict must be a dictionary or None.";

} // namespace

extern "C" {

ZvObject *_ZvClass_Name(ZvObject **cache, const char *s)
{
    if (*cache == nullptr) *cache = ZvString_InternFromString(s);
    return *cache;
}

ZvObject *_ZvClass_Lookup(ZvClassObject *cp, ZvObject *name)
{
    bool failed = false;
    return class_lookup(cp, name, Zv_GetRecursionLimit(), &failed);
}

ZvObject *_ZvClass_Module(ZvClassObject *cp)
{
    if (!init_names()) {
        ZvErr_Clear();
        return nullptr;
    }
    Ref dict = Ref::borrow(cp->cl_dict);
    Ref mod = Ref::borrow(ZvDict_GetItem(dict.get(), s_module));
    return mod && ZvString_Check(mod.get()) ? mod.release() : nullptr;
}

/* The dictionary and the class are held while they are searched: a key's
 * __eq__ may assign the instance's __dict__ or __class__. */
ZvObject *_ZvInstance_GetAttrNoHook(ZvObject *op, ZvObject *name)
{
    auto *inst = (ZvInstanceObject *)op;
    Ref dict = Ref::borrow(inst->in_dict);
    ZvObject *v = ZvDict_GetItem(dict.get(), name);
    if (v != nullptr) {
        Zv_INCREF(v);
        return v;
    }
    Ref owner = Ref::borrow((ZvObject *)inst->in_class);
    v = _ZvClass_Lookup((ZvClassObject *)owner.get(), name);
    if (v == nullptr) return nullptr;
    return bind_found(v, op, owner.get());
}

ZvObject *_ZvInstance_GetAttr(ZvObject *op, ZvObject *name)
{
    auto *inst = (ZvInstanceObject *)op;
    ZvObject *res = instance_getattr1(inst, name);
    if (res != nullptr) return res;
    Ref hook = Ref::borrow(inst->in_class->cl_getattr);
    if (!hook || !ZvErr_ExceptionMatches(ZvExc_AttributeError)) return nullptr;
    ZvErr_Clear();
    return ZvObject_CallFunctionObjArgs(hook.get(), op, name, nullptr);
}

ZvObject *ZvClass_New(ZvObject *bases, ZvObject *dict, ZvObject *name)
{
    if (name == nullptr || !ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "ZvClass_New: name must be a string");
        return nullptr;
    }
    if (dict == nullptr || !ZvDict_Check(dict)) {
        ZvErr_SetString(ZvExc_TypeError, "ZvClass_New: dict must be a dictionary");
        return nullptr;
    }
    if (!init_names()) return nullptr;
    if (ZvDict_GetItem(dict, s_doc) == nullptr && ZvDict_SetItem(dict, s_doc, Zv_None) < 0)
        return nullptr;
    if (ZvDict_GetItem(dict, s_module) == nullptr) {
        ZvObject *globals = ZvEval_GetGlobals();
        ZvObject *modname = globals != nullptr ? ZvDict_GetItem(globals, s_name) : nullptr;
        if (modname != nullptr && ZvDict_SetItem(dict, s_module, modname) < 0) return nullptr;
    }
    Ref basesref;
    if (bases == nullptr) {
        basesref.reset(ZvTuple_New(0));
        if (!basesref) return nullptr;
    } else if (!ZvTuple_Check(bases)) {
        ZvErr_SetString(ZvExc_TypeError, "ZvClass_New: bases must be a tuple");
        return nullptr;
    } else {
        basesref = Ref::borrow(bases);
    }
    int n = ZvTuple_GET_SIZE(basesref.get());
    for (int i = 0; i < n; i++) {
        ZvObject *base = ZvTuple_GET_ITEM(basesref.get(), i);
        if (ZvClass_Check(base)) continue;
        /* A new-style base: the class statement belongs to its metatype. */
        auto *meta = (ZvObject *)Zv_TYPE(base);
        if (ZvCallable_Check(meta))
            return ZvObject_CallFunctionObjArgs(meta, name, basesref.get(), dict, nullptr);
        ZvErr_SetString(ZvExc_TypeError, "ZvClass_New: base must be a class");
        return nullptr;
    }
    auto *cp = ZvObject_GC_New(ZvClassObject, &ZvClass_Type);
    if (cp == nullptr) return nullptr;
    cp->cl_bases = basesref.release();
    Zv_INCREF(dict);
    cp->cl_dict = dict;
    _ZvType_MarkClassDict(dict);
    Zv_INCREF(name);
    cp->cl_name = name;
    cp->cl_getattr = cp->cl_setattr = cp->cl_delattr = nullptr;
    if (find_hooks(cp) < 0) {
        Zv_DECREF(cp);
        return nullptr;
    }
    ZvObject_GC_Track(cp);
    return (ZvObject *)cp;
}

/* Iterative over the last base and recursive over the others, with the
 * recursion bounded like class lookup's; a hierarchy too deep to search
 * counts as unrelated (this test reports no errors). */
static int is_subclass(ZvObject *klass, ZvObject *base, int depth)
{
    for (;;) {
        if (klass == base) return 1;
        if (ZvTuple_Check(base)) {
            int n = ZvTuple_GET_SIZE(base);
            for (int i = 0; i < n; i++)
                if (depth > 0 && is_subclass(klass, ZvTuple_GET_ITEM(base, i), depth - 1)) return 1;
            return 0;
        }
        if (klass == nullptr || !ZvClass_Check(klass)) return 0;
        ZvObject *bases = ((ZvClassObject *)klass)->cl_bases;
        int n = ZvTuple_GET_SIZE(bases);
        if (n == 0) return 0;
        for (int i = 0; i < n - 1; i++)
            if (depth > 0 && is_subclass(ZvTuple_GET_ITEM(bases, i), base, depth - 1)) return 1;
        klass = ZvTuple_GET_ITEM(bases, n - 1);
    }
}

int ZvClass_IsSubclass(ZvObject *klass, ZvObject *base)
{
    if (klass == nullptr || base == nullptr) return 0;
    return is_subclass(klass, base, Zv_GetRecursionLimit());
}

ZvObject *ZvInstance_NewRaw(ZvObject *klass, ZvObject *dict)
{
    if (klass == nullptr || !ZvClass_Check(klass) || (dict != nullptr && !ZvDict_Check(dict))) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    /* The finalizer's name must exist before an instance can die. */
    if (!init_names()) return nullptr;
    Ref d;
    if (dict == nullptr) {
        d.reset(ZvDict_New());
        if (!d) return nullptr;
    } else {
        d = Ref::borrow(dict);
    }
    auto *inst = ZvObject_GC_New(ZvInstanceObject, &ZvInstance_Type);
    if (inst == nullptr) return nullptr;
    inst->in_weakreflist = nullptr;
    Zv_INCREF(klass);
    inst->in_class = (ZvClassObject *)klass;
    inst->in_dict = d.release();
    ZvObject_GC_Track(inst);
    return (ZvObject *)inst;
}

ZvObject *ZvInstance_New(ZvObject *klass, ZvObject *args, ZvObject *kw)
{
    if (!init_names()) return nullptr;
    Ref inst(ZvInstance_NewRaw(klass, nullptr));
    if (!inst) return nullptr;
    Ref init(_ZvInstance_GetAttrNoHook(inst.get(), s_init));
    if (!init) {
        if (ZvErr_Occurred()) return nullptr;
        if (has_arguments(args, kw)) {
            ZvErr_SetString(ZvExc_TypeError, "this constructor takes no arguments");
            return nullptr;
        }
        return inst.release();
    }
    Ref res(ZvEval_CallObjectWithKeywords(init.get(), args, kw));
    if (!res) return nullptr;
    if (res.get() != Zv_None) {
        ZvErr_SetString(ZvExc_TypeError, "__init__() should return None");
        return nullptr;
    }
    return inst.release();
}

ZvObject *_ZvInstance_Lookup(ZvObject *op, ZvObject *name)
{
    if (op == nullptr || !ZvInstance_Check(op) || name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *inst = (ZvInstanceObject *)op;
    Ref dict = Ref::borrow(inst->in_dict);
    ZvObject *v = ZvDict_GetItem(dict.get(), name);
    if (v != nullptr)
        Zv_INCREF(v);
    else if ((v = _ZvClass_Lookup(inst->in_class, name)) == nullptr)
        return nullptr;
    dict.reset();
    /* Borrowed from a dictionary.  When only this reference is left, code
     * run by the lookup took it out of there: it is absent now. */
    bool gone = v->ob_refcnt == 1;
    Zv_DECREF(v);
    return gone ? nullptr : v;
}

ZvTypeObject ZvClass_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "classobj",                                     /* tp_name */
    sizeof(ZvClassObject),                          /* tp_basicsize */
    0,                                              /* tp_itemsize */
    class_dealloc,                                  /* tp_dealloc */
    nullptr,                                        /* tp_print */
    nullptr,                                        /* tp_getattr */
    nullptr,                                        /* tp_setattr */
    nullptr,                                        /* tp_compare */
    class_repr,                                     /* tp_repr */
    nullptr,                                        /* tp_as_number */
    nullptr,                                        /* tp_as_sequence */
    nullptr,                                        /* tp_as_mapping */
    nullptr,                                        /* tp_hash */
    class_call,                                     /* tp_call */
    class_str,                                      /* tp_str */
    class_getattr,                                  /* tp_getattro */
    class_setattr,                                  /* tp_setattro */
    nullptr,                                        /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,        /* tp_flags */
    class_doc,                                      /* tp_doc */
    class_traverse,                                 /* tp_traverse */
    class_clear,                                    /* tp_clear */
    nullptr,                                        /* tp_richcompare */
    0,                                              /* tp_weaklistoffset */
    nullptr,                                        /* tp_iter */
    nullptr,                                        /* tp_iternext */
    nullptr,                                        /* tp_methods */
    nullptr,                                        /* tp_members */
    nullptr,                                        /* tp_getset */
    nullptr,                                        /* tp_base */
    nullptr,                                        /* tp_dict */
    nullptr,                                        /* tp_descr_get */
    nullptr,                                        /* tp_descr_set */
    0,                                              /* tp_dictoffset */
    nullptr,                                        /* tp_init */
    nullptr,                                        /* tp_alloc */
    class_new,                                      /* tp_new */
};

ZvTypeObject ZvInstance_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "instance",                                     /* tp_name */
    sizeof(ZvInstanceObject),                       /* tp_basicsize */
    0,                                              /* tp_itemsize */
    instance_dealloc,                               /* tp_dealloc */
    nullptr,                                        /* tp_print */
    nullptr,                                        /* tp_getattr */
    nullptr,                                        /* tp_setattr */
    _ZvInstance_Compare,                            /* tp_compare */
    _ZvInstance_Repr,                               /* tp_repr */
    &_ZvInstance_AsNumber,                          /* tp_as_number */
    &_ZvInstance_AsSequence,                        /* tp_as_sequence */
    &_ZvInstance_AsMapping,                         /* tp_as_mapping */
    _ZvInstance_Hash,                               /* tp_hash */
    _ZvInstance_Call,                               /* tp_call */
    _ZvInstance_Str,                                /* tp_str */
    instance_getattro,                              /* tp_getattro */
    instance_setattro,                              /* tp_setattro */
    nullptr,                                        /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_CHECKTYPES, /* tp_flags */
    instance_doc,                                   /* tp_doc */
    instance_traverse,                              /* tp_traverse */
    instance_clear,                                 /* tp_clear */
    _ZvInstance_RichCompare,                        /* tp_richcompare */
    offsetof(ZvInstanceObject, in_weakreflist),     /* tp_weaklistoffset */
    _ZvInstance_Iter,                               /* tp_iter */
    _ZvInstance_Next,                               /* tp_iternext */
    nullptr,                                        /* tp_methods */
    nullptr,                                        /* tp_members */
    nullptr,                                        /* tp_getset */
    nullptr,                                        /* tp_base */
    nullptr,                                        /* tp_dict */
    nullptr,                                        /* tp_descr_get */
    nullptr,                                        /* tp_descr_set */
    0,                                              /* tp_dictoffset */
    nullptr,                                        /* tp_init */
    nullptr,                                        /* tp_alloc */
    instance_new,                                   /* tp_new */
};

} // extern "C"
