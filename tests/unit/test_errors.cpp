// The error indicator and its helpers: errno errors, new exception classes,
// unraisable errors, warnings, source lines for syntax errors.
#include "zvtest.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace {

using ErrorsTest = ZvTest;

// The pending error's value, fetched (the indicator is cleared).
Owned fetch_value()
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    Zv_XDECREF(t);
    Zv_XDECREF(tb);
    return Owned(v);
}

// A temporary file with the given bytes, removed at the end of the scope.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &content)
    {
        char name[] = "/tmp/zvtestXXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (write(fd, content.data(), content.size()) != (ssize_t)content.size()) abort();
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

std::string program_text(const std::string &path, int lineno)
{
    ZvObject *s = ZvErr_ProgramText(path.c_str(), lineno);
    if (s == nullptr) return "<none>";
    std::string r = zv_str(s);
    Zv_DECREF(s);
    return r;
}

TEST_F(ErrorsTest, ErrnoBecomesNumberAndMessage)
{
    errno = 0;
    EXPECT_EQ(ZvErr_SetFromErrno(ZvExc_OSError), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_EnvironmentError));
    Owned v = fetch_value();
    EXPECT_EQ(zv_repr(v), "(0, 'Error')");

    errno = ENOENT;
    ZvErr_SetFromErrnoWithFilename(ZvExc_IOError, "/no/such");
    Owned w = fetch_value();
    EXPECT_EQ(zv_repr(w), "(2, '" + std::string(strerror(ENOENT)) + "', '/no/such')");

    // An interrupted call with no signal handler error is reported as such.
    errno = EINTR;
    ZvErr_SetFromErrno(ZvExc_OSError);
    Owned x = fetch_value();
    EXPECT_EQ(zv_repr(x), "(4, '" + std::string(strerror(EINTR)) + "')");
}

TEST_F(ErrorsTest, StandardMessages)
{
    EXPECT_EQ(ZvErr_BadArgument(), 0);
    EXPECT_EQ(zv_error_text(), "bad argument type for built-in operation");
    ZvErr_BadInternalCall();
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_SystemError));
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    _ZvErr_BadInternalCall("obj.c", 12);
    EXPECT_EQ(zv_error_text(), "obj.c:12: bad argument to internal function");
}

TEST_F(ErrorsTest, NoMemoryUsesThePreparedValueAndKeepsAnEarlierOne)
{
    EXPECT_EQ(ZvErr_NoMemory(), nullptr);
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    EXPECT_EQ(t, ZvExc_MemoryError);
    EXPECT_EQ(v, ZvExc_MemoryErrorInst);
    // Already failing for lack of memory: the first report stands.
    ZvErr_Restore(t, v, tb);
    Owned other(ZvString_FromString("first"));
    ZvErr_SetObject(ZvExc_MemoryError, other);
    ZvErr_NoMemory();
    EXPECT_EQ(zv_error_text(), "first");
}

TEST_F(ErrorsTest, RestoreOwnsItsReferencesAndDropsNonTracebacks)
{
    Owned val(ZvString_FromString("v"));
    Owned fake_tb(ZvList_New(0));
    int before = Zv_REFCNT(fake_tb.get());
    Zv_INCREF(ZvExc_ValueError);
    Zv_INCREF(val.get());
    Zv_INCREF(fake_tb.get());
    ZvErr_Restore(ZvExc_ValueError, val, fake_tb);
    EXPECT_EQ(Zv_REFCNT(fake_tb.get()), before) << "a non-traceback is released at once";
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    EXPECT_EQ(t, ZvExc_ValueError);
    EXPECT_EQ(v, val.get());
    EXPECT_EQ(tb, nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    Zv_DECREF(t);
    Zv_DECREF(v);
}

TEST_F(ErrorsTest, NormalizeBuildsInstances)
{
    struct Case {
        ZvObject *value; // NULL: none given
        const char *args;
    };
    Owned x(ZvString_FromString("x"));
    Owned pair(Zv_BuildValue("(si)", "a", 1));
    const Case cases[] = {{nullptr, "()"}, {Zv_None, "()"}, {x, "('x',)"}, {pair, "('a', 1)"}};
    for (const Case &c : cases) {
        ZvObject *t = ZvExc_ValueError, *v = c.value, *tb = nullptr;
        Zv_INCREF(t);
        Zv_XINCREF(v);
        ZvErr_NormalizeException(&t, &v, &tb);
        EXPECT_EQ(t, ZvExc_ValueError);
        ASSERT_TRUE(ZvInstance_Check(v));
        Owned args(ZvObject_GetAttrString(v, "args"));
        EXPECT_EQ(zv_repr(args), c.args);
        Zv_DECREF(t);
        Zv_DECREF(v);
    }

    // An instance of a subclass: the type becomes the instance's class.
    Owned inst(ZvObject_CallFunction(ZvExc_KeyError, nullptr));
    ZvObject *t = ZvExc_LookupError, *v = inst.get(), *tb = nullptr;
    Zv_INCREF(t);
    Zv_INCREF(v);
    ZvErr_NormalizeException(&t, &v, &tb);
    EXPECT_EQ(t, ZvExc_KeyError);
    EXPECT_EQ(v, inst.get());
    Zv_DECREF(t);
    Zv_DECREF(v);

    // A string exception keeps its value; no type: nothing to do.
    Owned s(ZvString_FromString("oops"));
    t = s.get();
    v = nullptr;
    Zv_INCREF(t);
    ZvErr_NormalizeException(&t, &v, &tb);
    EXPECT_EQ(v, Zv_None);
    Zv_DECREF(t);
    Zv_DECREF(v);
    ZvObject *nt = nullptr, *nv = nullptr;
    ZvErr_NormalizeException(&nt, &nv, &tb);
    EXPECT_EQ(nv, nullptr);

    // A constructor that fails: its error replaces the original one.
    t = ZvExc_SyntaxError;
    v = ZvTuple_Pack(2, x.get(), x.get()); // the location must have four items
    Zv_INCREF(t);
    ZvErr_NormalizeException(&t, &v, &tb);
    EXPECT_EQ(t, ZvExc_IndexError);
    EXPECT_TRUE(ZvInstance_Check(v));
    Zv_DECREF(t);
    Zv_DECREF(v);
}

// A class whose constructor always fails with an error of that class:
// normalizing gives up instead of retrying for ever.
static ZvObject *always_fail(ZvObject *, ZvObject *args)
{
    ZvObject *self = ZvTuple_GET_ITEM(args, 0);
    ZvErr_SetNone((ZvObject *)((ZvInstanceObject *)self)->in_class);
    return nullptr;
}

TEST_F(ErrorsTest, NormalizeGivesUpOnAConstructorThatAlwaysFails)
{
    static ZvMethodDef def = {"__init__", always_fail, METH_VARARGS, nullptr};
    Owned cls(ZvErr_NewException("t.Stubborn", nullptr, nullptr));
    Owned func(ZvCFunction_New(&def, nullptr));
    Owned init(ZvMethod_New(func, nullptr, cls));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__init__", init), 0);
    // __init__ raises the class of its instance with no value.
    ZvObject *t = cls.get(), *v = nullptr, *tb = nullptr;
    Zv_INCREF(t);
    ZvErr_NormalizeException(&t, &v, &tb);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(t, cls.get());
    EXPECT_EQ(v, Zv_None) << "left as raised";
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
}

TEST_F(ErrorsTest, NewExceptionMakesClassesOrStringExceptions)
{
    EXPECT_EQ(ZvErr_NewException("nodot", nullptr, nullptr), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_SystemError));
    EXPECT_EQ(zv_error_text(), "ZvErr_NewException: name must be module.class");

    // A base that is not a class: a string exception of the full name.
    Owned sbase(ZvString_FromString("not a class"));
    Owned s(ZvErr_NewException("spam.Error", sbase, nullptr));
    EXPECT_TRUE(ZvString_CheckExact(s.get()));
    EXPECT_EQ(zv_str(s), "spam.Error");

    Owned cls(ZvErr_NewException("pkg.mod.Oops", ZvExc_ValueError, nullptr));
    ASSERT_NE(cls.get(), nullptr);
    EXPECT_EQ(zv_repr(cls).rfind("<class pkg.mod.Oops at 0x", 0), 0u);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(cls, ZvExc_StandardError), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(ZvExc_ValueError, cls), 0);
    Owned sub(ZvErr_NewException("pkg.Sub", cls, nullptr));
    Owned tup(ZvTuple_Pack(2, ZvExc_KeyError, cls.get()));
    EXPECT_EQ(ZvErr_GivenExceptionMatches(sub, tup), 1);

    // A given dictionary's __module__ is kept; the default is Exception.
    Owned d(ZvDict_New());
    Owned modname(ZvString_FromString("elsewhere"));
    ZvDict_SetItemString(d, "__module__", modname);
    Owned named(ZvErr_NewException("spam.Named", nullptr, d));
    EXPECT_EQ(zv_repr(named).rfind("<class elsewhere.Named at 0x", 0), 0u);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(named, ZvExc_Exception), 1);

    Owned notdict(ZvList_New(0));
    EXPECT_EQ(ZvErr_NewException("spam.Bad", nullptr, notdict), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
}

TEST_F(ErrorsTest, UnraisableErrorsAreReportedAndCleared)
{
    ZvErr_SetString(ZvExc_KeyError, "k");
    testing::internal::CaptureStderr();
    ZvErr_WriteUnraisable(Zv_None);
    ZvErr_SetNone(ZvExc_RuntimeError);
    ZvErr_WriteUnraisable(nullptr);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "Exception exceptions.KeyError: 'k' in None ignored\n"
                   "Exception exceptions.RuntimeError in <nil> ignored\n");
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
}

TEST_F(ErrorsTest, WarningsFallBackToTheErrorStream)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZvErr_Warn(ZvExc_RuntimeWarning, "careful"), 0);
    EXPECT_EQ(ZvErr_WarnExplicit(nullptr, "explicit", "f.zv", 3, "m", nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: careful\nwarning: explicit\n");
}

TEST_F(ErrorsTest, ClassicDivisionWarnsByTheFlag)
{
    Owned seven(ZvInt_FromLong(7)), two(ZvInt_FromLong(2));
    Owned big(ZvLong_FromLongLong(1LL << 40));
    Owned half(ZvFloat_FromDouble(0.5));
    auto divide_all = [&] {
        Owned q1(ZvNumber_Divide(seven, two));
        Owned q2(ZvNumber_Divide(big, two));
        Owned q3(ZvNumber_Divide(half, two));
        EXPECT_EQ(ZvInt_AsLong(q1), 3);
        EXPECT_NE(q2.get(), nullptr);
        EXPECT_NE(q3.get(), nullptr);
    };
    // 0: no warning; 1: ints and longs; 2: floats too.
    int saved = Zv_DivisionWarningFlag;
    std::string out[3];
    for (int flag = 0; flag <= 2; flag++) {
        Zv_DivisionWarningFlag = flag;
        testing::internal::CaptureStderr();
        divide_all();
        out[flag] = testing::internal::GetCapturedStderr();
    }
    Zv_DivisionWarningFlag = saved;
    EXPECT_EQ(out[0], "");
    EXPECT_EQ(out[1], "warning: classic int division\nwarning: classic long division\n");
    EXPECT_EQ(out[2], out[1] + "warning: classic float division\n");
}

TEST_F(ErrorsTest, ProgramTextReadsOneLineWithUniversalNewlines)
{
    TempFile f("first\r\n  \t\fsecond line\rthird\nlast without newline");
    EXPECT_EQ(program_text(f.path, 1), "first\n");
    EXPECT_EQ(program_text(f.path, 2), "second line\n");
    EXPECT_EQ(program_text(f.path, 3), "third\n");
    EXPECT_EQ(program_text(f.path, 4), "last without newline");
    EXPECT_EQ(program_text(f.path, 5), "<none>") << "past the end of a short file";
    EXPECT_EQ(program_text(f.path, 0), "<none>");
    EXPECT_EQ(program_text("/no/such/file.zv", 1), "<none>");
    EXPECT_EQ(ZvErr_ProgramText(nullptr, 1), nullptr);
    // Devices and pipes are no source: /dev/zero would never end a line.
    EXPECT_EQ(program_text("/dev/zero", 2), "<none>");
    EXPECT_EQ(program_text("/tmp", 1), "<none>");

    TempFile empty("");
    EXPECT_EQ(program_text(empty.path, 1), "<none>");
}

TEST_F(ErrorsTest, ProgramTextCountsALongLineOnce)
{
    std::string longline(3000, 'x');
    TempFile f(longline + "\nafter\n");
    EXPECT_EQ(program_text(f.path, 2), "after\n");
    std::string first = program_text(f.path, 1);
    EXPECT_EQ(first, std::string(999, 'x')) << "the first piece of a long line";
    EXPECT_EQ(program_text(f.path, 3), "<none>");
}

TEST_F(ErrorsTest, SyntaxLocationKeepsTheError)
{
    ZvErr_SetString(ZvExc_SyntaxError, "invalid syntax");
    TempFile f("x = (\n");
    ZvErr_SyntaxLocation(f.path.c_str(), 1);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_SyntaxError));
    // The value became a SyntaxError instance carrying the location.
    Owned v(fetch_value());
    ASSERT_TRUE(ZvInstance_Check(v.get()));
    std::string base = f.path.substr(f.path.rfind('/') + 1);
    EXPECT_EQ(zv_str(v), "invalid syntax (" + base + ", line 1)");
    Owned text(ZvObject_GetAttrString(v, "text"));
    EXPECT_EQ(zv_str(text), "x = (\n");
    Owned offset(ZvObject_GetAttrString(v, "offset"));
    EXPECT_EQ(offset.get(), Zv_None);
    ZvErr_SyntaxLocation("nofile", 1); // no error set: nothing happens
    EXPECT_EQ(ZvErr_Occurred(), nullptr);

    // Another class gets msg and print_file_and_line as well.
    ZvErr_SetString(ZvExc_ValueError, "bad value");
    ZvErr_SyntaxLocation("nofile", 7);
    Owned w(fetch_value());
    Owned msg(ZvObject_GetAttrString(w, "msg"));
    EXPECT_EQ(zv_str(msg), "bad value");
    EXPECT_EQ(ZvObject_HasAttrString(w, "print_file_and_line"), 1);
    Owned line(ZvObject_GetAttrString(w, "lineno"));
    EXPECT_EQ(ZvInt_AsLong(line), 7);
}

} // namespace

// --- exception classes seen by the generic protocols ---------------------------------

namespace {

// Every standard class, in table order.
std::vector<ZvObject *> standard_classes()
{
    return {
#define EXC_ROW(name, base, doc) ZvExc_##name,
#include "../../Zuvo/exceptions_rows.h"
#undef EXC_ROW
    };
}

std::string attr_str(ZvObject *o, const char *name)
{
    Owned v(ZvObject_GetAttrString(o, name));
    return v.get() ? zv_repr(v) : "<error: " + zv_error_text() + ">";
}

} // namespace

TEST_F(ErrorsTest, SubclassTestsAgreeWithExceptionMatching)
{
    // The generic subclass test and matching must give one answer for
    // every pair of standard classes.
    std::vector<ZvObject *> all = standard_classes();
    for (ZvObject *a : all) {
        for (ZvObject *b : all) {
            int matches = ZvErr_GivenExceptionMatches(a, b);
            ASSERT_EQ(ZvObject_IsSubclass(a, b), matches)
                << zv_str(a) << " against " << zv_str(b);
        }
    }
    Owned inner(ZvTuple_Pack(2, ZvExc_IndexError, ZvExc_LookupError));
    Owned outer(ZvTuple_Pack(2, ZvExc_ValueError, inner.get()));
    EXPECT_EQ(ZvObject_IsSubclass(ZvExc_KeyError, outer), 1);
    EXPECT_EQ(ZvObject_IsSubclass(ZvExc_TypeError, outer), 0);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(ZvExc_KeyError, outer), 1);

    // Classes made at run time join the same hierarchy.
    Owned cls(ZvErr_NewException("pkg.Oops", ZvExc_KeyError, nullptr));
    EXPECT_EQ(ZvObject_IsSubclass(cls, ZvExc_LookupError), 1);
    EXPECT_EQ(ZvObject_IsSubclass(ZvExc_LookupError, cls), 0);

    // Instances match by their class; strings only by identity.
    Owned inst(ZvObject_CallFunction(ZvExc_KeyError, "s", "k"));
    EXPECT_EQ(ZvObject_IsInstance(inst, ZvExc_LookupError), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(inst, ZvExc_LookupError), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(inst, ZvExc_ValueError), 0);
    Owned s(ZvString_FromString("a string exception"));
    Owned same_text(ZvString_FromString("a string exception"));
    EXPECT_EQ(ZvErr_GivenExceptionMatches(s, s), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(s, same_text), 0) << "equal is not identical";
    EXPECT_EQ(ZvErr_GivenExceptionMatches(s, ZvExc_Exception), 0);
    EXPECT_EQ(ZvObject_IsInstance(s, ZvExc_Exception), 0);
    EXPECT_EQ(ZvObject_IsInstance(ZvExc_KeyError, ZvExc_KeyError), 0);
    EXPECT_EQ(ZvObject_IsSubclass(s, ZvExc_Exception), -1);
    EXPECT_EQ(zv_error_text(), "issubclass() arg 1 must be a class");

    // A tuple nested past the recursion limit matches nothing (and never
    // exhausts the native stack).
    Owned deep(ZvTuple_Pack(1, ZvExc_KeyError));
    for (int i = 0; i < 100000; i++) {
        ZvObject *t = ZvTuple_Pack(1, deep.get());
        Zv_DECREF(deep.p);
        deep.p = t;
    }
    EXPECT_EQ(ZvErr_GivenExceptionMatches(ZvExc_KeyError, deep), 0);
}

TEST_F(ErrorsTest, ExceptionClassesAnswerClassAttributes)
{
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__name__"), "'KeyError'");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__module__"), "'exceptions'");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__doc__"), "'Mapping key not found.'");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__bases__").rfind("(<class exceptions.LookupError at 0x", 0),
              0u);
    EXPECT_EQ(attr_str(ZvExc_Exception, "__bases__"), "()");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "nothing"),
              "<error: class KeyError has no attribute 'nothing'>");
    EXPECT_EQ(zv_str(ZvExc_KeyError), "exceptions.KeyError");

    Owned names(ZvObject_Dir(ZvExc_KeyError));
    ASSERT_NE(names.get(), nullptr);
    for (const char *n : {"'__getitem__'", "'__init__'", "'__str__'", "'__doc__'"})
        EXPECT_NE(zv_repr(names).find(n), std::string::npos) << n << " in " << zv_repr(names);

    Owned cls(ZvErr_NewException("pkg.mod.Oops", ZvExc_ValueError, nullptr));
    EXPECT_EQ(attr_str(cls, "__name__"), "'Oops'");
    EXPECT_EQ(attr_str(cls, "__module__"), "'pkg.mod'");
    EXPECT_EQ(attr_str(cls, "__doc__"), "None");

    // The name must stay a string.
    Owned v(ZvInt_FromLong(1));
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__name__", v), -1);
    EXPECT_EQ(zv_error_text(), "__name__ must be a string object");
}
