/* Module objects: a dictionary of names plus a name of its own.
 *
 * A module's dictionary may still be in use by functions defined in it when
 * the module goes away, so clearing it replaces values with None instead of
 * removing keys: code still running at teardown finds None, not a missing
 * name. */
#include "zuvo.h"
#include "zvflags.h"

#include <string.h>

extern "C" {

typedef struct {
    ZvObject_HEAD
    ZvObject *md_dict;
} ZvModuleObject;

static ZvMemberDef module_members[] = {
    {"__dict__", T_OBJECT, offsetof(ZvModuleObject, md_dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

/* Fills a fresh dictionary with __name__ and __doc__. */
static int module_init_dict(ZvModuleObject *m, ZvObject *name, ZvObject *doc)
{
    if (m->md_dict == nullptr) {
        m->md_dict = ZvDict_New();
        if (m->md_dict == nullptr) return -1;
    }
    if (ZvDict_SetItemString(m->md_dict, "__name__", name) != 0) return -1;
    return ZvDict_SetItemString(m->md_dict, "__doc__", doc);
}

ZvObject *ZvModule_New(const char *name)
{
    auto *m = ZvObject_GC_New(ZvModuleObject, &ZvModule_Type);
    if (m == nullptr) return nullptr;
    m->md_dict = nullptr;
    ZvObject *nameobj = ZvString_FromString(name);
    if (nameobj == nullptr || module_init_dict(m, nameobj, Zv_None) != 0) {
        Zv_XDECREF(nameobj);
        ZvObject_GC_Track(m);
        Zv_DECREF(m);
        return nullptr;
    }
    Zv_DECREF(nameobj);
    ZvObject_GC_Track(m);
    return (ZvObject *)m;
}

ZvObject *ZvModule_GetDict(ZvObject *m)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *d = ((ZvModuleObject *)m)->md_dict;
    if (d == nullptr) ((ZvModuleObject *)m)->md_dict = d = ZvDict_New();
    return d;
}

char *ZvModule_GetName(ZvObject *m)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *d = ((ZvModuleObject *)m)->md_dict;
    ZvObject *nameobj;
    if (d == nullptr || (nameobj = ZvDict_GetItemString(d, "__name__")) == nullptr ||
        !ZvString_Check(nameobj)) {
        ZvErr_SetString(ZvExc_SystemError, "nameless module");
        return nullptr;
    }
    return ZvString_AsString(nameobj);
}

char *ZvModule_GetFilename(ZvObject *m)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *d = ((ZvModuleObject *)m)->md_dict;
    ZvObject *fileobj;
    if (d == nullptr || (fileobj = ZvDict_GetItemString(d, "__file__")) == nullptr ||
        !ZvString_Check(fileobj)) {
        ZvErr_SetString(ZvExc_SystemError, "module filename missing");
        return nullptr;
    }
    return ZvString_AsString(fileobj);
}

/* Two passes: first names with a single leading underscore (often module
 * privates that __del__ methods of other objects still use), then every
 * other name except __builtins__. */
void _ZvModule_Clear(ZvObject *m)
{
    ZvObject *d = ((ZvModuleObject *)m)->md_dict;
    if (d == nullptr) return;
    int pos = 0;
    ZvObject *key, *value;
    while (ZvDict_Next(d, &pos, &key, &value)) {
        if (value == Zv_None || !ZvString_Check(key)) continue;
        const char *s = ZvString_AsString(key);
        if (s[0] == '_' && s[1] != '_') {
            if (Zv_VerboseFlag > 1) fprintf(stderr, "#   clear[1] %s\n", s);
            ZvDict_SetItem(d, key, Zv_None);
        }
    }
    pos = 0;
    while (ZvDict_Next(d, &pos, &key, &value)) {
        if (value == Zv_None || !ZvString_Check(key)) continue;
        const char *s = ZvString_AsString(key);
        if (s[0] != '_' || strcmp(s, "__builtins__") != 0) {
            if (Zv_VerboseFlag > 1) fprintf(stderr, "#   clear[2] %s\n", s);
            ZvDict_SetItem(d, key, Zv_None);
        }
    }
}

static int module_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    static const char *kwlist[] = {"name", "doc", nullptr};
    ZvObject *name, *doc = Zv_None;
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "S|O:module.__init__", (char **)kwlist, &name,
                                     &doc))
        return -1;
    return module_init_dict((ZvModuleObject *)self, name, doc);
}

static void module_dealloc(ZvObject *self)
{
    auto *m = (ZvModuleObject *)self;
    ZvObject_GC_UnTrack(m);
    if (m->md_dict != nullptr) {
        _ZvModule_Clear(self);
        Zv_DECREF(m->md_dict);
    }
    Zv_TYPE(m)->tp_free(self);
}

static ZvObject *module_repr(ZvObject *m)
{
    const char *name = ZvModule_GetName(m);
    if (name == nullptr) {
        ZvErr_Clear();
        name = "?";
    }
    const char *filename = ZvModule_GetFilename(m);
    if (filename == nullptr) {
        ZvErr_Clear();
        return ZvString_FromFormat("<module '%s' (built-in)>", name);
    }
    return ZvString_FromFormat("<module '%s' from '%s'>", name, filename);
}

static int module_traverse(ZvObject *m, visitproc visit, void *arg)
{
    Zv_VISIT(((ZvModuleObject *)m)->md_dict);
    return 0;
}

ZvTypeObject ZvModule_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "module", sizeof(ZvModuleObject), 0,
    module_dealloc, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr,
    module_repr,    /* tp_repr */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, /* tp_getattro */
    ZvObject_GenericSetAttr, /* tp_setattro */
    nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "module(name[, doc])\n\nCreate a module object.\n"
    "The name must be a string; the optional doc argument can have any type.",
    module_traverse, /* tp_traverse */
    nullptr, nullptr, 0, nullptr, nullptr,
    nullptr,         /* tp_methods */
    module_members,  /* tp_members */
    nullptr, nullptr, nullptr, nullptr, nullptr,
    offsetof(ZvModuleObject, md_dict), /* tp_dictoffset */
    module_init,     /* tp_init */
    ZvType_GenericAlloc, /* tp_alloc */
    ZvType_GenericNew,   /* tp_new */
    ZvObject_GC_Del,     /* tp_free */
};

} // extern "C"
