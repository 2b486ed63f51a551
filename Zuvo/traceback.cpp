/* Traceback records and their printing.
 *
 * As an exception travels outwards, the evaluation loop prepends one
 * record per frame it passes through (ZvTraceBack_Here), so the head of
 * the chain is the outermost frame and tb_next leads towards the frame
 * that raised.  Each record keeps its frame alive and remembers the
 * instruction and line that were running when the exception passed.
 *
 * Long chains (deep recursion) are freed through the trashcan, so that
 * releasing one does not recurse once per record on the native stack. */
#include "zuvo.h"

#include <stddef.h>
#include <string.h>

#include "fileobject.h"
#include "linereader.h"
#include "sysmodule.h"

namespace {

/* Printed when sys.tracebacklimit does not say otherwise. */
constexpr int DEFAULT_LIMIT = 1000;
/* Candidate paths built from sys.path entries must be shorter than this. */
constexpr size_t MAXPATHLEN = 1024;
/* The size of the buffer a traceback line is formatted and read into. */
constexpr size_t LINEBUF = 2000;

ZvTracebackObject *new_traceback(ZvTracebackObject *next, ZvFrameObject *frame)
{
    if ((next != nullptr && !ZvTraceBack_Check(next)) || frame == nullptr ||
        !ZvFrame_Check(frame)) {
        _ZvErr_BadInternalCall("Zuvo/traceback.cpp", __LINE__);
        return nullptr;
    }
    auto *tb = ZvObject_GC_New(ZvTracebackObject, &ZvTraceBack_Type);
    if (tb == nullptr) return nullptr;
    Zv_XINCREF(next);
    tb->tb_next = next;
    Zv_INCREF(frame);
    tb->tb_frame = frame;
    tb->tb_lasti = frame->f_lasti;
    tb->tb_lineno = ZvCode_Addr2Line(frame->f_code, frame->f_lasti);
    ZvObject_GC_Track(tb);
    return tb;
}

void tb_dealloc(ZvObject *op)
{
    auto *tb = (ZvTracebackObject *)op;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    Zv_XDECREF(tb->tb_next);
    Zv_XDECREF(tb->tb_frame);
    ZvObject_GC_Del(op);
    ZvTrash_END(op)
}

int tb_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *tb = (ZvTracebackObject *)op;
    Zv_VISIT(tb->tb_next);
    Zv_VISIT(tb->tb_frame);
    return 0;
}

/* The frame stays: printing needs it.  Cycles through it (a frame whose
 * locals hold the traceback) are broken by clearing the frame. */
int tb_clear(ZvObject *op)
{
    auto *tb = (ZvTracebackObject *)op;
    Zv_CLEAR(tb->tb_next);
    return 0;
}

ZvMemberDef tb_members[] = {
    {"tb_next", T_OBJECT, offsetof(ZvTracebackObject, tb_next), READONLY, nullptr},
    {"tb_frame", T_OBJECT, offsetof(ZvTracebackObject, tb_frame), READONLY, nullptr},
    {"tb_lasti", T_INT, offsetof(ZvTracebackObject, tb_lasti), READONLY, nullptr},
    {"tb_lineno", T_INT, offsetof(ZvTracebackObject, tb_lineno), READONLY, nullptr},
    {},
};

/* A file named only by its base name may be found through sys.path: the
 * first entry under which it opens.  The path used goes into `found`. */
FILE *open_on_path(const char *filename, char *found)
{
    const char *slash = strrchr(filename, '/');
    const char *tail = slash != nullptr ? slash + 1 : filename;
    size_t taillen = strlen(tail);
    ZvObject *path = ZvSys_GetObject("path");
    if (path == nullptr || !ZvList_Check(path)) return nullptr;
    for (int i = 0; i < ZvList_GET_SIZE(path); i++) {
        ZvObject *v = ZvList_GET_ITEM(path, i);
        if (!ZvString_Check(v)) continue;
        size_t len = (size_t)ZvString_GET_SIZE(v);
        const char *dir = ZvString_AS_STRING(v);
        if (len + 1 + taillen >= MAXPATHLEN || strlen(dir) != len) continue;
        memcpy(found, dir, len);
        if (len > 0 && dir[len - 1] != '/') found[len++] = '/';
        memcpy(found + len, tail, taillen + 1);
        FILE *fp = zv::open_source(found);
        if (fp != nullptr) return fp;
    }
    return nullptr;
}

/* One entry: the location line, then the source line when the file can
 * be found. */
int display_line(ZvObject *f, ZvTracebackObject *tb)
{
    ZvCodeObject *co = tb->tb_frame->f_code;
    if (!ZvString_Check(co->co_filename) || !ZvString_Check(co->co_name)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    const char *filename = ZvString_AS_STRING(co->co_filename);
    char found[MAXPATHLEN];
    FILE *fp = zv::open_source(filename);
    if (fp == nullptr) {
        fp = open_on_path(filename, found);
        if (fp != nullptr) filename = found;
    }
    char buf[LINEBUF];
    snprintf(buf, sizeof buf, "  File \"%.500s\", line %d, in %.500s\n", filename, tb->tb_lineno,
             ZvString_AS_STRING(co->co_name));
    int err = ZvFile_WriteString(buf, f);
    if (fp == nullptr) return err;
    size_t n = 0;
    if (err == 0 && tb->tb_lineno > 0) n = zv::read_line(fp, tb->tb_lineno, buf, sizeof buf);
    fclose(fp);
    if (n == 0) return err;
    const char *line = zv::skip_blanks(buf);
    err = ZvFile_WriteString("    ", f);
    if (err == 0) err = ZvFile_WriteString(line, f);
    if (err == 0 && buf[n - 1] != '\n') err = ZvFile_WriteString("\n", f);
    return err;
}

/* The innermost `limit` records, outermost first. */
int print_records(ZvTracebackObject *tb, ZvObject *f, int limit)
{
    int depth = 0;
    for (ZvTracebackObject *t = tb; t != nullptr; t = t->tb_next) depth++;
    int err = 0;
    while (tb != nullptr && err == 0) {
        if (depth <= limit) err = display_line(f, tb);
        depth--;
        tb = tb->tb_next;
        if (err == 0) err = ZvErr_CheckSignals();
    }
    return err;
}

} // namespace

extern "C" {

int ZvTraceBack_Here(ZvFrameObject *frame)
{
    ZvThreadState *ts = ZvThreadState_GET();
    auto *oldtb = (ZvTracebackObject *)ts->curexc_traceback;
    ZvTracebackObject *tb = new_traceback(oldtb, frame);
    if (tb == nullptr) return -1;
    ts->curexc_traceback = (ZvObject *)tb;
    Zv_XDECREF(oldtb);
    return 0;
}

int ZvTraceBack_Print(ZvObject *v, ZvObject *f)
{
    if (v == nullptr) return 0;
    if (!ZvTraceBack_Check(v)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    int limit = DEFAULT_LIMIT;
    ZvObject *lim = ZvSys_GetObject("tracebacklimit");
    if (lim != nullptr && ZvInt_Check(lim)) {
        limit = ZvInt_AS_LONG(lim);
        if (limit <= 0) return 0;
    }
    /* The chain is held while user code (f.write) runs. */
    Zv_INCREF(v);
    int err = ZvFile_WriteString("Traceback (most recent call last):\n", f);
    if (err == 0) err = print_records((ZvTracebackObject *)v, f, limit);
    Zv_DECREF(v);
    return err;
}

ZvTypeObject ZvTraceBack_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "traceback",                            /* tp_name */
    sizeof(ZvTracebackObject),              /* tp_basicsize */
    0,                                      /* tp_itemsize */
    tb_dealloc,                             /* tp_dealloc */
    nullptr,                                /* tp_print */
    nullptr,                                /* tp_getattr */
    nullptr,                                /* tp_setattr */
    nullptr,                                /* tp_compare */
    nullptr,                                /* tp_repr */
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
    tb_traverse,                            /* tp_traverse */
    tb_clear,                               /* tp_clear */
    nullptr,                                /* tp_richcompare */
    0,                                      /* tp_weaklistoffset */
    nullptr,                                /* tp_iter */
    nullptr,                                /* tp_iternext */
    nullptr,                                /* tp_methods */
    tb_members,                             /* tp_members */
};

} // extern "C"
