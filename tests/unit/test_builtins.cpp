// The builtins module as native code reaches it: called with no frame
// running (an embedding program), and the names bound at start-up.
#include "zvtest.h"
#include "zvflags.h"

namespace {

// builtins.name(*args) with no frame running; args is a Zv_BuildValue
// format for the argument tuple.
ZvObject *call_builtin(const char *name, ZvObject *args)
{
    ZvObject *fn = ZvDict_GetItemString(ZvEval_GetBuiltins(), name);
    if (fn == nullptr) {
        ADD_FAILURE() << "no builtin " << name;
        return nullptr;
    }
    return ZvObject_Call(fn, args, nullptr);
}

TEST_F(ZvTest, BuiltinsWithoutFrameNeedNamespaces)
{
    ASSERT_EQ(ZvEval_GetFrame(), nullptr);
    struct {
        const char *name;
        const char *args;
        ZvObject *exc;
        const char *message;
    } cases[] = {
        {"eval", "(s)", ZvExc_TypeError,
         "eval must be given globals and locals when called without a frame"},
        {"execfile", "(s)", ZvExc_TypeError,
         "execfile must be given globals and locals when called without a frame"},
        {"vars", "()", ZvExc_SystemError, "vars(): no locals!?"},
    };
    for (auto &c : cases) {
        Owned args(Zv_BuildValue(c.args, "1"));
        Owned r(call_builtin(c.name, args));
        EXPECT_EQ(r.get(), nullptr) << c.name;
        ASSERT_TRUE(ZvErr_ExceptionMatches(c.exc)) << c.name;
        EXPECT_EQ(zv_error_text(), c.message);
    }
    // Given namespaces, eval needs no frame and fills in __builtins__.
    Owned g(ZvDict_New());
    Owned args(Zv_BuildValue("(sO)", " 6 * 7", g.get()));
    Owned r(call_builtin("eval", args));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(ZvInt_AsLong(r), 42);
    EXPECT_EQ(ZvDict_GetItemString(g, "__builtins__"), ZvEval_GetBuiltins());
    // globals() and locals() have no scope to show.
    Owned none(ZvTuple_New(0));
    for (const char *name : {"globals", "locals"}) {
        Owned v(call_builtin(name, none));
        EXPECT_EQ(v.get(), Zv_None) << name;
    }
}

TEST_F(ZvTest, DebugFollowsTheOptimizeFlag)
{
    ZvObject *debug = ZvDict_GetItemString(ZvEval_GetBuiltins(), "__debug__");
    EXPECT_EQ(debug, Zv_True);
    Zv_Finalize();
    Zv_OptimizeFlag = 1;
    Zv_Initialize();
    debug = ZvDict_GetItemString(ZvEval_GetBuiltins(), "__debug__");
    EXPECT_EQ(debug, Zv_False);
    Zv_Finalize();
    Zv_OptimizeFlag = 0;
    Zv_Initialize();
}

} // namespace
