// libFuzzer target for the marshal loader and for the code objects it
// yields.
//
// The first input byte picks how the rest is read (from memory, from a
// stream, or as the last object of a file); whatever loads is dumped and
// reloaded in both versions, and every code object found in it is probed
// the ways a debugger or the import system would without running it:
// attributes, repr, hash, comparison, line lookups, and frames made for it
// with their locals copies, collector hooks and f_lineno jumps.  Nothing
// here may crash, leak or read out of bounds, whatever the bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "opcode.h"
#include "zuvo.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Zv_Initialize();
    return 0;
}

namespace {

// Frames this large are left out so that the fuzzer stays fast; the size
// limits themselves have unit tests.
constexpr int kMaxFrameSlots = 1 << 16;

const char *const kCodeAttrs[] = {
    "co_argcount", "co_nlocals", "co_stacksize",   "co_flags",    "co_code",
    "co_consts",   "co_names",   "co_varnames",    "co_freevars", "co_cellvars",
    "co_filename", "co_name",    "co_firstlineno", "co_lnotab",
};

void drop(ZvObject *o)
{
    Zv_XDECREF(o);
    ZvErr_Clear();
}

int count_visit(ZvObject *, void *arg)
{
    ++*static_cast<int *>(arg);
    return 0;
}

void probe_frame(ZvCodeObject *co, const uint8_t *data, size_t size)
{
    int64_t slots = (int64_t)co->co_stacksize + co->co_nlocals + ZvTuple_GET_SIZE(co->co_cellvars) +
                    ZvTuple_GET_SIZE(co->co_freevars);
    if (slots > kMaxFrameSlots) return;
    ZvObject *globals = ZvDict_New();
    if (globals == nullptr) return ZvErr_Clear();
    ZvFrameObject *f = ZvFrame_New(ZvThreadState_GET(), co, globals, nullptr);
    Zv_DECREF(globals);
    if (f == nullptr) return ZvErr_Clear();
    auto *fo = (ZvObject *)f;
    ZvFrame_FastToLocals(f);
    ZvFrame_LocalsToFast(f, 1);
    drop(ZvObject_GetAttrString(fo, "f_locals"));
    drop(ZvObject_GetAttrString(fo, "f_lineno"));
    int visited = 0;
    ZvFrame_Type.tp_traverse(fo, count_visit, &visited);

    // Jumps, from a few positions and with a few blocks and a value on the
    // stack, to lines around the ones the table names.
    if (ZvObject_SetAttrString(fo, "f_trace", Zv_None) == 0) {
        int code_len = ZvString_GET_SIZE(co->co_code);
        for (size_t i = 0; i < size && i < 8; i++) {
            f->f_lasti = (int)data[i] % (code_len + 2) - 1;
            while (f->f_iblock > 0)
                ZvFrame_BlockPop(f);
            int nblocks = data[i] % 4;
            for (int b = 0; b < nblocks; b++)
                ZvFrame_BlockSetup(f, SETUP_LOOP, 0, 0);
            if (f->f_stacksize > 0 && f->f_stacktop == f->f_valuestack) {
                Zv_INCREF(Zv_None);
                *f->f_stacktop++ = Zv_None;
            }
            int64_t target = (int64_t)co->co_firstlineno + (data[i] >> 2) - 8;
            if (target < INT32_MIN || target > INT32_MAX) continue;
            ZvObject *line = ZvInt_FromLong((int32_t)target);
            if (line != nullptr) {
                // As a trace function would: with the frame running.
                ZvThreadState *ts = ZvThreadState_GET();
                ZvFrameObject *saved = ts->frame;
                ts->frame = (data[i] & 3) != 3 ? f : saved;
                if (ZvObject_SetAttrString(fo, "f_lineno", line) < 0) ZvErr_Clear();
                ts->frame = saved;
                Zv_DECREF(line);
            }
            ZvErr_Clear();
        }
    }
    ZvErr_Clear();
    if (size > 0 && (data[0] & 0x80)) ZvFrame_Type.tp_clear(fo);
    Zv_DECREF(f);
}

void probe_code(ZvCodeObject *co, const uint8_t *data, size_t size)
{
    auto *o = (ZvObject *)co;
    for (const char *attr : kCodeAttrs)
        drop(ZvObject_GetAttrString(o, attr));
    drop(ZvObject_Repr(o));
    (void)ZvObject_Hash(o);
    ZvErr_Clear();
    (void)ZvObject_Compare(o, o);
    ZvErr_Clear();
    int code_len = ZvString_GET_SIZE(co->co_code);
    for (int addr : {-1, 0, 1, code_len / 2, code_len, INT32_MAX})
        (void)ZvCode_Addr2Line(co, addr);
    probe_frame(co, data, size);
}

// Every code object reachable through containers, to a bounded depth.
void walk(ZvObject *v, const uint8_t *data, size_t size, int depth)
{
    if (v == nullptr || depth > 50) return;
    if (ZvCode_Check(v)) {
        probe_code((ZvCodeObject *)v, data, size);
        walk(((ZvCodeObject *)v)->co_consts, data, size, depth + 1);
    } else if (ZvTuple_Check(v)) {
        for (int i = 0; i < ZvTuple_GET_SIZE(v); i++)
            walk(ZvTuple_GET_ITEM(v, i), data, size, depth + 1);
    } else if (ZvList_Check(v)) {
        for (int i = 0; i < ZvList_GET_SIZE(v); i++)
            walk(ZvList_GET_ITEM(v, i), data, size, depth + 1);
    } else if (ZvDict_Check(v)) {
        int pos = 0;
        ZvObject *key, *value;
        while (ZvDict_Next(v, &pos, &key, &value)) {
            walk(key, data, size, depth + 1);
            walk(value, data, size, depth + 1);
        }
    }
}

// What loads must dump, and reload to an equal value.
void round_trip(ZvObject *v)
{
    for (int version : {0, 1}) {
        ZvObject *s = ZvMarshal_WriteObjectToString(v, version);
        if (s == nullptr) {
            ZvErr_Clear();
            continue;
        }
        ZvObject *back =
            ZvMarshal_ReadObjectFromString(ZvString_AS_STRING(s), ZvString_GET_SIZE(s));
        Zv_DECREF(s);
        if (back != nullptr) {
            (void)ZvObject_Compare(v, back);
            Zv_DECREF(back);
        }
        ZvErr_Clear();
    }
}

ZvObject *load(const uint8_t *data, size_t size)
{
    int mode = data[0] & 3;
    const char *bytes = (const char *)data + 1;
    size_t n = size - 1;
    if (mode == 0 || n == 0) return ZvMarshal_ReadObjectFromString(bytes, (int)n);
    FILE *fp = fmemopen((void *)bytes, n, "rb");
    if (fp == nullptr) return nullptr;
    ZvObject *v =
        mode == 1 ? ZvMarshal_ReadObjectFromFile(fp) : ZvMarshal_ReadLastObjectFromFile(fp);
    fclose(fp);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    ZvObject *v = load(data, size);
    ZvErr_Clear();
    if (v != nullptr) {
        drop(ZvObject_Repr(v));
        (void)ZvObject_Hash(v);
        ZvErr_Clear();
        round_trip(v);
        walk(v, data + 1, size - 1 > 0 ? size - 1 : 0, 0);
        Zv_DECREF(v);
    }
    ZvErr_Clear();
    return 0;
}
