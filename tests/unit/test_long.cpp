// The long type: conversions at the machine boundaries, text in every
// base, the multiplication and division algorithms checked against each
// other through identities, powers, two's-complement bitwise operations,
// hashing, byte arrays, and the interim float's use of longs.
#include "numtest.h"

#include <cmath>
#include <random>

using LongTest = ZvTest;
using N = ZvNumberMethods;

namespace {
std::mt19937_64 rng(20240601);

// A random long of about `hexdigits` hex digits, negative when asked.
ZvObject *random_long(int hexdigits, bool negative = false)
{
    static const char hex[] = "0123456789abcdef";
    std::string s = negative ? "-0x" : "0x";
    s += hex[1 + rng() % 15];
    for (int i = 1; i < hexdigits; i++) s += hex[rng() % 16];
    return lng(s.c_str());
}

bool equal(ZvObject *a, ZvObject *b)
{
    return ZvLong_Check(a) && ZvLong_Check(b) && ZvLong_Type.tp_compare(a, b) == 0;
}

ZvObject *mul(ZvObject *a, ZvObject *b) { return binop(&N::nb_multiply, a, b); }
ZvObject *add(ZvObject *a, ZvObject *b) { return binop(&N::nb_add, a, b); }
} // namespace

TEST_F(LongTest, ConversionsToInt32AtTheBoundaries)
{
    Owned min(lng("-2147483648")), over(lng("2147483648")), under(lng("-2147483649"));
    EXPECT_EQ(ZvLong_AsLong(min), INT32_MIN);
    EXPECT_EQ(ZvLong_AsLong(over), -1);
    EXPECT_EQ(R(nullptr), "!OverflowError: long int too large to convert to int");
    EXPECT_EQ(ZvLong_AsLong(under), -1);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
    Owned s(ZvString_FromString("1"));
    EXPECT_EQ(ZvLong_AsLong(s), -1);
    EXPECT_EQ(R(nullptr), "!SystemError: bad argument to internal function");
    Owned i(ZvInt_FromLong(-9));
    EXPECT_EQ(ZvLong_AsLong(i), -9);

    Owned u32(lng("4294967295")), u33(lng("4294967296")), neg(lng("-1"));
    EXPECT_EQ(ZvLong_AsUnsignedLong(u32), 0xFFFFFFFFu);
    EXPECT_EQ(ZvLong_AsUnsignedLong(u33), 0xFFFFFFFFu);
    EXPECT_EQ(R(nullptr), "!OverflowError: long int too large to convert");
    EXPECT_EQ(ZvLong_AsUnsignedLong(neg), 0xFFFFFFFFu);
    EXPECT_EQ(R(nullptr), "!OverflowError: can't convert negative value to unsigned long");
    EXPECT_EQ(ZvLong_AsUnsignedLongMask(u33), 0u);
    EXPECT_EQ(ZvLong_AsUnsignedLongMask(neg), 0xFFFFFFFFu);
    Owned i2(ZvInt_FromLong(-2));
    EXPECT_EQ(ZvLong_AsUnsignedLong(i2), 0xFFFFFFFFu);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
}

TEST_F(LongTest, ConversionsTo64BitsAndBack)
{
    for (long long x : {0LL, 1LL, -1LL, (long long)INT64_MAX, (long long)INT64_MIN, 1LL << 40,
                        -(1LL << 47) + 3}) {
        Owned v(ZvLong_FromLongLong(x));
        EXPECT_EQ(ZvLong_AsLongLong(v), x);
    }
    Owned umax(ZvLong_FromUnsignedLongLong(UINT64_MAX));
    EXPECT_EQ(zv_repr(umax), "18446744073709551615L");
    EXPECT_EQ(ZvLong_AsUnsignedLongLong(umax), UINT64_MAX);
    EXPECT_EQ(ZvLong_AsLongLong(umax), -1);
    EXPECT_EQ(R(nullptr), "!OverflowError: long too big to convert");
    Owned over(lng("0x10000000000000000"));
    EXPECT_EQ(ZvLong_AsUnsignedLongLong(over), UINT64_MAX);
    EXPECT_EQ(R(nullptr), "!OverflowError: long too big to convert");
    EXPECT_EQ(ZvLong_AsUnsignedLongLongMask(over), 0u);
    Owned m1(lng("-1"));
    EXPECT_EQ(ZvLong_AsUnsignedLongLong(m1), UINT64_MAX);
    EXPECT_EQ(R(nullptr), "!OverflowError: can't convert negative long to unsigned");
    EXPECT_EQ(ZvLong_AsUnsignedLongLongMask(m1), UINT64_MAX);
    Owned f(ZvFloat_FromDouble(-7.9));
    EXPECT_EQ(ZvLong_AsLongLong(f), -7);
    Owned s(ZvString_FromString("7"));
    EXPECT_EQ(ZvLong_AsLongLong(s), -1);
    EXPECT_EQ(R(nullptr), "!TypeError: an integer is required");
    int local;
    Owned p(ZvLong_FromVoidPtr(&local));
    EXPECT_EQ(ZvLong_AsVoidPtr(p), (void *)&local);
}

TEST_F(LongTest, DoublesConvertBothWays)
{
    EXPECT_EQ(R(ZvLong_FromDouble(-2.5)), "-2L");
    EXPECT_EQ(R(ZvLong_FromDouble(0.999)), "0L");
    EXPECT_EQ(R(ZvLong_FromDouble(1e20)), "100000000000000000000L");
    EXPECT_EQ(R(ZvLong_FromDouble(INFINITY)), "!OverflowError: cannot convert float infinity to long");
    EXPECT_EQ(R(ZvLong_FromDouble(NAN)), "!ValueError: cannot convert float NaN to integer");
    Owned big(ZvLong_FromDouble(1e300));
    EXPECT_EQ(_ZvLong_NumBits(big), 997u);
    Owned back(unop(&N::nb_float, big));
    EXPECT_EQ(ZvFloat_AS_DOUBLE(back.get()), 1e300);
    Owned two(lng("2")), e1024(lng("1024")), e2000(lng("2000")), e1990(lng("1990"));
    Owned p1024(power(two, e1024));
    EXPECT_EQ(R(unop(&N::nb_float, p1024)), "!OverflowError: long int too large to convert to float");
    Owned a(power(two, e2000)), b(power(two, e1990));
    EXPECT_EQ(R(binop(&N::nb_true_divide, a, b)), "1024.0");
    EXPECT_EQ(R(binop(&N::nb_true_divide, b, a)), "0.0009765625");
    Owned zero(lng("0"));
    EXPECT_EQ(R(binop(&N::nb_true_divide, a, zero)), "!ZeroDivisionError: long division or modulo by zero");
    Owned tiny(ZvInt_FromLong(1));
    EXPECT_EQ(R(binop(&N::nb_true_divide, p1024, tiny)), "!OverflowError: long/long too large for a float");
    int e;
    Owned v(lng("0x123456789abcdef0123"));
    double x = _ZvLong_AsScaledDouble(v, &e);
    EXPECT_DOUBLE_EQ(std::ldexp(x, 15 * e), 0x123456789abcdef0123p0);
}

TEST_F(LongTest, HashMatchesIntAndNeverReturnsMinusOne)
{
    for (int32_t x : {0, 1, -1, 5, -2, 32767, 32768, -32769, 1 << 30, INT32_MAX, INT32_MIN}) {
        Owned i(ZvInt_FromLong(x)), l(ZvLong_FromLong(x));
        EXPECT_EQ(ZvObject_Hash(i), ZvObject_Hash(l)) << x;
    }
    Owned m1(lng("-1"));
    EXPECT_EQ(ZvObject_Hash(m1), -2);
    Owned big(lng("0x123456789abcdef"));
    EXPECT_NE(ZvObject_Hash(big), -1);
}

TEST_F(LongTest, DivisionFloorsAndReportsZeroDivisors)
{
    EXPECT_EQ(op(&N::nb_floor_divide, lng("-7"), num("2")), "-4L");
    EXPECT_EQ(op(&N::nb_remainder, lng("-7"), num("2")), "1L");
    EXPECT_EQ(op(&N::nb_remainder, lng("7"), num("-2")), "-1L");
    EXPECT_EQ(op(&N::nb_divide, lng("7"), num("-2")), "-4L");
    EXPECT_EQ(op(&N::nb_divmod, lng("-2147483648"), num("-1")), "(2147483648L, 0L)");
    EXPECT_EQ(op(&N::nb_floor_divide, lng("1"), num("0")),
              "!ZeroDivisionError: long division or modulo by zero");
    EXPECT_EQ(op(&N::nb_remainder, lng("1"), lng("0")),
              "!ZeroDivisionError: long division or modulo by zero");
    EXPECT_EQ(op(&N::nb_divmod, lng("-100000000000000000000"), lng("30000000000")),
              "(-3333333334L, 20000000000L)");
    EXPECT_EQ(op(&N::nb_divmod, lng("100000000000000000000"), lng("-30000000000")),
              "(-3333333334L, -20000000000L)");
    EXPECT_EQ(op(&N::nb_divmod, lng("5"), lng("100000000000000000000")),
              "(0L, 5L)");
    EXPECT_EQ(op(&N::nb_divmod, lng("-5"), lng("100000000000000000000")),
              "(-1L, 99999999999999999995L)");
}

TEST_F(LongTest, KaratsubaAgreesWithDivisionOnRandomOperands)
{
    // Sizes straddle the schoolbook, Karatsuba, squaring and lopsided paths.
    const int sizes[][2] = {{10, 12}, {250, 260}, {280, 300}, {500, 520}, {1000, 1000},
                            {300, 2400}, {2500, 2600}};
    for (const auto &sz : sizes) {
        Owned a(random_long(sz[0], rng() & 1)), b(random_long(sz[1], rng() & 1));
        Owned r(random_long(sz[1] - 1));
        Owned babs(unop(&N::nb_absolute, b));
        // (a*b + r) divmod |b| == (a, r) for 0 <= r < |b|.
        Owned prod(mul(a, babs));
        Owned num_(add(prod, r));
        Owned qr(binop(&N::nb_divmod, num_, babs));
        ASSERT_NE(qr.get(), nullptr);
        EXPECT_TRUE(equal(ZvTuple_GET_ITEM(qr.get(), 0), a)) << sz[0] << "x" << sz[1];
        EXPECT_TRUE(equal(ZvTuple_GET_ITEM(qr.get(), 1), r)) << sz[0] << "x" << sz[1];
        // Commutative, and a square computed by the squaring path equals the
        // product of two distinct equal operands.
        Owned prod2(mul(babs, a));
        EXPECT_TRUE(equal(prod, prod2));
        Owned acopy(_ZvLong_Copy((ZvLongObject *)a.get()));
        Owned sq(mul(a, a)), sq2(mul(a, acopy));
        EXPECT_TRUE(equal(sq, sq2)) << sz[0];
        Owned sqa(binop(&N::nb_floor_divide, sq, a));
        EXPECT_TRUE(equal(sqa, a));
    }
}

TEST_F(LongTest, PowerUsesModuliAndBothExponentMethods)
{
    EXPECT_EQ(R(power(Owned(lng("2")), Owned(lng("100")))), "1267650600228229401496703205376L");
    Owned two(lng("2")), e100(lng("100")), m3(lng("-3")), m1(lng("-1")), zero(lng("0"));
    EXPECT_EQ(R(power(two, e100, m3)), "-2L"); // 2**100 % 3 == 1, moved into (-3, 0]
    EXPECT_EQ(R(power(two, m1)), "0.5");
    EXPECT_EQ(R(power(two, e100, zero)), "!ValueError: pow() 3rd argument cannot be 0");
    EXPECT_EQ(R(power(two, m1, m3)),
              "!TypeError: pow() 2nd argument cannot be negative when 3rd argument specified");
    Owned one(lng("1")), mone(lng("-1"));
    EXPECT_EQ(R(power(two, e100, one)), "0L");
    EXPECT_EQ(R(power(mone, e100)), "1L");
    Owned s(ZvString_FromString("m"));
    EXPECT_EQ(R(power(two, e100, s)), "NotImplemented");

    // b**(e1+e2) == b**e1 * b**e2 (mod m), with exponents beyond the 5-ary
    // cutoff and a negative base.
    Owned m(random_long(60)), b(random_long(40, true));
    Owned e1(random_long(40)), e2(random_long(3));
    Owned e12(add(e1, e2));
    Owned p12(power(b, e12, m)), p1(power(b, e1, m)), p2(power(b, e2, m));
    Owned prod(mul(p1, p2));
    Owned prodm(binop(&N::nb_remainder, prod, m));
    EXPECT_TRUE(equal(p12, prodm));
    // A modular power equals the plain power reduced, for a small case.
    Owned base(lng("-12345678901234567")), ex(lng("37")), mod(lng("1000000000000000003"));
    Owned plain(power(base, ex)), red(binop(&N::nb_remainder, plain, mod));
    Owned modp(power(base, ex, mod));
    EXPECT_TRUE(equal(red, modp));
}

TEST_F(LongTest, ShiftsHandleSignsAndLargeCounts)
{
    EXPECT_EQ(op(&N::nb_rshift, lng("-1"), num("100")), "-1L");
    EXPECT_EQ(op(&N::nb_rshift, lng("-8"), num("1")), "-4L");
    EXPECT_EQ(op(&N::nb_rshift, lng("-9"), num("1")), "-5L");
    Owned one(lng("1")), hundred(num("100"));
    Owned big(binop(&N::nb_lshift, one, hundred));
    EXPECT_EQ(zv_repr(big), "1267650600228229401496703205376L");
    EXPECT_EQ(R(binop(&N::nb_rshift, big, hundred)), "1L");
    EXPECT_EQ(op(&N::nb_rshift, lng("12345"), lng("1000000000000")), "0L");
    EXPECT_EQ(op(&N::nb_rshift, lng("-12345"), lng("1000000000000")), "-1L");
    EXPECT_EQ(op(&N::nb_lshift, lng("1"), lng("1000000000000")),
              "!OverflowError: long int too large to convert to int");
    EXPECT_EQ(op(&N::nb_lshift, lng("0"), num("1000000")), "0L");
    EXPECT_EQ(op(&N::nb_lshift, lng("1"), num("-1")), "!ValueError: negative shift count");
    EXPECT_EQ(op(&N::nb_rshift, lng("1"), lng("-100000000000")), "!ValueError: negative shift count");
    EXPECT_EQ(op(&N::nb_lshift, lng("-3"), num("16")), "-196608L");
}

TEST_F(LongTest, BitwiseEmulatesInfiniteTwosComplement)
{
    EXPECT_EQ(op(&N::nb_and, lng("-5"), num("3")), "3L");
    EXPECT_EQ(op(&N::nb_or, lng("-5"), num("3")), "-5L");
    EXPECT_EQ(op(&N::nb_xor, lng("-5"), num("3")), "-8L");
    EXPECT_EQ(R(unop(&N::nb_invert, Owned(lng("0")))), "-1L");
    EXPECT_EQ(op(&N::nb_and, lng("-0x100000000"), lng("-0x100000001")), "-8589934592L");
    EXPECT_EQ(op(&N::nb_or, lng("-0x100000000"), lng("0xffffffff")), "-1L");
    // a + b == (a ^ b) + 2*(a & b) and (a | b) == (a ^ b) + (a & b) for
    // operands of every sign combination.
    for (int k = 0; k < 24; k++) {
        Owned a(random_long(1 + (int)(rng() % 40), rng() & 1));
        Owned b(random_long(1 + (int)(rng() % 40), rng() & 1));
        Owned x(binop(&N::nb_xor, a, b)), n(binop(&N::nb_and, a, b)), o(binop(&N::nb_or, a, b));
        Owned sum(add(a, b)), nn(add(n, n)), rhs(add(x, nn));
        EXPECT_TRUE(equal(sum, rhs)) << zv_repr(a) << " " << zv_repr(b);
        Owned xo(add(x, n));
        EXPECT_TRUE(equal(o, xo)) << zv_repr(a) << " " << zv_repr(b);
    }
}

TEST_F(LongTest, TextFormsAndParsing)
{
    auto *nb = ZvLong_Type.tp_as_number;
    Owned m255(lng("-255")), zero(lng("0")), eight(lng("8")), ff(lng("255"));
    EXPECT_EQ(zv_repr(m255), "-255L");
    EXPECT_EQ(zv_str(m255), "-255");
    EXPECT_EQ(zv_str(zero), "0");
    EXPECT_EQ(R(nb->nb_hex(m255)), "'-0xFFL'");
    EXPECT_EQ(R(nb->nb_hex(ff)), "'0xFFL'");
    EXPECT_EQ(R(nb->nb_hex(zero)), "'0x0L'");
    EXPECT_EQ(R(nb->nb_oct(eight)), "'010L'");
    EXPECT_EQ(R(nb->nb_oct(zero)), "'0L'");
    EXPECT_EQ(R(_ZvLong_Format(m255, 2, 0)), "'-2#11111111'");
    EXPECT_EQ(R(_ZvLong_Format(ff, 36, 0)), "'36#73'");

    EXPECT_EQ(R(ZvLong_FromString("0x1fL", nullptr, 0)), "31L");
    EXPECT_EQ(R(ZvLong_FromString(" -12 ", nullptr, 10)), "-12L");
    EXPECT_EQ(R(ZvLong_FromString("- 12l", nullptr, 10)), "-12L");
    EXPECT_EQ(R(ZvLong_FromString("017", nullptr, 0)), "15L");
    EXPECT_EQ(R(ZvLong_FromString("12", nullptr, 1)),
              "!ValueError: long() arg 2 must be >= 2 and <= 36");
    EXPECT_EQ(R(ZvLong_FromString("", nullptr, 10)), "!ValueError: invalid literal for long(): ");
    EXPECT_EQ(R(ZvLong_FromString("  0x", nullptr, 0)),
              "!ValueError: invalid literal for long():   0x");
    EXPECT_EQ(R(ZvLong_FromString("12LL", nullptr, 10)),
              "!ValueError: invalid literal for long(): 12LL");
    EXPECT_EQ(R(ZvLong_FromString("19", nullptr, 8)), "!ValueError: invalid literal for long(): 19");
}

TEST_F(LongTest, RoundTripInEveryBaseAndForHugeStrings)
{
    for (int base = 2; base <= 36; base++) {
        Owned v(random_long(70, base & 1));
        Owned text(_ZvLong_Format(v, base, 0));
        ASSERT_NE(text.get(), nullptr);
        std::string s = ZvString_AS_STRING(text.get());
        bool neg = s[0] == '-';
        std::string body = s.substr(neg ? 1 : 0);
        if (base == 16) body = body.substr(2);
        else if (base != 10 && base != 8) body = body.substr(body.find('#') + 1);
        Owned back(ZvLong_FromString(((neg ? "-" : "") + body).c_str(), nullptr, base));
        EXPECT_TRUE(equal(v, back)) << base << " " << s;
    }
    std::string digits;
    for (int i = 0; i < 20000; i++) digits += (char)('0' + (i * 7 + i / 13) % 10);
    digits[0] = '9';
    Owned huge(ZvLong_FromString(digits.c_str(), nullptr, 10));
    ASSERT_NE(huge.get(), nullptr);
    EXPECT_EQ(zv_str(huge), digits);
    Owned hx(ZvLong_Type.tp_as_number->nb_hex(huge));
    Owned huge2(ZvLong_FromString(ZvString_AS_STRING(hx.get()), nullptr, 0));
    EXPECT_TRUE(equal(huge, huge2));
}

TEST_F(LongTest, ByteArraysRoundTripAndDetectOverflow)
{
    for (int k = 0; k < 40; k++) {
        unsigned char buf[19], out[19];
        size_t n = 1 + rng() % sizeof buf;
        for (size_t i = 0; i < n; i++) buf[i] = (unsigned char)rng();
        int le = (int)(rng() & 1), sgn = (int)(rng() & 1);
        Owned v(_ZvLong_FromByteArray(buf, n, le, sgn));
        ASSERT_NE(v.get(), nullptr);
        ASSERT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v.get(), out, n, le, sgn), 0);
        EXPECT_EQ(memcmp(buf, out, n), 0) << n << " " << le << sgn;
    }
    const unsigned char m128[] = {0x80};
    EXPECT_EQ(R(_ZvLong_FromByteArray(m128, 1, 1, 1)), "-128L");
    EXPECT_EQ(R(_ZvLong_FromByteArray(m128, 1, 1, 0)), "128L");
    const unsigned char be[] = {0xFF, 0x00};
    EXPECT_EQ(R(_ZvLong_FromByteArray(be, 2, 0, 1)), "-256L");
    unsigned char one[2];
    Owned v255(lng("255")), v128(lng("-128")), v129(lng("-129")), neg(lng("-1"));
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v255.get(), one, 1, 1, 0), 0);
    EXPECT_EQ(one[0], 0xFF);
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v255.get(), one, 1, 1, 1), -1);
    EXPECT_EQ(R(nullptr), "!OverflowError: long too big to convert");
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v128.get(), one, 1, 1, 1), 0);
    EXPECT_EQ(one[0], 0x80);
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v129.get(), one, 1, 1, 1), -1);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)neg.get(), one, 2, 0, 0), -1);
    EXPECT_EQ(R(nullptr), "!OverflowError: can't convert negative long to unsigned");
    EXPECT_EQ(_ZvLong_AsByteArray((ZvLongObject *)v129.get(), one, 2, 0, 1), 0);
    EXPECT_EQ(one[0], 0xFF);
    EXPECT_EQ(one[1], 0x7F);
}

TEST_F(LongTest, IntConversionCoercionAndComparison)
{
    auto *nb = ZvLong_Type.tp_as_number;
    Owned five(lng("5")), big(lng("0x10000000000")), neg(lng("-3"));
    Owned i5(nb->nb_int(five));
    EXPECT_TRUE(ZvInt_CheckExact(i5.get()));
    EXPECT_EQ(R(nb->nb_int(big)), "1099511627776L");
    EXPECT_EQ(ZvLong_Type.tp_compare(neg, five), -1);
    EXPECT_EQ(ZvLong_Type.tp_compare(big, five), 1);
    Owned big2(lng("0x10000000001"));
    EXPECT_EQ(ZvLong_Type.tp_compare(big, big2), -1);
    Owned nbig(lng("-0x10000000001")), nbig2(lng("-0x10000000000"));
    EXPECT_EQ(ZvLong_Type.tp_compare(nbig, nbig2), -1);
    ZvObject *v = five.get(), *w = i5.get();
    ASSERT_EQ(nb->nb_coerce(&v, &w), 0);
    EXPECT_TRUE(ZvLong_CheckExact(w));
    Zv_DECREF(v);
    Zv_DECREF(w);
    ZvObject *s = ZvString_FromString("s");
    v = five.get();
    w = s;
    EXPECT_EQ(nb->nb_coerce(&v, &w), 1);
    Zv_DECREF(s);
    EXPECT_EQ(_ZvLong_Sign(neg), -1);
    Owned zero(lng("0"));
    EXPECT_EQ(_ZvLong_Sign(zero), 0);
    EXPECT_EQ(_ZvLong_NumBits(zero), 0u);
    EXPECT_EQ(_ZvLong_NumBits(big), 41u);
}

namespace {
ZvTypeObject MyLong_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "MyLong", offsetof(ZvLongObject, ob_digit), sizeof(digit),
};
} // namespace

TEST_F(LongTest, ConstructorAndSubtypes)
{
    auto construct = [](ZvTypeObject *t, ZvObject *args) { return t->tp_new(t, args, nullptr); };
    Owned none(ZvTuple_New(0));
    EXPECT_EQ(R(construct(&ZvLong_Type, none)), "0L");
    Owned s(ZvString_FromString("zz")), b36(ZvInt_FromLong(36)), b1(ZvInt_FromLong(1));
    Owned a1(ZvTuple_Pack(2, s.get(), b36.get()));
    EXPECT_EQ(R(construct(&ZvLong_Type, a1)), "1295L");
    Owned a2(ZvTuple_Pack(2, s.get(), b1.get()));
    EXPECT_EQ(R(construct(&ZvLong_Type, a2)), "!ValueError: long() arg 2 must be >= 2 and <= 36");
    Owned f(ZvFloat_FromDouble(-1e20));
    Owned a3(ZvTuple_Pack(1, f.get()));
    EXPECT_EQ(R(construct(&ZvLong_Type, a3)), "-100000000000000000000L");
    Owned a4(ZvTuple_Pack(2, f.get(), b36.get()));
    EXPECT_EQ(R(construct(&ZvLong_Type, a4)),
              "!TypeError: long() can't convert non-string with explicit base");
    Owned i(ZvInt_FromLong(-4));
    Owned a5(ZvTuple_Pack(1, i.get()));
    EXPECT_EQ(R(construct(&ZvLong_Type, a5)), "-4L");
    Owned a6(ZvTuple_Pack(1, Zv_None));
    EXPECT_EQ(R(construct(&ZvLong_Type, a6)),
              "!TypeError: long() argument must be a string or a number");

    MyLong_Type.tp_base = &ZvLong_Type;
    MyLong_Type.tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE;
    MyLong_Type.tp_alloc = ZvType_GenericAlloc;
    MyLong_Type.tp_free = ZvObject_Free;
    MyLong_Type.tp_new = ZvLong_Type.tp_new;
    ASSERT_EQ(ZvType_Ready(&MyLong_Type), 0);
    Owned big(ZvString_FromString("-123456789012345678901234567890"));
    Owned a7(ZvTuple_Pack(1, big.get()));
    Owned sub(construct(&MyLong_Type, a7));
    ASSERT_NE(sub.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(sub.get()), &MyLong_Type);
    EXPECT_EQ(R(ZvLong_Type.tp_str(sub)), "'-123456789012345678901234567890'");
    // Results of operations on a subtype instance are plain longs.
    Owned big5(lng("1000000000000000000000000000000000"));
    Owned rem(binop(&N::nb_remainder, sub, big5));
    EXPECT_TRUE(ZvLong_CheckExact(rem.get()));
    Owned pos(unop(&N::nb_positive, sub));
    EXPECT_TRUE(ZvLong_CheckExact(pos.get()));
    EXPECT_EQ(R(zv_call_method(sub, "__getnewargs__")), "(-123456789012345678901234567890L,)");
}

TEST_F(LongTest, FloatsCompareExactlyWithLongs)
{
    auto cmp = [](double d, const char *text, int opid) {
        Owned f(ZvFloat_FromDouble(d)), l(lng(text));
        ZvObject *r = ZvFloat_Type.tp_richcompare(f, l, opid);
        bool res = r == Zv_True;
        Zv_XDECREF(r);
        return res;
    };
    EXPECT_TRUE(cmp(9007199254740992.0, "9007199254740992", Zv_EQ));
    EXPECT_FALSE(cmp(9007199254740992.0, "9007199254740993", Zv_EQ));
    EXPECT_TRUE(cmp(9007199254740992.0, "9007199254740993", Zv_LT));
    EXPECT_TRUE(cmp(-9007199254740992.0, "-9007199254740993", Zv_GT));
    EXPECT_TRUE(cmp(1e300, "0x" "1" "000000000000000000000000000000000000000000000000000000000000000"
                           "0000000000000000000000000000000000000000000000000000000000000000"
                           "0000000000000000000000000000000000000000000000000000000000000000"
                           "0000000000000000000000000000000000000000000000000000000000000000",
                    Zv_LT));
    EXPECT_TRUE(cmp(1e20 + 0.5e5, "100000000000000000000", Zv_GT));
    EXPECT_TRUE(cmp(-0.5, "0", Zv_LT));
    EXPECT_TRUE(cmp(INFINITY, "1", Zv_GT));
    Owned f(ZvFloat_FromDouble(2.0)), i(ZvInt_FromLong(2));
    EXPECT_EQ(ZvObject_Hash(f), ZvObject_Hash(i));
    Owned big(ZvFloat_FromDouble(1e20)), bigl(lng("100000000000000000000"));
    EXPECT_EQ(ZvObject_Hash(big), ZvObject_Hash(bigl));
    Owned fm1(ZvFloat_FromDouble(-1.0));
    EXPECT_EQ(ZvObject_Hash(fm1), -2);
}

TEST_F(LongTest, FloatsHashLikeTheEqualIntOrLong)
{
    // Integral values of every size: the float, the long made from it and,
    // where it fits, the int all hash alike (-1 becoming -2 on every side).
    const double integral[] = {0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 2147483647.0, -2147483647.0,
                               -2147483648.0, 2147483648.0, -2147483649.0, 4294967296.0,
                               4294967295.0, 9007199254740992.0, -9007199254740992.0,
                               9223372036854775808.0, 18446744073709555712.0, 1e20, -1e20,
                               ldexp(1.0, 100) + ldexp(1.0, 48), 1e300, -1e300, ldexp(1.0, 1023)};
    for (double d : integral) {
        Owned f(ZvFloat_FromDouble(d)), l(ZvLong_FromDouble(d));
        Zv_hash_t h = ZvObject_Hash(f);
        EXPECT_EQ(h, ZvObject_Hash(l)) << d;
        EXPECT_NE(h, -1) << d;
        if (d >= -2147483648.0 && d <= 2147483647.0) {
            Owned i(ZvInt_FromLong((int32_t)d));
            EXPECT_EQ(h, ZvObject_Hash(i)) << d;
        }
    }
    // Random large integral doubles.
    for (int n = 0; n < 200; n++) {
        double d = ldexp((double)(rng() >> 11), (int)(rng() % 900)) * (n % 2 ? -1 : 1);
        Owned f(ZvFloat_FromDouble(d)), l(ZvLong_FromDouble(d));
        EXPECT_EQ(ZvObject_Hash(f), ZvObject_Hash(l)) << d;
    }
    // Fractions and the non-finite values hash without an error.
    for (double d : {0.5, -0.5, 1e-300, 3.25, -1234567.125, (double)INFINITY, -(double)INFINITY,
                     (double)NAN}) {
        Owned f(ZvFloat_FromDouble(d));
        Zv_hash_t h = ZvObject_Hash(f);
        EXPECT_NE(h, -1) << d;
        EXPECT_EQ(ZvErr_Occurred(), nullptr) << d;
        Owned again(ZvFloat_FromDouble(d));
        EXPECT_EQ(ZvObject_Hash(again), h) << d;
    }
    Owned inf(ZvFloat_FromDouble(INFINITY)), ninf(ZvFloat_FromDouble(-INFINITY));
    EXPECT_EQ(ZvObject_Hash(inf), 314159);
    EXPECT_EQ(ZvObject_Hash(ninf), -271828);

    // So equal numbers of the three types are one dictionary key.
    Owned d(ZvDict_New());
    Owned big_f(ZvFloat_FromDouble(1e20)), big_l(lng("100000000000000000000"));
    Owned two_f(ZvFloat_FromDouble(2.0)), two_i(ZvInt_FromLong(2)), two_l(lng("2"));
    ASSERT_EQ(ZvDict_SetItem(d, big_f, Zv_None), 0);
    ASSERT_EQ(ZvDict_SetItem(d, big_l, Zv_True), 0);
    ASSERT_EQ(ZvDict_SetItem(d, two_i, Zv_None), 0);
    ASSERT_EQ(ZvDict_SetItem(d, two_f, Zv_None), 0);
    ASSERT_EQ(ZvDict_SetItem(d, two_l, Zv_True), 0);
    EXPECT_EQ(ZvDict_Size(d), 2);
    EXPECT_EQ(ZvDict_GetItem(d, two_i), Zv_True);
}
