// The % operator of byte strings: every conversion, flag, width, precision,
// `*` and mapping key against its exact output, the argument-count and
// argument-kind errors, and counts beyond the int range.
#include "exprtest.h"

#include <string>

using FormatTest = ZvTest;

namespace {

// format % args (args given as a literal), rendered as the raw result text
// or "!Name: message".
std::string fmt(const std::string &format, const char *args)
{
    Owned f(ZvString_FromStringAndSize(format.data(), (int)format.size()));
    Owned a(lit(args));
    if (a.get() == nullptr) return "<bad literal>";
    ZvObject *r = ZvNumber_Remainder(f, a);
    if (r == nullptr) return R(r);
    std::string s(ZvString_AS_STRING(r), (size_t)ZvString_GET_SIZE(r));
    Zv_DECREF(r);
    return s;
}

struct Row {
    const char *format;
    const char *args;
    const char *expect;
};

void check(std::initializer_list<Row> rows)
{
    for (const Row &row : rows)
        EXPECT_EQ(fmt(row.format, row.args), row.expect) << row.format << " % " << row.args;
}

const char *const kNotEnough = "!TypeError: not enough arguments for format string";
const char *const kNotAll = "!TypeError: not all arguments converted during string formatting";
const char *const kIntTooLong =
    "!OverflowError: formatted integer is too long (precision too large?)";
const char *const kFloatTooLong =
    "!OverflowError: formatted float is too long (precision too large?)";

} // namespace

TEST_F(FormatTest, ArgumentSources)
{
    check({
        {"%s", "'x'", "x"},                  {"%s", "('x',)", "x"},
        {"%s %s", "'x'", kNotEnough},        {"%s", "('a', 'b')", kNotAll},
        {"abc", "()", "abc"},                {"abc", "5", kNotAll},
        {"abc", "{}", "abc"},                {"abc", "[]", "abc"},
        {"%s", "(1, 2)", kNotAll},           {"%s", "((1, 2),)", "(1, 2)"},
        {"%s", "[1, 2]", "[1, 2]"},          {"%s|%s", "({}, 1)", "{}|1"},
        {"%(a)s %(b)d", "{'a': 1, 'b': 2}", "1 2"},
        {"%(a)s", "5", "!TypeError: format requires a mapping"},
        {"%(a)s", "('x',)", "!TypeError: format requires a mapping"},
        {"%(a", "{}", "!ValueError: incomplete format key"},
        {"%(a(b)s", "{}", "!ValueError: incomplete format key"},
        {"%(a(b))s", "{'a(b)': 7}", "7"},    {"%()s", "{'': 'e'}", "e"},
        {"%(x)s", "{}", "!KeyError: x"},
        {"%(a)s %s", "{'a': 1}", kNotEnough}, // the keyed value replaces the source
        {"%(a)*d", "{'a': 5}", kNotEnough},
        {"%(a)s%%", "{'a': 1}", "1%"},
        {"%s", "{'a': 1}", "{'a': 1}"},
        {"%*d", "(5,)", kNotEnough},         {"%*d", "5", kNotEnough},
    });
}

TEST_F(FormatTest, IntegerConversions)
{
    check({
        {"%5d|%-5d|%05d", "(42, 42, 42)", "   42|42   |00042"},
        {"%+d % d", "(5, 5)", "+5  5"},      {"%05d", "-42", "-0042"},
        {"%*d", "(-4, 1)", "1   "},          {"%-*d|", "(3, 1)", "1  |"},
        {"%+05d", "42", "+0042"},            {"% 05d", "42", " 0042"},
        {"%+5d", "-42", "  -42"},            {"%-+5d|", "42", "+42  |"},
        {"%2d", "-42", "-42"},               {"%.3d", "-7", "-007"},
        {"%.0d", "0", ""},                   {"%i %ld %hd %Ld", "(-7, 1, 2, 3)", "-7 1 2 3"},
        {"%d", "-2147483648", "-2147483648"}, {"%d", "True", "1"},
        {"%d", "3.7", "3"},                  {"%x", "3.9", "3"},
        {"%d", "2147483647.5", "2147483647"}, {"%d", "-2147483648.5", "-2147483648"},
        {"%d", "1e10", "!TypeError: int argument required"},
        {"%d", "'5'", "!TypeError: int argument required"},
        {"%d", "None", "!TypeError: int argument required"},
        {"%d", "inf", "!TypeError: int argument required"},
        {"%u", "-3", "-3"},                  {"%u", "2**40", "1099511627776"},
        {"%x", "255", "ff"},                 {"%X", "255", "FF"},
        {"%#x", "0", "0x0"},                 {"%#X", "255", "0XFF"},
        {"%#o", "8", "010"},                 {"%#o", "0", "0"},
        {"%#.0o", "0", "0"},                 {"%o", "-8", "-10"},
        {"%#o", "-8", "-010"},               {"%#5o", "8", "  010"},
        {"%x", "-255", "-ff"},               {"%#x", "-255", "-0xff"},
        {"%x", "-2147483648", "-80000000"},  {"%5.3x", "255", "  0ff"},
        {"%#.5x", "255", "0x000ff"},         {"%#08x", "255", "0x0000ff"},
        {"%#8x", "255", "    0xff"},         {"%#-8x|", "255", "0xff    |"},
        {"%#08x", "-255", "-0x000ff"},       {"%+#x", "255", "+0xff"},
        {"%#2x", "255", "0xff"},
        // Longs go through the long formatter.
        {"%x", "2**64", "10000000000000000"}, {"%#x", "2**64", "0x10000000000000000"},
        {"%X", "2**64 - 1", "FFFFFFFFFFFFFFFF"}, {"%#X", "-(2**64)", "-0X10000000000000000"},
        {"%#.20X", "2**64", "0X00010000000000000000"},
        {"%#022x", "2**64", "0x00010000000000000000"},
        {"%.20d", "1", "00000000000000000001"}, {"%.20d", "1L", "00000000000000000001"},
        {"%d", "-(2**70)", "-1180591620717411303424"}, {"%+d", "2L", "+2"},
        {"%o", "8L", "10"},                  {"%#o", "8L", "010"},
        {"%o", "0L", "0"},                   {"%x", "0L", "0"},
        {"%08d", "-(2**40)", "-1099511627776"}, {"%015d", "-(2**40)", "-01099511627776"},
        {"%.117d", "1", kIntTooLong},
        {"%.116d", "1", (std::string(115, '0') + "1").c_str()},
    });
}

TEST_F(FormatTest, FloatConversions)
{
    check({
        {"%f", "1.5", "1.500000"},           {"%F", "1.5", "1.500000"},
        {"%.*f", "(2, 3.14159)", "3.14"},    {"%.*f", "(-5, 1.5)", "2"},
        {"%e", "1234.5", "1.234500e+03"},    {"%E", "0.0", "0.000000E+00"},
        {"%g", "0.0001", "0.0001"},          {"%g", "0.00001", "1e-05"},
        {"%G", "1e-10", "1E-10"},            {"%#g", "1.0", "1.00000"},
        {"%#.0f", "3.0", "3."},              {"%#.0e", "3.0", "3.e+00"},
        {"%+.2f", "2.5", "+2.50"},           {"% .2f", "2.5", " 2.50"},
        {"%010.3f", "-3.14159", "-00003.142"}, {"%-10.3f|", "3.14159", "3.142     |"},
        {"%f", "-0.0", "-0.000000"},         {"%+.1f", "-0.0", "-0.0"},
        {"%f", "inf", "inf"},                {"%f", "-inf", "-inf"},
        {"%5.1f", "nan", "  nan"},           {"%05f", "-inf", " -inf"},
        {"%f", "3", "3.000000"},             {"%.0e", "12345", "1e+04"},
        {"%.3g", "123456", "1.23e+05"},      {"%f", "1e50", "1e+50"},
        {"%f", "-1e50", "-1e+50"},
        {"%.3f", "1e49", "9999999999999999464902769475481793196872414789632.000"},
        {"%f", "'x'", "!TypeError: float argument required"},
        {"%f", "2**2000", "!TypeError: float argument required"},
        {"%f", "1j", "!TypeError: float argument required"},
        {"%.66f", "1.0", ("1." + std::string(66, '0')).c_str()},
        {"%.67f", "1.0", kFloatTooLong},
        {"%.200f", "1.0", kFloatTooLong},
        {"%.109g", "0.5", "0.5"},
        {"%.110g", "0.5", kFloatTooLong},
        {"%.110G", "0.5", kFloatTooLong},
        {"%.100e", "1.0", ("1." + std::string(100, '0') + "e+00").c_str()},
        // Too long for the buffer: refused, never cut short.
        {"%.115e", "1.0", kFloatTooLong},
    });
}

TEST_F(FormatTest, TextCharacterAndPercentConversions)
{
    check({
        {"%.2s", "'abcdef'", "ab"},          {"%5.2s|", "'abc'", "   ab|"},
        {"%-5s|", "'ab'", "ab   |"},         {"%05s", "'ab'", "   ab"},
        {"%r", "'a'", "'a'"},                {"%r %s", "(1L, 1L)", "1L 1"},
        {"%s %r", "(0.1, 0.1)", "0.1 0.10000000000000001"},
        {"%s", "None", "None"},              {"%s", "1j", "1j"},
        {"%c", "65", "A"},                   {"%c", "'z'", "z"},
        {"%3c|%-3c|", "('z', 'y')", "  z|y  |"},
        {"%c", "'ab'", "!TypeError: %c requires int or char"},
        {"%c", "''", "!TypeError: %c requires int or char"},
        {"%c", "[]", "!TypeError: %c requires int or char"},
        {"%c", "256", "!OverflowError: unsigned byte integer is greater than maximum"},
        {"%c", "-1", "!OverflowError: unsigned byte integer is less than minimum"},
        {"%%", "()", "%"},                   {"%5%", "()", "    %"},
        {"%-5%|", "()", "%    |"},           {"%%%s", "1", "%1"},
        {"%y", "1", "!ValueError: unsupported format character 'y' (0x79) at index 1"},
        {"ab%-5y", "1", "!ValueError: unsupported format character 'y' (0x79) at index 5"},
        {"%\xff", "1", "!ValueError: unsupported format character '\xff' (0xff) at index 1"},
        {"%", "()", "!ValueError: incomplete format"},
        {"%5", "()", "!ValueError: incomplete format"},
        {"%.", "()", "!ValueError: incomplete format"},
        {"%l", "1", "!ValueError: incomplete format"},
        {"%(a)", "{'a': 1}", "!ValueError: incomplete format"},
    });
    // NUL bytes pass through in the format and in values.
    EXPECT_EQ(fmt(std::string("a\0%s\0", 5), "'b\\0c'"), std::string("a\0b\0c\0", 6));
    EXPECT_EQ(fmt(std::string("%\0", 2), "1"),
              std::string("!ValueError: unsupported format character '") + '\0' +
                  "' (0x0) at index 1");
}

TEST_F(FormatTest, CountsBeyondTheIntRange)
{
    check({
        {"%2147483648d", "1", "!ValueError: width too big"},
        {"%99999999999999999999s", "'x'", "!ValueError: width too big"},
        {"%.2147483648d", "1", "!ValueError: prec too big"},
        {"%*d", "(-2147483648, 1)", "!ValueError: width too big"},
        {"%*d", "(2**40, 1)", "!TypeError: * wants int"},
        {"%.*d", "('x', 1)", "!TypeError: * wants int"},
        // Within the range but beyond any string: refused before allocating.
        {"%2147483647d", "1", "!MemoryError: "},
        {"%*s", "(2147483647, 'x')", "!MemoryError: "},
        {"%.2147483647d", "1", kIntTooLong},
        {"%.2147483647d", "1L", "!OverflowError: precision too large"},
        {"%.2147483647f", "1.0", kFloatTooLong},
        {"%.2147483647e", "1.0", kFloatTooLong},
        {"%.2147483647g", "1.0", kFloatTooLong},
        {"%.2147483647s", "'x'", "x"},
        {"%.*s", "(2147483647, 'xy')", "xy"},
    });
}

namespace {
ZvObject *raise_key_error(ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_KeyError, "from __str__");
    return nullptr;
}
} // namespace

TEST_F(FormatTest, ErrorsOfValuesPropagate)
{
    static ZvMethodDef def = {"__str__", raise_key_error, METH_NOARGS, nullptr};
    Owned fn(ZvCFunction_New(&def, nullptr));
    Owned dict(ZvDict_New());
    ZvDict_SetItemString(dict, "__str__", fn);
    ZvDict_SetItemString(dict, "__repr__", fn);
    Owned cls(ZvObject_CallFunction((ZvObject *)&ZvType_Type, "s()O", "Bad", dict.get()));
    Owned obj(ZvObject_CallObject(cls, nullptr));
    Owned args(ZvTuple_Pack(2, Zv_None, obj.get()));
    for (const char *f : {"%s %s", "%s %r"}) {
        Owned format(ZvString_FromString(f));
        EXPECT_EQ(R(ZvString_Format(format, args)), "!KeyError: from __str__") << f;
    }
    // The long formatter checks what it is given.
    char *buf;
    int len;
    Owned one(lit("1L")), two(lit("2"));
    EXPECT_EQ(_ZvString_FormatLong(two, 0, 0, 'd', &buf, &len), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(_ZvString_FormatLong(one, 0, 0, 'q', &buf, &len), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}
