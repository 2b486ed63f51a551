// The standard exception classes through the C API: the whole table
// (bases, docstrings, module) and the Unicode errors' native constructor
// and accessors.  Their methods are exercised by tests/lang/exceptions.
#include <string>

#include "typetest.h"

namespace {

using ExceptionsTest = ZvTest;

// An instance of cls made from the arguments built by `format`.
ZvObject *make(ZvObject *cls, const char *format, ...)
{
    va_list va;
    va_start(va, format);
    Owned args(Zv_VaBuildValue(format, va));
    va_end(va);
    if (args.get() == nullptr) return nullptr;
    return ZvObject_Call(cls, args, nullptr);
}

// str() of an owned instance, or "!message".
std::string S(ZvObject *owned)
{
    if (owned == nullptr) return "!" + zv_error_text();
    std::string s = zv_str(owned);
    Zv_DECREF(owned);
    return s;
}

std::string attr(ZvObject *o, const char *name)
{
    Owned v(ZvObject_GetAttrString(o, name));
    return v.get() ? zv_repr(v) : "!" + zv_error_text();
}

} // namespace

TEST_F(ExceptionsTest, TheTableBuildsClassicClasses)
{
    struct Row {
        ZvObject *cls;
        const char *name;
        ZvObject *base;
        const char *doc;
    } rows[] = {
#define EXC_ROW(name, base, doc) {ZvExc_##name, #name, (base) ? *(ZvObject **)(base) : nullptr, doc},
#include "../../Zuvo/exceptions_rows.h"
#undef EXC_ROW
    };
    ZvObject *module = ZvImport_AddModule("exceptions");
    ZvObject *mdict = ZvModule_GetDict(module);
    for (const Row &r : rows) {
        ASSERT_TRUE(ZvClass_Check(r.cls)) << r.name;
        auto *cp = (ZvClassObject *)r.cls;
        EXPECT_EQ(zv_str(cp->cl_name), r.name);
        EXPECT_EQ(attr(r.cls, "__module__"), "'exceptions'");
        Owned doc(ZvObject_GetAttrString(r.cls, "__doc__"));
        EXPECT_EQ(zv_str(doc), r.doc);
        ZvObject *base = r.base == nullptr && r.cls != ZvExc_Exception ? ZvExc_StandardError : r.base;
        if (base == nullptr) {
            EXPECT_EQ(ZvTuple_GET_SIZE(cp->cl_bases), 0);
        } else {
            ASSERT_EQ(ZvTuple_GET_SIZE(cp->cl_bases), 1) << r.name;
            EXPECT_EQ(ZvTuple_GET_ITEM(cp->cl_bases, 0), base) << r.name;
        }
        EXPECT_EQ(ZvDict_GetItemString(mdict, r.name), r.cls) << r.name;
    }
    EXPECT_NE(zv_str(Owned(ZvObject_GetAttrString(module, "__doc__"))).find(" +-- UnicodeDecodeError"),
              std::string::npos);
    EXPECT_TRUE(ZvInstance_Check(ZvExc_MemoryErrorInst));
    EXPECT_EQ(ZvObject_IsInstance(ZvExc_MemoryErrorInst, ZvExc_MemoryError), 1);
    EXPECT_EQ(attr(ZvExc_SyntaxError, "msg") + attr(ZvExc_TabError, "print_file_and_line"), "''None");
}

TEST_F(ExceptionsTest, UnicodeErrorsCheckTheirAttributes)
{
    Owned one(make(ZvExc_UnicodeDecodeError, "(ss#iis)", "ascii", "ab\xff", 3, 2, 3, "ordinal"));
    EXPECT_EQ(zv_str(one), "'ascii' codec can't decode byte 0xff in position 2: ordinal");
    Owned many(ZvUnicodeDecodeError_Create("utf-8", "abc", 3, 0, 2, "bad"));
    EXPECT_EQ(zv_str(many), "'utf-8' codec can't decode bytes in position 0-1: bad");
    EXPECT_EQ(attr(many, "args"), "('utf-8', 'abc', 0, 2, 'bad')");
    EXPECT_TRUE(ZvObject_IsInstance(many, ZvExc_ValueError));

    // Positions are clamped against the object; an empty object never
    // makes them index outside it.
    int start = -1, end = -1;
    ZvUnicodeDecodeError_SetStart(many, -5);
    ZvUnicodeDecodeError_SetEnd(many, 99);
    EXPECT_EQ(ZvUnicodeDecodeError_GetStart(many, &start), 0);
    EXPECT_EQ(ZvUnicodeDecodeError_GetEnd(many, &end), 0);
    EXPECT_EQ(std::to_string(start) + "," + std::to_string(end), "0,3");
    ZvUnicodeDecodeError_SetStart(many, 7);
    ZvUnicodeDecodeError_GetStart(many, &start);
    EXPECT_EQ(start, 2);
    Owned empty(ZvUnicodeDecodeError_Create("ascii", "", 0, 0, 1, "r"));
    EXPECT_EQ(zv_str(empty), "'ascii' codec can't decode bytes in position 0--1: r");
    ZvUnicodeDecodeError_SetReason(many, "other");
    EXPECT_EQ(zv_str(Owned(ZvUnicodeDecodeError_GetReason(many))), "other");

    Owned seven(zv_int(7));
    ZvObject_SetAttrString(many, "encoding", seven);
    EXPECT_EQ(S(ZvUnicodeDecodeError_GetEncoding(many)), "!encoding attribute must be str");
    ZvObject_SetAttrString(many, "start", ZvExc_KeyError);
    EXPECT_EQ(ZvUnicodeDecodeError_GetStart(many, &start), -1);
    EXPECT_EQ(zv_error_text(), "start attribute must be int");
    EXPECT_EQ(S(make(ZvExc_UnicodeDecodeError, "(siiis)", "ascii", 1, 0, 1, "r")).rfind("!", 0), 0u);
    EXPECT_EQ(S(make(ZvExc_UnicodeDecodeError, "(ss)", "ascii", "x")).rfind("!", 0), 0u);

    // Encode and translate errors hold unicode objects, which do not
    // exist yet: they refuse every object.
    EXPECT_EQ(S(make(ZvExc_UnicodeEncodeError, "(ssiis)", "ascii", "x", 0, 1, "r")).rfind("!", 0), 0u);
    EXPECT_EQ(S(make(ZvExc_UnicodeTranslateError, "(siis)", "x", 0, 1, "r")).rfind("!", 0), 0u);
    Owned raw(ZvInstance_NewRaw(ZvExc_UnicodeEncodeError, nullptr));
    Owned x(zv_string("x"));
    ZvObject_SetAttrString(raw, "object", x);
    EXPECT_EQ(S(ZvUnicodeEncodeError_GetObject(raw)), "!object attribute must be unicode");
    EXPECT_EQ(S(ZvObject_Str(raw)), "!object attribute must be unicode");
    EXPECT_EQ(S(ZvUnicodeTranslateError_GetObject(raw)), "!object attribute must be unicode");
    EXPECT_EQ(S(ZvUnicodeEncodeError_GetReason(raw)),
              "!UnicodeEncodeError instance has no attribute 'reason'");
}
