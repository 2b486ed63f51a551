// The collector from the C level: a native container type written the way
// an extension author would, the tracking calls' contracts, and the
// collection's behaviour around pending errors, nested collections and
// objects that a tp_clear brings back.
#include "zvtest.h"

namespace {

// Two owned references; its tp_clear can be made to run a hook.
struct Box {
    ZvObject_HEAD
    ZvObject *a;
    ZvObject *b;
};

int box_deallocs = 0;
void (*clear_hook)(ZvObject *) = nullptr;

void box_dealloc(ZvObject *op)
{
    auto *box = (Box *)op;
    ZvObject_GC_UnTrack(op);
    Zv_XDECREF(box->a);
    Zv_XDECREF(box->b);
    box_deallocs++;
    ZvObject_GC_Del(op);
}

int box_traverse(ZvObject *op, visitproc visit, void *arg)
{
    Zv_VISIT(((Box *)op)->a);
    Zv_VISIT(((Box *)op)->b);
    return 0;
}

int box_clear(ZvObject *op)
{
    if (clear_hook != nullptr) clear_hook(op);
    Zv_CLEAR(((Box *)op)->a);
    Zv_CLEAR(((Box *)op)->b);
    return 0;
}

ZvTypeObject Box_Type, SealedBox_Type;

ZvObject *new_box(ZvObject *a = nullptr, ZvObject *b = nullptr, bool clearable = true)
{
    ZvTypeObject *type = clearable ? &Box_Type : &SealedBox_Type;
    if (type->tp_name == nullptr) {
        type->tp_name = clearable ? "box" : "sealed_box";
        type->tp_basicsize = sizeof(Box);
        type->tp_dealloc = box_dealloc;
        type->tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC;
        type->tp_traverse = box_traverse;
        type->tp_clear = clearable ? box_clear : nullptr;
        if (ZvType_Ready(type) < 0) return nullptr;
    }
    Box *box = ZvObject_GC_New(Box, type);
    if (box == nullptr) return nullptr;
    Zv_XINCREF(a);
    box->a = a;
    Zv_XINCREF(b);
    box->b = b;
    ZvObject_GC_Track(box);
    return (ZvObject *)box;
}

// Links two boxes into a cycle and drops them; returns one (borrowed).
ZvObject *drop_cycle(bool clearable = true)
{
    ZvObject *x = new_box(nullptr, nullptr, clearable);
    ((Box *)x)->a = new_box(x, nullptr, clearable);
    Zv_DECREF(x);
    return x;
}

class GcTest : public ZvTest {
protected:
    void SetUp() override
    {
        ZvGC_Collect();
        box_deallocs = 0;
        clear_hook = nullptr;
    }
    void TearDown() override
    {
        clear_hook = nullptr;
        ZvTest::TearDown();
    }
};

TEST_F(GcTest, NativeCyclesAndWhatTheirTraversalReaches)
{
    drop_cycle();
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(box_deallocs, 2);

    // A type without tp_clear is freed once a list in its cycle is cleared.
    ZvObject *list = ZvList_New(0);
    ZvObject *box = new_box(list, nullptr, false);
    ASSERT_EQ(ZvList_Append(list, box), 0);
    Zv_DECREF(list);
    Zv_DECREF(box);
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(box_deallocs, 3);

    // Two sealed boxes alone cannot be broken up: they stay, untouched,
    // until the program breaks the cycle.
    ZvObject *sealed = drop_cycle(false);
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(box_deallocs, 3);
    Zv_CLEAR(((Box *)sealed)->a);
    EXPECT_EQ(box_deallocs, 5);

    // References to static types and to objects without a collector
    // header are visited without being taken for collected objects.
    Owned seven(ZvInt_FromLong(7));
    ZvObject *inner = new_box((ZvObject *)&ZvList_Type);
    ((Box *)inner)->b = new_box(inner, seven);
    Zv_DECREF(inner);
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(box_deallocs, 7);
}

TEST_F(GcTest, TrackingContracts)
{
    Owned box(new_box());
    EXPECT_TRUE(_ZvGC_IS_TRACKED(box.get()));
    ZvObject_GC_UnTrack(box);
    ZvObject_GC_UnTrack(box); // untracking twice does nothing
    EXPECT_FALSE(_ZvGC_IS_TRACKED(box.get()));
    ZvObject_GC_Track(box);
    EXPECT_DEATH(ZvObject_GC_Track(box), "GC object already tracked");
    Owned t(ZvTuple_New(3));
    EXPECT_DEATH(_ZvObject_GC_Resize((ZvVarObject *)t.get(), 5), "object is tracked");
}

TEST_F(GcTest, PendingErrors)
{
    // An explicit collection keeps the caller's error and collects anyway.
    drop_cycle();
    ZvErr_SetString(ZvExc_ValueError, "pending");
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(zv_error_text(), "pending");

    // No collection starts from an allocation while an error is pending.
    Owned gc(ZvImport_ImportModule("gc"));
    ASSERT_NE(gc.get(), nullptr);
    Owned one(Zv_BuildValue("(i)", 1));
    Owned r(zv_call_method(gc, "set_threshold", one));
    ASSERT_NE(r.get(), nullptr);
    ZvErr_SetString(ZvExc_ValueError, "pending");
    drop_cycle();
    for (int i = 0; i < 5; i++) Zv_DECREF(new_box());
    EXPECT_EQ(box_deallocs, 7);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    Zv_DECREF(new_box());
    EXPECT_EQ(box_deallocs, 10);
    Owned defaults(Zv_BuildValue("(iii)", 700, 10, 10));
    Owned r2(zv_call_method(gc, "set_threshold", defaults));
}

ZvObject *resurrected = nullptr;
int nested_result = -1;

TEST_F(GcTest, ClearRunningCode)
{
    // A collection requested from inside one does nothing.
    clear_hook = [](ZvObject *) { nested_result = ZvGC_Collect(); };
    drop_cycle();
    EXPECT_EQ(ZvGC_Collect(), 2);
    EXPECT_EQ(nested_result, 0);

    // An object its own clear stores away survives, emptied, and is
    // collected normally later.
    clear_hook = [](ZvObject *op) {
        if (resurrected == nullptr) {
            Zv_INCREF(op);
            resurrected = op;
        }
    };
    drop_cycle();
    EXPECT_EQ(ZvGC_Collect(), 2);
    ASSERT_NE(resurrected, nullptr);
    EXPECT_TRUE(_ZvGC_IS_TRACKED(resurrected));
    EXPECT_EQ(((Box *)resurrected)->a, nullptr);
    EXPECT_EQ(ZvGC_Collect(), 0);
    int before = box_deallocs;
    Zv_CLEAR(resurrected);
    EXPECT_EQ(box_deallocs, before + 1);
}

} // namespace
