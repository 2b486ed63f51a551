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

TEST_F(ErrorsTest, NormalizeFillsAMissingValue)
{
    ZvObject *t = ZvExc_ValueError, *v = nullptr, *tb = nullptr;
    Zv_INCREF(t);
    ZvErr_NormalizeException(&t, &v, &tb);
    EXPECT_EQ(v, Zv_None);
    Zv_DECREF(t);
    Zv_DECREF(v);

    ZvObject *nt = nullptr, *nv = nullptr;
    ZvErr_NormalizeException(&nt, &nv, &tb);
    EXPECT_EQ(nv, nullptr) << "no type: nothing to normalize";
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
    EXPECT_EQ(zv_repr(cls), "<class pkg.mod.Oops>");
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
    EXPECT_EQ(zv_repr(named), "<class elsewhere.Named>");
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
    EXPECT_EQ(zv_error_text(), "invalid syntax");
    ZvErr_SyntaxLocation("nofile", 1); // no error set: nothing happens
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
}

} // namespace

// --- exception classes seen by the generic protocols ---------------------------------

namespace {

// Every standard class, in table order.
std::vector<ZvObject *> standard_classes()
{
    return {
#define EXC_ROW(name, base) ZvExc_##name,
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
    // The generic tests walk __bases__; matching walks the record's base
    // chain.  For every pair of standard classes they must give one answer.
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

    // Classes made at run time, dictionary or not, join the same chain.
    Owned cls(ZvErr_NewException("pkg.Oops", ZvExc_KeyError, nullptr));
    EXPECT_EQ(ZvObject_IsSubclass(cls, ZvExc_LookupError), 1);
    EXPECT_EQ(ZvObject_IsSubclass(ZvExc_LookupError, cls), 0);

    // No instances exist yet: nothing raised as a value is an instance.
    Owned s(ZvString_FromString("a string exception"));
    EXPECT_EQ(ZvObject_IsInstance(s, ZvExc_Exception), 0);
    EXPECT_EQ(ZvObject_IsInstance(ZvExc_KeyError, ZvExc_KeyError), 0);
    EXPECT_EQ(ZvObject_IsSubclass(s, ZvExc_Exception), -1);
    EXPECT_EQ(zv_error_text(), "issubclass() arg 1 must be a class");
}

TEST_F(ErrorsTest, ExceptionClassesAnswerClassAttributes)
{
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__name__"), "'KeyError'");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__module__"), "'exceptions'");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "__bases__"), "(<class exceptions.LookupError>,)");
    EXPECT_EQ(attr_str(ZvExc_Exception, "__bases__"), "()");
    EXPECT_EQ(attr_str(ZvExc_KeyError, "nothing"),
              "<error: 'classobj' object has no attribute 'nothing'>");

    // A standard class gets its dictionary when first asked; it then holds
    // what is stored there, and dir() lists it.
    Owned d(ZvObject_GetAttrString(ZvExc_ArithmeticError, "__dict__"));
    ASSERT_TRUE(d.get() != nullptr && ZvDict_Check(d.get()));
    Owned v(ZvInt_FromLong(1));
    ASSERT_EQ(ZvDict_SetItemString(d, "marker", v), 0);
    Owned again(ZvObject_GetAttrString(ZvExc_ArithmeticError, "__dict__"));
    EXPECT_EQ(again.get(), d.get());
    Owned names(ZvObject_Dir(ZvExc_ArithmeticError));
    ASSERT_NE(names.get(), nullptr);
    EXPECT_NE(zv_repr(names).find("'marker'"), std::string::npos) << zv_repr(names);
    ASSERT_EQ(ZvDict_DelItemString(d, "marker"), 0);

    Owned cls(ZvErr_NewException("pkg.mod.Oops", ZvExc_ValueError, nullptr));
    EXPECT_EQ(attr_str(cls, "__name__"), "'Oops'");
    EXPECT_EQ(attr_str(cls, "__module__"), "'pkg.mod'");

    // The class attributes are read-only.
    EXPECT_EQ(ZvObject_SetAttrString(ZvExc_KeyError, "__name__", v), -1);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
}
