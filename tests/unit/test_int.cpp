// The int and bool types: promotion to long exactly at the 32-bit edges,
// floored division, shifts, parsing, text forms, construction and the
// int allocator.
#include "numtest.h"

#include <climits>

using IntTest = ZvTest;
using N = ZvNumberMethods;

TEST_F(IntTest, AddSubtractAndMultiplyPromoteExactlyAtTheEdges)
{
    EXPECT_EQ(op(&N::nb_add, num("2147483646"), num("1")), "2147483647");
    EXPECT_EQ(op(&N::nb_add, num("2147483647"), num("1")), "2147483648L");
    EXPECT_EQ(op(&N::nb_add, num("-2147483647"), num("-1")), "-2147483648");
    EXPECT_EQ(op(&N::nb_add, num("-2147483648"), num("-1")), "-2147483649L");
    EXPECT_EQ(op(&N::nb_subtract, num("-2147483648"), num("1")), "-2147483649L");
    EXPECT_EQ(op(&N::nb_subtract, num("0"), num("-2147483648")), "2147483648L");
    EXPECT_EQ(op(&N::nb_subtract, num("-1"), num("-2147483648")), "2147483647");
    EXPECT_EQ(op(&N::nb_multiply, num("65536"), num("65536")), "4294967296L");
    EXPECT_EQ(op(&N::nb_multiply, num("65536"), num("-32768")), "-2147483648");
    EXPECT_EQ(op(&N::nb_multiply, num("-65536"), num("32769")), "-2147549184L");
    EXPECT_EQ(op(&N::nb_multiply, num("-2147483648"), num("-1")), "2147483648L");
    EXPECT_EQ(op(&N::nb_multiply, num("46341"), num("46341")), "2147488281L");
    EXPECT_EQ(op(&N::nb_multiply, num("46340"), num("46340")), "2147395600");
}

TEST_F(IntTest, FloorDivisionAndModuloFollowTheDivisorsSign)
{
    EXPECT_EQ(op(&N::nb_floor_divide, num("-7"), num("2")), "-4");
    EXPECT_EQ(op(&N::nb_remainder, num("-7"), num("2")), "1");
    EXPECT_EQ(op(&N::nb_remainder, num("7"), num("-2")), "-1");
    EXPECT_EQ(op(&N::nb_divide, num("7"), num("-2")), "-4");
    EXPECT_EQ(op(&N::nb_divmod, num("-7"), num("2")), "(-4, 1)");
    EXPECT_EQ(op(&N::nb_divmod, num("6"), num("-3")), "(-2, 0)");
    // The one quotient that overflows goes to the long type.
    EXPECT_EQ(op(&N::nb_floor_divide, num("-2147483648"), num("-1")), "2147483648L");
    EXPECT_EQ(op(&N::nb_divide, num("-2147483648"), num("-1")), "2147483648L");
    EXPECT_EQ(op(&N::nb_remainder, num("-2147483648"), num("-1")), "0L");
    EXPECT_EQ(op(&N::nb_divmod, num("-2147483648"), num("-1")), "(2147483648L, 0L)");
    EXPECT_EQ(op(&N::nb_floor_divide, num("1"), num("0")),
              "!ZeroDivisionError: integer division or modulo by zero");
    EXPECT_EQ(op(&N::nb_divmod, num("0"), num("0")),
              "!ZeroDivisionError: integer division or modulo by zero");
    EXPECT_EQ(op(&N::nb_true_divide, num("7"), num("2")), "3.5");
    EXPECT_EQ(op(&N::nb_true_divide, num("1"), num("0")), "!ZeroDivisionError: float division");
}

TEST_F(IntTest, PowerHandlesSignsModuliAndOverflow)
{
    Owned two(num("2")), three(num("3")), m1(num("-1")), zero(num("0"));
    Owned five(num("5")), m4(num("-4")), b30(num("30")), b31(num("31"));
    EXPECT_EQ(R(power(two, b30)), "1073741824");
    EXPECT_EQ(R(power(two, b31)), "2147483648L");
    EXPECT_EQ(R(power(m1, b31)), "-1");
    EXPECT_EQ(R(power(zero, zero)), "1");
    EXPECT_EQ(R(power(two, m1)), "0.5");
    EXPECT_EQ(R(power(two, m1, five)),
              "!TypeError: pow() 2nd argument cannot be negative when 3rd argument specified");
    EXPECT_EQ(R(power(two, three, zero)), "!ValueError: pow() 3rd argument cannot be 0");
    EXPECT_EQ(R(power(three, two, m4)), "-3");
    EXPECT_EQ(R(power(two, b30, five)), "4");
    Owned big(num("100000")), e(num("3")), modbig(num("1000000007"));
    EXPECT_EQ(R(power(big, e)), "1000000000000000L");
    EXPECT_EQ(R(power(big, e, modbig)), "993000007L"); // squaring overflowed
    Owned m2(num("-2"));
    EXPECT_EQ(R(power(m2, b31)), "-2147483648");
    EXPECT_EQ(R(power(m2, b30, m1)), "0");
    Owned s(ZvString_FromString("x"));
    EXPECT_EQ(R(power(two, three, s)), "NotImplemented");
}

TEST_F(IntTest, NegationAndAbsoluteValueOfTheMinimumAreLongs)
{
    Owned min(num("-2147483648")), max(num("2147483647")), m5(num("-5"));
    EXPECT_EQ(R(unop(&N::nb_negative, min)), "2147483648L");
    EXPECT_EQ(R(unop(&N::nb_absolute, min)), "2147483648L");
    EXPECT_EQ(R(unop(&N::nb_negative, max)), "-2147483647");
    EXPECT_EQ(R(unop(&N::nb_absolute, m5)), "5");
    EXPECT_EQ(R(unop(&N::nb_invert, m5)), "4");
    EXPECT_EQ(R(unop(&N::nb_invert, max)), "-2147483648");
}

TEST_F(IntTest, ShiftsPromoteOrSaturateAndRejectNegativeCounts)
{
    EXPECT_EQ(op(&N::nb_lshift, num("1"), num("30")), "1073741824");
    EXPECT_EQ(op(&N::nb_lshift, num("1"), num("31")), "2147483648L");
    EXPECT_EQ(op(&N::nb_lshift, num("-1"), num("31")), "-2147483648");
    EXPECT_EQ(op(&N::nb_lshift, num("-3"), num("31")), "-6442450944L");
    EXPECT_EQ(op(&N::nb_lshift, num("1"), num("32")), "4294967296L");
    EXPECT_EQ(op(&N::nb_lshift, num("3"), num("100")), "3802951800684688204490109616128L");
    EXPECT_EQ(op(&N::nb_lshift, num("0"), num("1000")), "0");
    EXPECT_EQ(op(&N::nb_rshift, num("-1"), num("100")), "-1");
    EXPECT_EQ(op(&N::nb_rshift, num("5"), num("32")), "0");
    EXPECT_EQ(op(&N::nb_rshift, num("-7"), num("1")), "-4");
    EXPECT_EQ(op(&N::nb_lshift, num("5"), num("-1")), "!ValueError: negative shift count");
    EXPECT_EQ(op(&N::nb_rshift, num("5"), num("-1")), "!ValueError: negative shift count");
    EXPECT_EQ(op(&N::nb_lshift, num("0"), num("-1")), "!ValueError: negative shift count");
}

TEST_F(IntTest, BitwiseOperatorsAndMixedOperands)
{
    EXPECT_EQ(op(&N::nb_and, num("-5"), num("3")), "3");
    EXPECT_EQ(op(&N::nb_or, num("-5"), num("3")), "-5");
    EXPECT_EQ(op(&N::nb_xor, num("12"), num("10")), "6");
    // Slots answer NotImplemented for foreign operands and the long slot
    // takes int/long pairs.
    EXPECT_EQ(op(&N::nb_add, num("1"), ZvString_FromString("a")), "NotImplemented");
    EXPECT_EQ(op(&N::nb_add, num("1"), lng("5")), "6L");
    EXPECT_EQ(op(&N::nb_and, lng("-1"), num("255")), "255L");
}

TEST_F(IntTest, HashCompareAndTextForms)
{
    Owned m1(num("-1")), five(num("5")), m255(num("-255")), zero(num("0")), eight(num("8"));
    EXPECT_EQ(ZvObject_Hash(m1), -2);
    EXPECT_EQ(ZvObject_Hash(five), 5);
    EXPECT_EQ(ZvObject_Compare(m1, five), -1);
    EXPECT_EQ(ZvObject_Compare(five, m1), 1);
    auto *nb = ZvInt_Type.tp_as_number;
    EXPECT_EQ(R(nb->nb_hex(m255)), "'-0xff'");
    EXPECT_EQ(R(nb->nb_hex(zero)), "'0x0'");
    EXPECT_EQ(R(nb->nb_oct(zero)), "'0'");
    EXPECT_EQ(R(nb->nb_oct(eight)), "'010'");
    Owned min(num("-2147483648"));
    EXPECT_EQ(R(nb->nb_hex(min)), "'-0x80000000'");
    EXPECT_EQ(R(nb->nb_oct(min)), "'-020000000000'");
    EXPECT_EQ(zv_str(min), "-2147483648");
    EXPECT_EQ(R(nb->nb_float(min)), "-2147483648.0");
    EXPECT_EQ(R(nb->nb_long(min)), "-2147483648L");
}

TEST_F(IntTest, ParsingAcceptsSignsSpacesAndPrefixes)
{
    EXPECT_EQ(R(ZvInt_FromString("- 5", nullptr, 10)), "-5");
    EXPECT_EQ(R(ZvInt_FromString("  12  ", nullptr, 10)), "12");
    EXPECT_EQ(R(ZvInt_FromString("0x1f", nullptr, 0)), "31");
    EXPECT_EQ(R(ZvInt_FromString("0X1F", nullptr, 16)), "31");
    EXPECT_EQ(R(ZvInt_FromString("010", nullptr, 0)), "8");
    EXPECT_EQ(R(ZvInt_FromString("0", nullptr, 0)), "0");
    EXPECT_EQ(R(ZvInt_FromString("-0x10", nullptr, 0)), "-16");
    EXPECT_EQ(R(ZvInt_FromString("zz", nullptr, 36)), "1295");
    EXPECT_EQ(R(ZvInt_FromString("-2147483648", nullptr, 10)), "-2147483648");
    EXPECT_EQ(R(ZvInt_FromString("2147483647", nullptr, 10)), "2147483647");
    // Out of range: a long.
    EXPECT_EQ(R(ZvInt_FromString("2147483648", nullptr, 10)), "2147483648L");
    EXPECT_EQ(R(ZvInt_FromString("-2147483649", nullptr, 10)), "-2147483649L");
    EXPECT_EQ(R(ZvInt_FromString("4294967295", nullptr, 10)), "4294967295L");
    EXPECT_EQ(R(ZvInt_FromString("0xffffffff", nullptr, 0)), "4294967295L");
    EXPECT_EQ(R(ZvInt_FromString("0x80000000", nullptr, 0)), "2147483648L");
    EXPECT_EQ(R(ZvInt_FromString("99999999999999999999", nullptr, 0)), "99999999999999999999L");
    char *end = nullptr;
    const char *text = " 42 ";
    EXPECT_EQ(R(ZvInt_FromString(text, &end, 10)), "42");
    EXPECT_EQ(end, text + 4);
}

TEST_F(IntTest, ParsingRejectsMalformedTextAndBadBases)
{
    EXPECT_EQ(R(ZvInt_FromString("12a", nullptr, 10)), "!ValueError: invalid literal for int(): 12a");
    EXPECT_EQ(R(ZvInt_FromString(" ", nullptr, 10)), "!ValueError: invalid literal for int(): ");
    EXPECT_EQ(R(ZvInt_FromString("", nullptr, 0)), "!ValueError: invalid literal for int(): ");
    EXPECT_EQ(R(ZvInt_FromString("-", nullptr, 10)), "!ValueError: invalid literal for int(): -");
    EXPECT_EQ(R(ZvInt_FromString("0x", nullptr, 0)), "!ValueError: invalid literal for int(): 0x");
    EXPECT_EQ(R(ZvInt_FromString("0x", nullptr, 16)), "!ValueError: invalid literal for int(): 0x");
    EXPECT_EQ(R(ZvInt_FromString("08", nullptr, 0)), "!ValueError: invalid literal for int(): 08");
    EXPECT_EQ(R(ZvInt_FromString("1 2", nullptr, 10)), "!ValueError: invalid literal for int(): 1 2");
    EXPECT_EQ(R(ZvInt_FromString("2", nullptr, 2)), "!ValueError: invalid literal for int(): 2");
    EXPECT_EQ(R(ZvInt_FromString("1", nullptr, 1)),
              "!ValueError: int() base must be >= 2 and <= 36");
    EXPECT_EQ(R(ZvInt_FromString("1", nullptr, 37)),
              "!ValueError: int() base must be >= 2 and <= 36");
    EXPECT_EQ(R(ZvInt_FromString("1", nullptr, -1)),
              "!ValueError: int() base must be >= 2 and <= 36");
    std::string longtext(300, '7');
    longtext += "q";
    EXPECT_EQ(R(ZvInt_FromString(longtext.c_str(), nullptr, 10)),
              "!ValueError: invalid literal for int(): " + std::string(200, '7'));
}

TEST_F(IntTest, RoundTripInEveryBase)
{
    const char *digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int base = 2; base <= 36; base++) {
        for (int64_t value : {0LL, 1LL, -1LL, 35LL, 123456789LL, 2147483647LL, -2147483648LL}) {
            uint64_t mag = value < 0 ? (uint64_t)(-value) : (uint64_t)value;
            std::string s;
            do {
                s.insert(s.begin(), digits[mag % (uint64_t)base]);
                mag /= (uint64_t)base;
            } while (mag);
            if (value < 0) s.insert(s.begin(), '-');
            Owned v(ZvInt_FromString(s.c_str(), nullptr, base));
            ASSERT_NE(v.get(), nullptr) << s << " base " << base;
            ASSERT_TRUE(ZvInt_CheckExact(v.get())) << s;
            EXPECT_EQ(ZvInt_AS_LONG(v.get()), (int32_t)value) << s << " base " << base;
        }
    }
}

TEST_F(IntTest, AsLongUsesNbIntAndChecksItsResult)
{
    Owned f(ZvFloat_FromDouble(-3.75));
    EXPECT_EQ(ZvInt_AsLong(f), -3);
    Owned big(ZvFloat_FromDouble(1e10));
    EXPECT_EQ(ZvInt_AsLong(big), -1);
    EXPECT_EQ(zv_error_text(), "long int too large to convert to int");
    Owned s(ZvString_FromString("5"));
    EXPECT_EQ(ZvInt_AsLong(s), -1);
    EXPECT_EQ(zv_error_text(), "an integer is required");
    EXPECT_EQ(ZvInt_AsLong(nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Owned l(lng("0x1FFFFFFFF"));
    EXPECT_EQ(ZvInt_AsUnsignedLongMask(l), 0xFFFFFFFFu);
    EXPECT_EQ(ZvInt_AsUnsignedLongLongMask(l), 0x1FFFFFFFFull);
    Owned m1(num("-1"));
    EXPECT_EQ(ZvInt_AsUnsignedLongMask(m1), 0xFFFFFFFFu);
    EXPECT_EQ(ZvInt_AsUnsignedLongLongMask(m1), ~0ull);
    EXPECT_EQ(ZvInt_GetMax(), INT_MAX);
}

TEST_F(IntTest, SmallIntsAreSharedAndOthersAreFresh)
{
    Owned a(ZvInt_FromLong(-5)), b(ZvInt_FromLong(-5)), c(ZvInt_FromLong(99)), d(ZvInt_FromLong(99));
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(c.get(), d.get());
    Owned e(ZvInt_FromLong(100)), f(ZvInt_FromLong(100)), g(ZvInt_FromLong(-6)), h(ZvInt_FromLong(-6));
    EXPECT_NE(e.get(), f.get());
    EXPECT_NE(g.get(), h.get());
    // Arithmetic results go through the same cache.
    Owned sum(binop(&N::nb_add, a, c));
    Owned ninety4(ZvInt_FromLong(94));
    EXPECT_EQ(sum.get(), ninety4.get());
}

TEST_F(IntTest, FreedRecordsAreReusedAcrossManyBlocks)
{
    std::vector<ZvObject *> objs;
    for (int i = 0; i < 1000; i++) objs.push_back(ZvInt_FromLong(1000 + i));
    for (int i = 0; i < 1000; i++) EXPECT_EQ(ZvInt_AS_LONG(objs[(size_t)i]), 1000 + i);
    ZvObject *last = objs.back();
    for (ZvObject *o : objs) Zv_DECREF(o);
    // The most recently freed record is handed out first.
    Owned again(ZvInt_FromLong(77777));
    EXPECT_EQ(again.get(), last);
}

namespace {
ZvObject *construct(ZvTypeObject *type, ZvObject *args, ZvObject *kwds = nullptr)
{
    return type->tp_new(type, args, kwds);
}
} // namespace

TEST_F(IntTest, ConstructorFollowsTheArgumentRules)
{
    Owned none(ZvTuple_New(0));
    EXPECT_EQ(R(construct(&ZvInt_Type, none)), "0");
    Owned s(ZvString_FromString("0x1f")), b0(ZvInt_FromLong(0)), b16(ZvInt_FromLong(16));
    Owned a1(ZvTuple_Pack(2, s.get(), b0.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a1)), "31");
    Owned ff(ZvString_FromString("ff"));
    Owned a2(ZvTuple_Pack(2, ff.get(), b16.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a2)), "255");
    Owned f(ZvFloat_FromDouble(1.5));
    Owned a3(ZvTuple_Pack(2, f.get(), b16.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a3)),
              "!TypeError: int() can't convert non-string with explicit base");
    Owned a4(ZvTuple_Pack(1, f.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a4)), "1");
    Owned fbig(ZvFloat_FromDouble(2147483647.0));
    Owned a5(ZvTuple_Pack(1, fbig.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a5)), "2147483647L");
    Owned nul(ZvString_FromStringAndSize("12\0" "3", 4));
    Owned a6(ZvTuple_Pack(1, nul.get()));
    EXPECT_EQ(R(construct(&ZvInt_Type, a6)), "!ValueError: null byte in argument for int()");
    Owned a7(ZvTuple_Pack(1, Zv_None));
    EXPECT_EQ(R(construct(&ZvInt_Type, a7)),
              "!TypeError: int() argument must be a string or a number");
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "x", ff);
    ZvDict_SetItemString(kw, "base", b16);
    EXPECT_EQ(R(construct(&ZvInt_Type, none, kw)), "255");
    Owned seven(ZvInt_FromLong(7));
    EXPECT_EQ(R(zv_call_method(seven, "__getnewargs__")), "(7,)");
}

namespace {
// A subtype of int with the allocation a class statement would give it.
ZvTypeObject MyInt_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "MyInt", sizeof(ZvIntObject), 0,
};
} // namespace

TEST_F(IntTest, SubtypeInstancesHoldTheParsedValue)
{
    MyInt_Type.tp_base = &ZvInt_Type;
    MyInt_Type.tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE;
    MyInt_Type.tp_alloc = ZvType_GenericAlloc;
    MyInt_Type.tp_free = ZvObject_Free;
    MyInt_Type.tp_new = ZvInt_Type.tp_new;
    ASSERT_EQ(ZvType_Ready(&MyInt_Type), 0);
    Owned s(ZvString_FromString("123"));
    Owned args(ZvTuple_Pack(1, s.get()));
    Owned v(construct(&MyInt_Type, args));
    ASSERT_NE(v.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(v.get()), &MyInt_Type);
    EXPECT_EQ(ZvInt_AS_LONG(v.get()), 123);
    // Arithmetic on a subtype instance yields plain ints.
    Owned one(ZvInt_FromLong(1));
    Owned sum(binop(&N::nb_add, v, one));
    EXPECT_TRUE(ZvInt_CheckExact(sum.get()));
    Owned pos(unop(&N::nb_positive, v));
    EXPECT_TRUE(ZvInt_CheckExact(pos.get()));
    Owned huge(ZvString_FromString("99999999999"));
    Owned args2(ZvTuple_Pack(1, huge.get()));
    EXPECT_EQ(R(construct(&MyInt_Type, args2)),
              "!OverflowError: long int too large to convert to int");
}

TEST_F(IntTest, BooleansBehaveAsOneAndZeroExceptInBitwiseAndRepr)
{
    EXPECT_EQ(zv_repr(Zv_True), "True");
    EXPECT_EQ(zv_str(Zv_False), "False");
    Owned one(ZvInt_FromLong(1));
    EXPECT_EQ(R(binop(&N::nb_and, Zv_True, Zv_True)), "True");
    EXPECT_EQ(R(binop(&N::nb_xor, Zv_True, Zv_True)), "False");
    EXPECT_EQ(R(binop(&N::nb_or, Zv_False, Zv_True)), "True");
    EXPECT_EQ(R(binop(&N::nb_and, Zv_True, one)), "1");
    EXPECT_EQ(R(binop(&N::nb_or, one, Zv_False)), "1");
    EXPECT_EQ(R(ZvInt_Type.tp_as_number->nb_add(Zv_True, Zv_True)), "2");
    EXPECT_EQ(ZvObject_Hash(Zv_True), 1);
    Owned none(ZvTuple_New(0));
    EXPECT_EQ(R(construct(&ZvBool_Type, none)), "False");
    Owned empty(ZvString_FromString("")), full(ZvString_FromString("x"));
    Owned a1(ZvTuple_Pack(1, empty.get())), a2(ZvTuple_Pack(1, full.get()));
    EXPECT_EQ(R(construct(&ZvBool_Type, a1)), "False");
    EXPECT_EQ(R(construct(&ZvBool_Type, a2)), "True");
    EXPECT_FALSE(ZvType_HasFeature(&ZvBool_Type, Zv_TPFLAGS_BASETYPE));
    Owned t1(ZvBool_FromLong(-7));
    EXPECT_EQ(t1.get(), Zv_True);
    // The repr string is the interned, cached one.
    Owned r1(ZvObject_Repr(Zv_True)), r2(ZvObject_Repr(Zv_True));
    EXPECT_EQ(r1.get(), r2.get());
}
