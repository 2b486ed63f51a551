// The float type: text forms against the C library's printf, parsing with
// its exact errors, arithmetic at the edges (signed zeros, infinities, NaN,
// overflow), mixed int/long operands, conversions, hashing, the IEEE byte
// layouts and the free list.
#include "exprtest.h"

#include <cmath>
#include <cstring>
#include <random>

using FloatTest = ZvTest;

TEST_F(FloatTest, TextForms)
{
    // repr uses 17 significant digits, str 12; an all-digit text gets ".0"
    // (so repr(1e16) is the long form while str(1e16) has an exponent).
    check_table({
        {"repr(0.1)", "'0.10000000000000001'"},   {"str(0.1)", "'0.1'"},
        {"repr(0.1 + 0.2)", "'0.30000000000000004'"}, {"str(0.1 + 0.2)", "'0.3'"},
        {"repr(1e16)", "'10000000000000000.0'"},  {"str(1e16)", "'1e+16'"},
        {"repr(1e17)", "'1e+17'"},                {"str(3.0)", "'3.0'"},
        {"repr(-0.0)", "'-0.0'"},                 {"str(-0.0)", "'-0.0'"},
        {"repr(inf)", "'inf'"},                   {"repr(-inf)", "'-inf'"},
        {"repr(nan)", "'nan'"},                   {"str(1e-05)", "'1e-05'"},
        {"repr(1e-05)", "'1.0000000000000001e-05'"},
        {"repr(5e-324)", "'4.9406564584124654e-324'"},
        {"repr(1.7976931348623157e308)", "'1.7976931348623157e+308'"},
        // Rounding at the 12th digit: exactly half an integer rounds to even.
        {"str(123456789012.5)", "'123456789012.0'"}, {"str(123456789013.5)", "'123456789014.0'"},
        {"str(1234567890123.0)", "'1.23456789012e+12'"},
        {"str(999999999999.5)", "'1e+12'"},
        {"str(0.000123456789012345)", "'0.000123456789012'"},
        {"repr(123456789012345678.0)", "'1.2345678901234568e+17'"},
    });
    // Every repr reads back as the same double, and matches printf's %.17g
    // in the C locale; str matches %.12g.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; i++) {
        uint64_t bits = rng();
        double d;
        memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        Owned f(ZvFloat_FromDouble(d));
        char ours[100], theirs[100];
        ZvFloat_AsReprString(ours, (ZvFloatObject *)f.get());
        snprintf(theirs, sizeof theirs, "%.17g", d);
        if (strspn(theirs + (*theirs == '-'), "0123456789") == strlen(theirs + (*theirs == '-')))
            strcat(theirs, ".0");
        ASSERT_STREQ(ours, theirs);
        ASSERT_EQ(ZvOS_ascii_strtod(ours, nullptr), d) << ours;
        ZvFloat_AsString(ours, (ZvFloatObject *)f.get());
        snprintf(theirs, sizeof theirs, "%.12g", d);
        ASSERT_EQ(strncmp(ours, theirs, strlen(theirs)), 0) << ours;
    }
}

TEST_F(FloatTest, ParsingAndItsErrors)
{
    std::string long_text(300, '7');
    long_text += "x";
    std::string long_msg = "!ValueError: invalid literal for float(): " + long_text.substr(0, 200);
    check_table({
        {"float('1.5')", "1.5"},            {"float(' \\t\\n1.5 \\n')", "1.5"},
        {"float('+1.5')", "1.5"},           {"float('-.5')", "-0.5"},
        {"float('1.')", "1.0"},             {"float('1E3')", "1000.0"},
        {"float('inf')", "inf"},            {"float('-Infinity')", "-inf"},
        {"float('nan')", "nan"},            {"float('1e500')", "inf"},
        {"float('-1e500')", "-inf"},        {"float('1e-500')", "0.0"},
        {"float('-1e-500')", "-0.0"},       {"float('4e-320')", "3.999955468730732e-320"},
        {"float()", "0.0"},                 {"float(True)", "1.0"},
        {"float(7)", "7.0"},                {"float(2**100)", "1.2676506002282294e+30"},
        {"float('1.5x')", "!ValueError: invalid literal for float(): 1.5x"},
        {"float(' 1.5x')", "!ValueError: invalid literal for float():  1.5x"},
        {"float('')", "!ValueError: empty string for float()"},
        {"float('  ')", "!ValueError: empty string for float()"},
        {"float('1\\0')", "!ValueError: null byte in argument for float()"},
        {"float('\\0')", "!ValueError: null byte in argument for float()"},
        {"float('.')", "!ValueError: invalid literal for float(): ."},
        {"float('1e')", "!ValueError: invalid literal for float(): 1e"},
        {"float('e5')", "!ValueError: invalid literal for float(): e5"},
        {"float('+-1')", "!ValueError: invalid literal for float(): +-1"},
        {"float('--1')", "!ValueError: invalid literal for float(): --1"},
        {"float('1 2')", "!ValueError: invalid literal for float(): 1 2"},
        {"float('1,5')", "!ValueError: invalid literal for float(): 1,5"},
        {"float('0x10')", "!ValueError: invalid literal for float(): 0x10"},
        {"float([])", "!TypeError: float() argument must be a string or a number"},
        {"float(1j)", "!TypeError: can't convert complex to float; use abs(z)"},
        {"float(2L**1024)", "!OverflowError: long int too large to convert to float"},
    });
    EXPECT_EQ(ev(("float('" + long_text + "')").c_str()), long_msg);
    // Enormous texts: many digits still round correctly; a huge exponent
    // saturates.
    std::string tenth = "0.1" + std::string(100000, '0');
    std::string huge(100000, '9');
    std::string tiny = "0." + std::string(100000, '0') + "1";
    EXPECT_EQ(ev(("float('" + tenth + "')").c_str()), "0.10000000000000001");
    EXPECT_EQ(ev(("float('" + huge + "')").c_str()), "inf");
    EXPECT_EQ(ev(("float('" + tiny + "')").c_str()), "0.0");
    EXPECT_EQ(ev("float('1e99999999999999999999999')"), "inf");
    EXPECT_EQ(ev("float('1e-99999999999999999999999')"), "0.0");
}

TEST_F(FloatTest, Arithmetic)
{
    check_table({
        {"-7.5 % 2", "0.5"},                 {"7.5 % -2", "-0.5"},
        {"divmod(-7.5, 2)", "(-4.0, 0.5)"},  {"divmod(7.5, -2)", "(-4.0, -0.5)"},
        {"divmod(-0.0, 1.0)", "(-0.0, 0.0)"}, {"divmod(0.0, -1.0)", "(-0.0, -0.0)"},
        {"-7.0 // 2", "-4.0"},               {"7 // 2.0", "3.0"},
        {"3 / 2.0", "1.5"},                  {"truediv(1, 3)", "0.33333333333333331"},
        {"1.0 / 0", "!ZeroDivisionError: float division"},
        {"truediv(1, 0)", "!ZeroDivisionError: float division"},
        {"1.0 % 0", "!ZeroDivisionError: float modulo"},
        {"divmod(1.0, 0.0)", "!ZeroDivisionError: float divmod()"},
        {"1.0 // 0", "!ZeroDivisionError: float divmod()"},
        {"(-8.0) ** (1.0/3)",
         "!ValueError: negative number cannot be raised to a fractional power"},
        {"(-1.0) ** 1e300", "1.0"},          {"(-1.0) ** 3.0", "-1.0"},
        {"(-1.0) ** inf", "1.0"},            {"(-2.0) ** 3", "-8.0"},
        {"0.0 ** -1", "!ZeroDivisionError: 0.0 cannot be raised to a negative power"},
        {"0.0 ** 0", "1.0"},                 {"nan ** 0", "1.0"},
        {"1e308 * 10", "inf"},               {"inf - inf", "nan"},
        {"10.0 ** 400", "!OverflowError: (34, 'Numerical result out of range')"},
        {"1e-200 ** 2.0", "0.0"},            {"2 ** -1", "0.5"},
        {"pow(2.0, 3, 5)",
         "!TypeError: pow() 3rd argument not allowed unless all arguments are integers"},
        {"2**100 + 0.5", "1.2676506002282294e+30"},
        {"2**1024 + 0.5", "!OverflowError: long int too large to convert to float"},
        {"-(0.0)", "-0.0"},                  {"abs(-0.0)", "0.0"},
        // Exact comparison with ints and longs of any size.
        {"2.0**53 + 1 == 2**53 + 1", "False"}, {"2.0**53 == 2**53", "True"},
        {"1e308 < 2**1024", "True"},         {"2**1024 > 1e308", "True"},
        {"-1e308 > -(2**1024)", "True"},     {"inf > 2**5000", "True"},
        {"-inf < -(2**5000)", "True"},       {"nan == 0", "False"},
        {"nan != nan", "True"},              {"-0.0 == 0", "True"},
        {"0.5 < 1", "True"},                 {"2.5 > 2**60", "False"},
        {"1.5 == 1", "False"},               {"2.0**60 + 2**12 == 2**60 + 2**12", "True"},
        {"(2.0**60 + 2**12) > 2**60 + 2**12 - 1", "True"},
        // Conversions.
        {"int(2147483647.0)", "2147483647L"}, {"int(2147483646.9)", "2147483646"},
        {"int(-2147483648.0)", "-2147483648L"}, {"int(-2.5)", "-2"},
        {"long(1.5)", "1L"},                 {"int(1e20)", "100000000000000000000L"},
        {"int(inf)", "!OverflowError: cannot convert float infinity to long"},
        {"int(nan)", "!ValueError: cannot convert float NaN to integer"},
        // Hashes equal those of equal ints and longs; never -1.
        {"hash(-1.0)", "-2"},                {"hash(0.5)", "1073741824"},
        {"hash(1.5)", "1610645504"},         {"hash(2.0**100) == hash(2**100)", "True"},
        {"hash(-0.0)", "0"},
    });
}

TEST_F(FloatTest, IeeeByteLayouts)
{
    // value, then half, single and double in big-endian hex ("" = too large).
    const struct {
        double x;
        const char *hex[3];
    } rows[] = {
        {1.0, {"3c00", "3f800000", "3ff0000000000000"}},
        {-2.0, {"c000", "c0000000", "c000000000000000"}},
        {-0.0, {"8000", "80000000", "8000000000000000"}},
        {0.1, {"2e66", "3dcccccd", "3fb999999999999a"}},
        {65504.0, {"7bff", "477fe000", "40effc0000000000"}},
        {65520.0, {"", "477ff000", "40effe0000000000"}},     // half: rounds up past the top
        {2049.0, {"6800", "45001000", "40a0020000000000"}},  // half: a tie goes to even
        {16777217.0, {"", "4b800000", "4170000010000000"}},  // single: a tie goes to even
        {ldexp(1.0, -24), {"0001", "33800000", "3e70000000000000"}},
        {ldexp(1.0, -149), {"0000", "00000001", "36a0000000000000"}},
        {5e-324, {"0000", "00000000", "0000000000000001"}},
        {3.4028234663852886e38, {"", "7f7fffff", "47efffffe0000000"}},
        {1e300, {"", "", "7e37e43c8800759c"}},
        {-HUGE_VAL, {"fc00", "ff800000", "fff0000000000000"}},
        {NAN, {"7e00", "7fc00000", "7ff8000000000000"}},
    };
    const struct {
        int (*pack)(double, unsigned char *, int);
        double (*unpack)(const unsigned char *, int);
        int n;
        char letter;
    } formats[] = {{_ZvFloat_Pack2, _ZvFloat_Unpack2, 2, 'e'},
                   {_ZvFloat_Pack4, _ZvFloat_Unpack4, 4, 'f'},
                   {_ZvFloat_Pack8, _ZvFloat_Unpack8, 8, 'd'}};
    for (const auto &row : rows) {
        for (int k = 0; k < 3; k++) {
            const auto &fmt = formats[k];
            unsigned char be[8], le[8], again[8];
            char hex[17] = "";
            if (fmt.pack(row.x, be, 0) < 0) {
                EXPECT_EQ(R(nullptr), std::string("!OverflowError: float too large to pack with ") +
                                          fmt.letter + " format");
            } else {
                for (int i = 0; i < fmt.n; i++) snprintf(hex + 2 * i, 3, "%02x", be[i]);
            }
            EXPECT_STREQ(hex, row.hex[k]) << row.x << " in " << fmt.n << " bytes";
            if (!*hex) continue;
            ASSERT_EQ(fmt.pack(row.x, le, 1), 0);
            for (int i = 0; i < fmt.n; i++) EXPECT_EQ(le[i], be[fmt.n - 1 - i]);
            // Reading back gives the rounded value (a single as the C cast
            // rounds) with its sign, which packs to the same bytes.
            double back = fmt.unpack(be, 0), back_le = fmt.unpack(le, 1);
            EXPECT_EQ(memcmp(&back, &back_le, sizeof back), 0) << row.x;
            EXPECT_EQ(std::isnan(back), std::isnan(row.x));
            EXPECT_EQ(std::signbit(back), std::signbit(row.x) && !std::isnan(row.x)) << row.x;
            double rounded = k == 1 ? (double)(float)row.x : row.x;
            if (k > 0 && !std::isnan(row.x)) {
                EXPECT_EQ(back, rounded) << row.x;
            }
            ASSERT_EQ(fmt.pack(back, again, 0), 0);
            EXPECT_EQ(memcmp(again, be, (size_t)fmt.n), 0) << row.x;
        }
    }
    unsigned char b[4];
    EXPECT_EQ(_ZvFloat_Pack4(3.4028235677973366e38, b, 0), -1); // the tie above the top
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
}

TEST_F(FloatTest, FreeListSubtypesAndShutDownReport)
{
    // A dropped float's record is the next one handed out.
    ZvObject *a = ZvFloat_FromDouble(1.25);
    void *where = a;
    Zv_DECREF(a);
    Owned b(ZvFloat_FromDouble(2.5));
    EXPECT_EQ((void *)b.get(), where);

    // Instances of a subtype come from the subtype's allocator.
    Owned sub(ZvObject_CallFunction((ZvObject *)&ZvType_Type, "s(O){}", "F",
                                    (ZvObject *)&ZvFloat_Type));
    ASSERT_NE(sub.get(), nullptr);
    Owned args(lit("('2.5',)"));
    Owned inst(ZvObject_Call(sub, args, nullptr));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(inst.get()), (ZvTypeObject *)sub.get());
    EXPECT_EQ(zv_repr(inst), "2.5");
    EXPECT_EQ(R(zv_call_method(inst, "__getnewargs__")), "(2.5,)");
    Owned neg(ZvNumber_Negative(inst));
    EXPECT_TRUE(ZvFloat_CheckExact(neg.get()));

    // Shut-down keeps blocks with live floats, reports them when verbose,
    // and the survivors (and new floats) keep working.
    int saved = Zv_VerboseFlag;
    Zv_VerboseFlag = 1;
    testing::internal::CaptureStderr();
    ZvFloat_Fini();
    std::string report = testing::internal::GetCapturedStderr();
    Zv_VerboseFlag = saved;
    EXPECT_EQ(report.rfind("# cleanup floats: ", 0), 0u) << report;
    EXPECT_NE(report.find("unfreed float"), std::string::npos) << report;
    EXPECT_EQ(ZvFloat_AS_DOUBLE(b.get()), 2.5);
    Owned c(ZvFloat_FromDouble(-3.0));
    EXPECT_EQ(zv_repr(c), "-3.0");
}

TEST_F(FloatTest, LocaleIndependentConversions)
{
    // The printf shapes the formatter takes, and what it refuses.
    char buf[64];
    EXPECT_STREQ(ZvOS_ascii_formatd(buf, sizeof buf, "%#.6g", 0.0001), "0.000100000");
    EXPECT_STREQ(ZvOS_ascii_formatd(buf, sizeof buf, "%+.3G", NAN), "+NAN");
    for (const char *bad : {"%d", "%.3q", ".3g", "%.3gx"})
        EXPECT_EQ(ZvOS_ascii_formatd(buf, sizeof buf, bad, 1.0), nullptr) << bad;
    EXPECT_EQ(ZvOS_ascii_formatd(buf, sizeof buf, "%.60f", 1e10), nullptr); // too long
    char *end;
    EXPECT_EQ(ZvOS_ascii_strtod("  -1.5e3xyz", &end), -1500.0);
    EXPECT_STREQ(end, "xyz");
    const char *none = "x1";
    EXPECT_EQ(ZvOS_ascii_strtod(none, &end), 0.0);
    EXPECT_EQ(end, none);
    errno = 0;
    EXPECT_EQ(ZvOS_ascii_strtod("-1e999", nullptr), -HUGE_VAL);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
}
