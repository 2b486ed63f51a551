// Traceback records: building them frame by frame, their attributes, and
// printing with the limit, the sys.path search and the source lines.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "sysmodule.h"
#include "codetest.h"

namespace {

class TracebackTest : public ZvTest {
protected:
    void SetUp() override
    {
        if (ZvThreadState_GET()->interp->sysdict == nullptr) Zv_XDECREF(_ZvSys_Init());
        globals = ZvDict_New();
    }
    void TearDown() override
    {
        ZvSys_SetObject("tracebacklimit", nullptr);
        ZvSys_SetObject("path", nullptr);
        Zv_CLEAR(globals);
        ZvTest::TearDown();
    }
    ZvObject *globals = nullptr;
};

// A code object named `name` from `file` whose three instructions, at
// offsets 0, 3 and 6, are on lines first, first + 1 and first + 2.
ZvObject *code_for(const char *file, const char *name, int first)
{
    CodeFields cf;
    cf.code = std::string("d\0\0d\0\0S", 7);
    cf.stacksize = 2;
    cf.flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE;
    cf.filename = file;
    cf.name = name;
    cf.firstlineno = first;
    cf.lnotab = "\3\1\3\1";
    return (ZvObject *)cf.make();
}

// Prepends a record for a frame of `code` stopped at `lasti`.
void here(ZvObject *code, ZvObject *globals, int lasti)
{
    ZvFrameObject *f = ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)code, globals, nullptr);
    ASSERT_NE(f, nullptr);
    f->f_lasti = lasti;
    EXPECT_EQ(ZvTraceBack_Here(f), 0);
    Zv_DECREF(f);
}

// Takes the traceback the error indicator collected (the error itself is
// dropped).
ZvObject *take_traceback()
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    return tb;
}

// An object whose write method collects the text.
std::string g_out;
ZvObject *fn_write(ZvObject *, ZvObject *args)
{
    g_out += zv_str(ZvTuple_GET_ITEM(args, ZvTuple_GET_SIZE(args) - 1));
    Zv_RETURN_NONE;
}
ZvMethodDef write_def = {"write", fn_write, METH_VARARGS, nullptr};

ZvObject *capture()
{
    g_out.clear();
    Owned w(ZvCFunction_New(&write_def, nullptr));
    Owned d(Zv_BuildValue("{s:O}", "write", w.get()));
    Owned cls(ZvClass_New(nullptr, d, Owned(zv_string("Out"))));
    return ZvInstance_NewRaw(cls, d);
}

std::string print(ZvObject *tb)
{
    Owned out(capture());
    EXPECT_EQ(ZvTraceBack_Print(tb, out), 0);
    return g_out;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/zvtbXXXXXX";
        path = mkdtemp(name);
    }
    std::string write(const std::string &file, const std::string &text)
    {
        std::string p = path + "/" + file;
        FILE *fp = fopen(p.c_str(), "wb");
        fwrite(text.data(), 1, text.size(), fp);
        fclose(fp);
        files.push_back(p);
        return p;
    }
    ~TempDir()
    {
        for (const std::string &f : files) unlink(f.c_str());
        rmdir(path.c_str());
    }
    std::vector<std::string> files;
};

} // namespace

TEST_F(TracebackTest, RecordsChainFromTheOutermostFrame)
{
    Owned inner(code_for("a.zv", "inner", 10)), outer(code_for("a.zv", "outer", 20));
    ZvErr_SetString(ZvExc_ValueError, "x");
    here(inner, globals, 6);
    here(outer, globals, 3);
    Owned tb(take_traceback());
    ASSERT_TRUE(tb.get() != nullptr && ZvTraceBack_Check(tb.get()));
    auto *head = (ZvTracebackObject *)tb.get();
    EXPECT_EQ(head->tb_lineno, 21);
    EXPECT_EQ(head->tb_lasti, 3);
    ASSERT_NE(head->tb_next, nullptr);
    EXPECT_EQ(head->tb_next->tb_lineno, 12);
    Owned next(zv_getattr(tb, "tb_next")), last(zv_getattr(next, "tb_next"));
    EXPECT_EQ(last.get(), Zv_None);
    Owned line(zv_getattr(tb, "tb_lineno")), frame(zv_getattr(tb, "tb_frame"));
    EXPECT_EQ(zv_intval(line), 21);
    EXPECT_TRUE(ZvFrame_Check(frame.get()));
    EXPECT_EQ(ZvObject_SetAttrString(tb, "tb_lineno", line), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    // The error indicator keeps real tracebacks only.
    Zv_INCREF(ZvExc_KeyError);
    Zv_INCREF(tb.get());
    ZvErr_Restore(ZvExc_KeyError, nullptr, tb);
    Owned again(take_traceback());
    EXPECT_EQ(again.get(), tb.get());

    // Bad arguments.
    EXPECT_EQ(ZvTraceBack_Here((ZvFrameObject *)Zv_None), -1);
    EXPECT_NE(zv_error_text().find("Zuvo/traceback.cpp:"), std::string::npos);
    Owned out(capture());
    EXPECT_EQ(ZvTraceBack_Print(Zv_None, out), -1);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    EXPECT_EQ(ZvTraceBack_Print(nullptr, out), 0);
}

TEST_F(TracebackTest, PrintingShowsSourceLinesFoundDirectlyOrOnThePath)
{
    TempDir dir;
    std::string path = dir.write("m.zv", "def f():\n  \t\fx = 1\n    return x");
    Owned code(code_for(path.c_str(), "f", 1));
    here(code, globals, 6);
    here(code, globals, 3);
    Owned tb(take_traceback());
    EXPECT_EQ(print(tb), "Traceback (most recent call last):\n"
                         "  File \"" + path + "\", line 2, in f\n"
                         "    x = 1\n"
                         "  File \"" + path + "\", line 3, in f\n"
                         "    return x\n");

    // Known only by a relative name: found through sys.path (non-string
    // entries are skipped); not found at all: no source line.
    Owned moved(code_for("elsewhere/m.zv", "g", 1));
    here(moved, globals, 0);
    Owned tb2(take_traceback());
    EXPECT_EQ(print(tb2), "Traceback (most recent call last):\n"
                          "  File \"elsewhere/m.zv\", line 1, in g\n");
    Owned sys_path(Zv_BuildValue("[isss]", 5, "/no/such/dir", "", dir.path.c_str()));
    ZvSys_SetObject("path", sys_path);
    EXPECT_EQ(print(tb2), "Traceback (most recent call last):\n"
                          "  File \"" + dir.path + "/m.zv\", line 1, in g\n"
                          "    def f():\n");
}

TEST_F(TracebackTest, TheLimitKeepsTheInnermostRecords)
{
    Owned code(code_for("/no/file.zv", "f", 1));
    for (int lasti : {0, 3, 6, 3, 0}) here(code, globals, lasti);
    Owned tb(take_traceback());
    std::string all = print(tb);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 6);
    Owned two(zv_int(2)), zero(zv_int(0)), text(zv_string("3"));
    ZvSys_SetObject("tracebacklimit", two);
    EXPECT_EQ(print(tb), "Traceback (most recent call last):\n"
                         "  File \"/no/file.zv\", line 2, in f\n"
                         "  File \"/no/file.zv\", line 1, in f\n");
    ZvSys_SetObject("tracebacklimit", zero);
    EXPECT_EQ(print(tb), "") << "not even the header";
    ZvSys_SetObject("tracebacklimit", text);
    EXPECT_EQ(print(tb), all) << "a limit that is not an int is ignored";
}

TEST_F(TracebackTest, LongChainsAreFreedWithoutDeepRecursion)
{
    Owned code(code_for("f.zv", "f", 1));
    ZvFrameObject *f = ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)code.get(), globals, nullptr);
    f->f_lasti = 0;
    for (int i = 0; i < 200000; i++) ASSERT_EQ(ZvTraceBack_Here(f), 0);
    Zv_DECREF(f);
    Owned tb(take_traceback());
}
