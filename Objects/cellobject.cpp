/* Cells: the boxes through which nested functions share a variable.  A
 * frame keeps one cell per variable that an inner function uses; the
 * inner function's closure holds the same cells, so assignments on either
 * side are seen by both.  An empty cell (ob_ref NULL) is a variable not
 * yet (or no longer) bound. */
#include "zuvo.h"

extern "C" {

ZvObject *ZvCell_New(ZvObject *obj)
{
    auto *op = ZvObject_GC_New(ZvCellObject, &ZvCell_Type);
    if (op == nullptr) return nullptr;
    Zv_XINCREF(obj);
    op->ob_ref = obj;
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

ZvObject *ZvCell_Get(ZvObject *op)
{
    if (op == nullptr || !ZvCell_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *v = ZvCell_GET(op);
    Zv_XINCREF(v);
    return v;
}

int ZvCell_Set(ZvObject *op, ZvObject *obj)
{
    if (op == nullptr || !ZvCell_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    /* The old content goes only after the new one is in place: its
     * destructor may look at the cell. */
    ZvObject *old = ZvCell_GET(op);
    Zv_XINCREF(obj);
    ZvCell_SET(op, obj);
    Zv_XDECREF(old);
    return 0;
}

/* A variable can hold a cell taken from a closure, so chains of cells are
 * freed through the depth guard like containers. */
static void cell_dealloc(ZvObject *op)
{
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    Zv_XDECREF(ZvCell_GET(op));
    ZvObject_GC_Del(op);
    ZvTrash_END(op)
}

/* An empty cell sorts before a full one; full cells by their contents. */
static int cell_compare(ZvObject *a, ZvObject *b)
{
    ZvObject *x = ZvCell_GET(a), *y = ZvCell_GET(b);
    if (x == nullptr) return y == nullptr ? 0 : -1;
    if (y == nullptr) return 1;
    return ZvObject_Compare(x, y);
}

static ZvObject *cell_repr(ZvObject *op)
{
    ZvObject *v = ZvCell_GET(op);
    if (v == nullptr) return ZvString_FromFormat("<cell at %p: empty>", (void *)op);
    return ZvString_FromFormat("<cell at %p: %.80s object at %p>", (void *)op, Zv_TYPE(v)->tp_name,
                               (void *)v);
}

static int cell_traverse(ZvObject *op, visitproc visit, void *arg)
{
    Zv_VISIT(ZvCell_GET(op));
    return 0;
}

static int cell_clear(ZvObject *op)
{
    auto *c = (ZvCellObject *)op;
    Zv_CLEAR(c->ob_ref);
    return 0;
}

ZvTypeObject ZvCell_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "cell",                                 /* tp_name */
    sizeof(ZvCellObject),                   /* tp_basicsize */
    0,                                      /* tp_itemsize */
    cell_dealloc,                           /* tp_dealloc */
    nullptr,                                /* tp_print */
    nullptr,                                /* tp_getattr */
    nullptr,                                /* tp_setattr */
    cell_compare,                           /* tp_compare */
    cell_repr,                              /* tp_repr */
    nullptr,                                /* tp_as_number */
    nullptr,                                /* tp_as_sequence */
    nullptr,                                /* tp_as_mapping */
    nullptr,                                /* tp_hash */
    nullptr,                                /* tp_call */
    nullptr,                                /* tp_str */
    ZvObject_GenericGetAttr,                /* tp_getattro */
    nullptr,                                /* tp_setattro */
    nullptr,                                /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC, /* tp_flags */
    nullptr,                                /* tp_doc */
    cell_traverse,                          /* tp_traverse */
    cell_clear,                             /* tp_clear */
};

} // extern "C"
