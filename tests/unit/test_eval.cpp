// The evaluation loop seen from an embedder: deep recursion, the trace
// and profile hooks, pending calls and asynchronous exceptions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zvtest.h"

namespace {

class EvalTest : public ZvTest {
protected:
    void SetUp() override
    {
        globals_ = ZvDict_New();
        ZvDict_SetItemString(globals_, "__builtins__", ZvImport_AddModule("__builtin__"));
    }
    void TearDown() override
    {
        Zv_DECREF(globals_);
        ZvTest::TearDown();
    }
    // Runs source as a module body; NULL with the error set on failure.
    ZvObject *run(const char *source)
    {
        return ZvRun_String(source, Zv_file_input, globals_, globals_);
    }
    ZvObject *globals_ = nullptr;
};

TEST_F(EvalTest, DeepRecursionRaisesInsteadOfOverflowing)
{
    for (int limit : {1000, 10000, 1000000}) {
        SCOPED_TRACE(limit);
        Zv_SetRecursionLimit(limit);
        Owned r(run("def down(n):\n    return down(n + 1)\ndown(0)\n"));
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_EQ(zv_error_text(), "maximum recursion depth exceeded");
    }
    Zv_SetRecursionLimit(1000);
    // The depth comes back: a shallow call works afterwards.
    Owned ok(run("def up(n):\n    if n == 0: return 0\n    return up(n - 1) + 1\nr = up(500)\n"));
    ASSERT_NE(ok.get(), nullptr);
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(globals_, "r")), "500");
}

// Hook calls recorded as "event:line" for frames of the function `f`.
std::vector<std::string> events;

int record(ZvObject *, ZvFrameObject *frame, int what, ZvObject *arg)
{
    static const char *names[] = {"call", "exception", "line", "return",
                                  "c_call", "c_exception", "c_return"};
    std::string code = ZvString_AS_STRING(frame->f_code->co_name);
    if (code != "f") return 0;
    std::string e = names[what];
    if (what == ZvTrace_LINE) e += ":" + std::to_string(frame->f_lineno);
    if (what == ZvTrace_C_CALL) e += ":" + std::string(ZvEval_GetFuncName(arg));
    events.push_back(e);
    return 0;
}

TEST_F(EvalTest, TraceHookSeesCallsLinesReturnsAndExceptions)
{
    events.clear();
    Owned def(run("def f(x):\n"
                  "    y = x + 1\n"
                  "    for i in range(2):\n"
                  "        y += i\n"
                  "    try:\n"
                  "        1 / 0\n"
                  "    except ZeroDivisionError:\n"
                  "        pass\n"
                  "    return y\n"));
    ASSERT_NE(def.get(), nullptr);
    ZvEval_SetTrace(record, nullptr);
    Owned r(run("f(1)\n"));
    ZvEval_SetTrace(nullptr, nullptr);
    ASSERT_NE(r.get(), nullptr);
    const std::vector<std::string> expected = {
        "call",   "line:2", "line:3",    "line:4", "line:3", "line:4", "line:3", "line:5",
        "line:6", "exception", "line:7", "line:8", "line:9", "return"};
    EXPECT_EQ(events, expected);
}

TEST_F(EvalTest, ProfileHookSeesNativeCalls)
{
    events.clear();
    Owned def(run("def f():\n    return len([1, 2])\n"));
    ZvEval_SetProfile(record, nullptr);
    Owned r(run("f()\n"));
    ZvEval_SetProfile(nullptr, nullptr);
    ASSERT_NE(r.get(), nullptr);
    const std::vector<std::string> expected = {"call", "c_call:len", "c_return", "return"};
    EXPECT_EQ(events, expected);
}

// A trace function that moves the frame: at line 3 it jumps to line 5.
int jumper(ZvObject *, ZvFrameObject *frame, int what, ZvObject *)
{
    if (what != ZvTrace_LINE || std::string(ZvString_AS_STRING(frame->f_code->co_name)) != "f")
        return 0;
    if (frame->f_lineno != 3) return 0;
    ZvObject_SetAttrString((ZvObject *)frame, "f_trace", Zv_True);
    Owned line(ZvInt_FromLong(5));
    return ZvObject_SetAttrString((ZvObject *)frame, "f_lineno", line);
}

TEST_F(EvalTest, SettingTheLineFromATraceFunctionResumesThere)
{
    Owned def(run("def f():\n"
                  "    out = []\n"
                  "    out.append(3)\n"
                  "    out.append(4)\n"
                  "    out.append(5)\n"
                  "    return out\n"));
    ZvEval_SetTrace(jumper, nullptr);
    Owned r(run("r = f()\n"));
    ZvEval_SetTrace(nullptr, nullptr);
    ASSERT_NE(r.get(), nullptr) << zv_error_text();
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(globals_, "r")), "[5]");
}

int calls_made = 0;
int pending(void *) { return ++calls_made, 0; }
int failing_pending(void *)
{
    ZvErr_SetString(ZvExc_ValueError, "from a pending call");
    return -1;
}

TEST_F(EvalTest, PendingCallsRunInsideLoops)
{
    calls_made = 0;
    ASSERT_EQ(Zv_AddPendingCall(pending, nullptr), 0);
    Owned r(run("x = 0\nwhile x < 300:\n    x += 1\n"));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(calls_made, 1);
    // A failing call raises its error in the running code.
    ASSERT_EQ(Zv_AddPendingCall(failing_pending, nullptr), 0);
    Owned bad(run("while 1:\n    pass\n"));
    EXPECT_EQ(bad.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "from a pending call");
}

TEST_F(EvalTest, AsynchronousExceptionInterruptsALoop)
{
    ZvEval_InitThreads();
    ASSERT_EQ(ZvThreadState_SetAsyncExc(ZvThreadState_Get()->thread_id, ZvExc_KeyError), 1);
    Owned r(run("while 1:\n    pass\n"));
    EXPECT_EQ(r.get(), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));
}

} // namespace
