// The complex type: arithmetic through the generic protocols (so mixed
// operands go through coercion), powers on both paths, text forms,
// parsing and construction with their exact errors, comparison and
// hashing, and the C-level accessors.
#include "exprtest.h"

#include <cerrno>
#include <cmath>

using ComplexTest = ZvTest;

TEST_F(ComplexTest, Arithmetic)
{
    check_table({
        {"str((1+2j) / (3-4j))", "'(-0.2+0.4j)'"},
        {"truediv(1+2j, 3-4j) == (1+2j) / (3-4j)", "True"},
        {"1 + 1j", "(1+1j)"},                {"1.5 * 2j", "3j"},
        {"(1+2j) - 3", "(-2+2j)"},           {"2**100 * 1j", "1.2676506002282294e+30j"},
        {"2**1024 + 1j", "!OverflowError: long int too large to convert to float"},
        {"-(1+2j)", "(-1-2j)"},              {"abs(3+4j)", "5.0"},
        {"abs(1e300+1e300j) < inf", "True"},
        {"1j / 0", "!ZeroDivisionError: complex division"},
        {"truediv(1j, 0.0)", "!ZeroDivisionError: complex division"},
        {"(1e300+1e300j) / (1e300+1e300j)", "(1+0j)"},      // scaled: no overflow
        // Powers: small integral exponents multiply, exactly.
        {"1j ** 2", "(-1+0j)"},              {"(1+1j) ** 2", "2j"},
        {"(1+2j) ** (3+0j)", "(-11-2j)"},
        {"(1+2j) ** -1", "(0.20000000000000001-0.40000000000000002j)"},
        {"0j ** 0", "(1+0j)"},               {"0j ** 2.5", "0j"},
        {"0j ** -1", "!ZeroDivisionError: 0.0 to a negative or complex power"},
        {"0j ** 1j", "!ZeroDivisionError: 0.0 to a negative or complex power"},
        {"str(2 ** 1j)", "'(0.769238901364+0.638961276314j)'"},
        {"str((-1+0j) ** 0.5)", "'(6.12323399574e-17+1j)'"},
        {"(1e200+1e200j) ** 2", "!OverflowError: complex exponentiaion"},
        {"(1e200+0j) ** 2.5", "!OverflowError: complex exponentiaion"},
        {"(1e-200+0j) ** 2.5", "0j"},
        {"pow(1j, 2, 3)", "!ValueError: complex modulo"},
        // Conversions refuse.
        {"int(1j)", "!TypeError: can't convert complex to int; use int(abs(z))"},
        {"long(1j)", "!TypeError: can't convert complex to long; use long(abs(z))"},
        // Attributes and methods.
        {"(1+2j).real", "1.0"},              {"(1+2j).imag", "2.0"},
        {"(1+2j).conjugate()", "(1-2j)"},    {"(1+2j).__getnewargs__()", "((1+2j),)"},
    });
    EXPECT_EQ(ZvObject_IsTrue(Owned(lit("0j"))), 0);
    EXPECT_EQ(ZvObject_IsTrue(Owned(lit("-0.0+1e-300j"))), 1);
    Owned c(lit("1+2j"));
    EXPECT_EQ(ZvObject_SetAttrString(c, "real", Owned(lit("3.0"))), -1);
    EXPECT_NE(ZvErr_Occurred(), nullptr);
    ZvErr_Clear();
}

TEST_F(ComplexTest, DeprecatedFloorDivisionAndRemainder)
{
    testing::internal::CaptureStderr();
    check_table({
        {"(5+3j) % 2", "(1+3j)"},            {"(5+3j) // 2", "(2+0j)"},
        {"divmod(-5+3j, 2)", "((-3+0j), (1+3j))"},
        {"1j % 0", "!ZeroDivisionError: complex remainder"},
        {"divmod(1j, 0)", "!ZeroDivisionError: complex divmod()"},
        {"1j // 0", "!ZeroDivisionError: complex divmod()"},
    });
    std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_NE(warnings.find("complex divmod(), // and % are deprecated"), std::string::npos);
}

TEST_F(ComplexTest, TextForms)
{
    check_table({
        {"repr(1j)", "'1j'"},                {"repr(1+1j)", "'(1+1j)'"},
        {"repr(-0.5+2j)", "'(-0.5+2j)'"},    {"repr(1-1j)", "'(1-1j)'"},
        {"repr(0.1j)", "'0.10000000000000001j'"}, {"str(0.1j)", "'0.1j'"},
        {"repr(1e16j)", "'10000000000000000j'"}, {"repr(1e17j)", "'1e+17j'"},
        {"str(1e16+1j)", "'(1e+16+1j)'"},
        {"repr(complex(-0.0, 1))", "'1j'"},  {"repr(complex(inf, -nan))", "'(inf+nanj)'"},
        {"repr(complex(1, -inf))", "'(1-infj)'"},
    });
}

TEST_F(ComplexTest, ParsingAndConstruction)
{
    check_table({
        {"complex('1+2j')", "(1+2j)"},       {"complex(' 1+2j\\n')", "(1+2j)"},
        {"complex('j')", "1j"},              {"complex('-j')", "-1j"},
        {"complex('+J')", "1j"},             {"complex('1-j')", "(1-1j)"},
        {"complex('1.5e3-2.5e-2J')", "(1500-0.025000000000000001j)"},
        {"complex('-1.5')", "(-1.5+0j)"},    {"complex('2.5j')", "2.5j"},
        {"complex('inf-infj')", "(inf-infj)"}, {"complex('1e-500')", "0j"},
        {"complex('1 + 2j')", "!ValueError: complex() arg is a malformed string"},
        {"complex('(1+2j)')", "!ValueError: complex() arg is a malformed string"},
        {"complex('1+2')", "!ValueError: complex() arg is a malformed string"},
        {"complex('1j2')", "!ValueError: complex() arg is a malformed string"},
        {"complex('1++2j')", "!ValueError: complex() arg is a malformed string"},
        {"complex('+-j')", "!ValueError: complex() arg is a malformed string"},
        {"complex('1e')", "!ValueError: complex() arg is a malformed string"},
        {"complex('x')", "!ValueError: complex() arg is a malformed string"},
        {"complex('')", "!ValueError: complex() arg is an empty string"},
        {"complex(' ')", "!ValueError: complex() arg is an empty string"},
        {"complex('1\\0')", "!ValueError: complex() arg contains a null byte"},
        {"complex('1e500')", "!ValueError: float() out of range: 1e500"},
        {"complex('1+1e500j')", "!ValueError: float() out of range: 1+1e500j"},
        {"complex('1', 2)", "!TypeError: complex() can't take second arg if first is a string"},
        {"complex(1, '2')", "!TypeError: complex() second arg can't be a string"},
        {"complex([])", "!TypeError: complex() argument must be a string or a number"},
        {"complex(1, [])", "!TypeError: complex() argument must be a string or a number"},
        {"complex()", "0j"},                 {"complex(1)", "(1+0j)"},
        {"complex(1.5, 2)", "(1.5+2j)"},     {"complex(1j, 1j)", "(-1+1j)"},
        {"complex(True, 2L)", "(1+2j)"},
        {"complex(2L**1024)", "!OverflowError: long int too large to convert to float"},
    });
    // An exact complex comes back as itself; keywords name the parts.
    Owned c(lit("1+2j")), one(lit("(1+2j,)"));
    Owned same(ZvObject_Call((ZvObject *)&ZvComplex_Type, one, nullptr));
    EXPECT_EQ(same.get(), ZvTuple_GET_ITEM(one.get(), 0));
    Owned empty(ZvTuple_New(0)), kw(lit("{'imag': 3, 'real': 0.5}"));
    EXPECT_EQ(R(ZvObject_Call((ZvObject *)&ZvComplex_Type, empty, kw)), "(0.5+3j)");
}

namespace {
ZvObject *answer_complex(ZvObject *, ZvObject *) { return ZvComplex_FromDoubles(3, 4); }
ZvObject *answer_string(ZvObject *, ZvObject *) { return ZvString_FromString("3+4j"); }
ZvObject *answer_error(ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_KeyError, "inside __complex__");
    return nullptr;
}

// An instance of a new class whose __complex__ is a native function.
ZvObject *with_complex(ZvMethodDef *def)
{
    Owned fn(ZvCFunction_New(def, nullptr));
    Owned dict(ZvDict_New());
    ZvDict_SetItemString(dict, "__complex__", fn);
    Owned cls(ZvObject_CallFunction((ZvObject *)&ZvType_Type, "s()O", "K", dict.get()));
    return ZvObject_CallObject(cls, nullptr);
}
} // namespace

TEST_F(ComplexTest, ComplexMethodOfAnObject)
{
    static ZvMethodDef good = {"__complex__", answer_complex, METH_NOARGS, nullptr};
    static ZvMethodDef bad = {"__complex__", answer_string, METH_NOARGS, nullptr};
    static ZvMethodDef raising = {"__complex__", answer_error, METH_NOARGS, nullptr};
    auto make = [](ZvMethodDef *def) {
        Owned obj(with_complex(def));
        Owned args(ZvTuple_Pack(1, obj.get()));
        return R(ZvObject_Call((ZvObject *)&ZvComplex_Type, args, nullptr));
    };
    EXPECT_EQ(make(&good), "(3+4j)");
    EXPECT_EQ(make(&bad), "!TypeError: complex() argument must be a string or a number");
    EXPECT_EQ(make(&raising), "!KeyError: inside __complex__");
    // Subclasses are built from the computed value; operations give plain
    // complex numbers.
    Owned sub(ZvObject_CallFunction((ZvObject *)&ZvType_Type, "s(O){}", "C",
                                    (ZvObject *)&ZvComplex_Type));
    Owned args(lit("('1-2j',)"));
    Owned inst(ZvObject_Call(sub, args, nullptr));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(inst.get()), (ZvTypeObject *)sub.get());
    EXPECT_EQ(zv_repr(inst), "(1-2j)");
    Owned sum(ZvNumber_Add(inst, Owned(lit("1"))));
    EXPECT_TRUE(ZvComplex_CheckExact(sum.get()));
    EXPECT_EQ(zv_repr(sum), "(2-2j)");
}

TEST_F(ComplexTest, ComparisonAndHash)
{
    check_table({
        {"1j == 1j", "True"},                {"1j != 1j", "False"},
        {"1j < 2j", "!TypeError: no ordering relation is defined for complex numbers"},
        {"1j >= 1", "!TypeError: no ordering relation is defined for complex numbers"},
        {"(1+0j) == 1", "True"},             {"(1+0j) == 1.0", "True"},
        {"1 == (1+0j)", "True"},             {"1j == 1.0", "False"},
        // Equality with longs is exact, like the float's.
        {"(2**53+0j) == 2**53", "True"},     {"(2**53+0j) == 2**53 + 1", "False"},
        {"1j == 2**5000", "False"},          {"0j != 2**5000", "True"},
        {"1j == 'a'", "False"},
        {"hash(3+0j) == hash(3)", "True"},   {"hash(1j)", "1000003"},
        {"hash(-1+0j)", "-2"},               {"hash(2**40+0j) == hash(2**40)", "True"},
        {"hash(0.5+1.5j)", "18972672"},  // 1073741824 + 1000003 * 1610645504, wrapped
    });
}

TEST_F(ComplexTest, ValueFunctionsAndAccessors)
{
    errno = 0;
    ZvComplex q = _Zv_c_quot({1, 1}, {0, 0});
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(q.real, 0.0);
    errno = 0;
    (void)_Zv_c_pow({0, 0}, {-1, 0});
    EXPECT_EQ(errno, EDOM);
    errno = 0;
    ZvComplex p = _Zv_c_pow({0, 0}, {0, 0});
    EXPECT_EQ(p.real, 1.0);
    EXPECT_EQ(errno, 0);
    ZvComplex s = _Zv_c_diff(_Zv_c_sum({1, 2}, {3, 4}), _Zv_c_neg({1, 1}));
    EXPECT_EQ(s.real, 5.0);
    EXPECT_EQ(s.imag, 7.0);

    Owned three(lit("3")), z(lit("1.5-2j")), str(lit("'x'"));
    EXPECT_EQ(ZvComplex_RealAsDouble(three), 3.0);
    EXPECT_EQ(ZvComplex_ImagAsDouble(three), 0.0);
    EXPECT_EQ(ZvComplex_RealAsDouble(z), 1.5);
    EXPECT_EQ(ZvComplex_ImagAsDouble(z), -2.0);
    ZvComplex zc = ZvComplex_AsCComplex(z);
    EXPECT_EQ(zc.imag, -2.0);
    EXPECT_EQ(ZvComplex_AsCComplex(str).real, -1.0);
    EXPECT_EQ(R(nullptr), "!TypeError: a float is required");
    EXPECT_EQ(ZvComplex_RealAsDouble(nullptr), -1.0);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvComplex_ImagAsDouble(nullptr), -1.0);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}
