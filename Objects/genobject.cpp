/* Generator objects.
 *
 * A generator owns a frame prepared by argument binding and never run.
 * Each step of iteration links the frame to the resuming caller, runs it
 * in the evaluation loop until the next yield (which leaves f_stacktop
 * set) or until it returns or raises (which leaves it NULL), and unlinks it
 * again.  A frame with no saved stack top is finished: the generator then
 * reports exhaustion for good. */
#include "zuvo.h"
#include "structmember.h"

namespace {

int gen_traverse(ZvObject *self, visitproc visit, void *arg)
{
    Zv_VISIT((ZvObject *)((ZvGenObject *)self)->gi_frame);
    return 0;
}

void gen_dealloc(ZvObject *self)
{
    auto *gen = (ZvGenObject *)self;
    ZvObject_GC_UnTrack(gen);
    Zv_DECREF(gen->gi_frame);
    ZvObject_GC_Del(gen);
}

ZvObject *gen_iternext(ZvObject *self)
{
    auto *gen = (ZvGenObject *)self;
    ZvFrameObject *f = gen->gi_frame;
    if (gen->gi_running) {
        ZvErr_SetString(ZvExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (f->f_stacktop == nullptr) return nullptr;

    /* The generator returns to whoever resumed it. */
    ZvThreadState *ts = ZvThreadState_GET();
    Zv_XINCREF(ts->frame);
    f->f_back = ts->frame;
    gen->gi_running = 1;
    ZvObject *result = ZvEval_EvalFrame(f);
    gen->gi_running = 0;
    Zv_CLEAR(f->f_back);

    if (result == Zv_None && f->f_stacktop == nullptr) {
        Zv_DECREF(result);
        return nullptr;
    }
    return result;
}

ZvMemberDef gen_memberlist[] = {
    {(char *)"gi_frame", T_OBJECT, offsetof(ZvGenObject, gi_frame), RO, nullptr},
    {(char *)"gi_running", T_INT, offsetof(ZvGenObject, gi_running), RO, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

} // namespace

extern "C" {

ZvTypeObject ZvGen_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "generator",
    sizeof(ZvGenObject),
    0,
    gen_dealloc,                                             /* tp_dealloc */
    nullptr,                                                 /* tp_print */
    nullptr,                                                 /* tp_getattr */
    nullptr,                                                 /* tp_setattr */
    nullptr,                                                 /* tp_compare */
    nullptr,                                                 /* tp_repr */
    nullptr,                                                 /* tp_as_number */
    nullptr,                                                 /* tp_as_sequence */
    nullptr,                                                 /* tp_as_mapping */
    nullptr,                                                 /* tp_hash */
    nullptr,                                                 /* tp_call */
    nullptr,                                                 /* tp_str */
    ZvObject_GenericGetAttr,                                 /* tp_getattro */
    nullptr,                                                 /* tp_setattro */
    nullptr,                                                 /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,                 /* tp_flags */
    nullptr,                                                 /* tp_doc */
    gen_traverse,                                            /* tp_traverse */
    nullptr,                                                 /* tp_clear */
    nullptr,                                                 /* tp_richcompare */
    offsetof(ZvGenObject, gi_weakreflist),                   /* tp_weaklistoffset */
    ZvObject_SelfIter,                                       /* tp_iter */
    gen_iternext,                                            /* tp_iternext */
    nullptr,                                                 /* tp_methods */
    gen_memberlist,                                          /* tp_members */
};

ZvObject *ZvGen_New(ZvFrameObject *f)
{
    ZvGenObject *gen = ZvObject_GC_New(ZvGenObject, &ZvGen_Type);
    if (gen == nullptr) {
        Zv_DECREF(f);
        return nullptr;
    }
    gen->gi_frame = f;
    gen->gi_running = 0;
    gen->gi_weakreflist = nullptr;
    ZvObject_GC_Track(gen);
    return (ZvObject *)gen;
}

} // extern "C"
