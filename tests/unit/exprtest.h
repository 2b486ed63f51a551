// A reader of literals and small expressions for table-driven tests of the
// number and formatting operations, so that a case reads like user code:
// ev("divmod(-7.5, 2)") is "(-4.0, 0.5)", ev("0.0 ** -1") is
// "!ZeroDivisionError: 0.0 cannot be raised to a negative power".
//
// Literals: ints (a long when too large), longs (L), floats (a point or an
// exponent; inf, nan), imaginary numbers (j), strings in single quotes
// (escapes \0 \n \t \xHH and \ before any other character), None, True,
// False, tuples, lists, dictionaries.  A minus right before a digit belongs
// to the number.  Operators, through the generic protocols, from the
// tightest: ** (right-associative), unary -, * / // %, + -, comparisons.
// Calls: divmod pow truediv abs hash repr str, and int long float complex
// (which call the types); a postfix .name reads an attribute, .name() calls
// a method.  Any failure, including a malformed text, leaves an error set.
#ifndef ZV_TEST_EXPRTEST_H
#define ZV_TEST_EXPRTEST_H

#include "numtest.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace expr_detail {

inline ZvObject *incref(ZvObject *o)
{
    Zv_INCREF(o);
    return o;
}
inline ZvObject *fail(const char *why)
{
    if (!ZvErr_Occurred()) ZvErr_Format(ZvExc_SyntaxError, "test expression: %s", why);
    return nullptr;
}

class Reader {
public:
    explicit Reader(const char *text) : p_(text) {}
    ZvObject *all()
    {
        Owned v(expr(0));
        return v.get() && (skip(), *p_ == '\0') ? incref(v) : fail("trailing text");
    }

private:
    const char *p_;
    void skip()
    {
        while (*p_ == ' ') p_++;
    }
    bool eat(const char *tok)
    {
        skip();
        size_t n = strlen(tok);
        return strncmp(p_, tok, n) == 0 ? (p_ += n, true) : false;
    }

    ZvObject *expr(int min_level)
    {
        struct BinOp {
            const char *tok;
            int level, cmp;
            ZvObject *(*fn)(ZvObject *, ZvObject *);
        };
        static const BinOp ops[] = {
            {"==", 1, Zv_EQ, nullptr}, {"!=", 1, Zv_NE, nullptr}, {"<=", 1, Zv_LE, nullptr},
            {">=", 1, Zv_GE, nullptr}, {"<", 1, Zv_LT, nullptr}, {">", 1, Zv_GT, nullptr},
            {"+", 2, 0, ZvNumber_Add}, {"-", 2, 0, ZvNumber_Subtract},
            {"//", 3, 0, ZvNumber_FloorDivide}, {"**", 9, 0, nullptr},
            {"*", 3, 0, ZvNumber_Multiply}, {"/", 3, 0, ZvNumber_Divide},
            {"%", 3, 0, ZvNumber_Remainder}};
        ZvObject *left = unary();
        for (;;) {
            skip();
            const BinOp *op = nullptr;
            for (const BinOp &o : ops)
                if (!op && strncmp(p_, o.tok, strlen(o.tok)) == 0) op = &o;
            if (left == nullptr || op == nullptr || op->level == 9 || op->level <= min_level)
                return left;
            p_ += strlen(op->tok);
            Owned l(left), r(expr(op->level));
            if (r.get() == nullptr) return nullptr;
            left = op->fn ? op->fn(l, r) : ZvObject_RichCompare(l, r, op->cmp);
        }
    }

    ZvObject *unary()
    {
        skip();
        if (*p_ == '-' && !isdigit((unsigned char)p_[1]) && p_[1] != '.') {
            p_++;
            Owned v(unary());
            return v.get() ? ZvNumber_Negative(v) : nullptr;
        }
        Owned base(postfix());
        if (base.get() == nullptr || !eat("**")) return base.get() ? incref(base) : nullptr;
        Owned exp(unary());
        return exp.get() ? ZvNumber_Power(base, exp, Zv_None) : nullptr;
    }

    ZvObject *postfix()
    {
        ZvObject *v = primary();
        while (v && *p_ == '.' && (isalpha((unsigned char)p_[1]) || p_[1] == '_')) {
            p_++;
            Owned o(v);
            v = ZvObject_GetAttrString(o, ident().c_str());
            if (v && eat("()")) {
                Owned m(v);
                v = ZvObject_CallObject(m, nullptr);
            }
        }
        return v;
    }

    std::string ident()
    {
        const char *s = p_;
        while (isalnum((unsigned char)*p_) || *p_ == '_') p_++;
        return std::string(s, p_);
    }

    // Expressions separated by commas up to `close`; a tuple of them.
    ZvObject *items(char close, bool *comma = nullptr)
    {
        Owned list(ZvList_New(0));
        while (skip(), *p_ != close) {
            Owned v(expr(0));
            if (v.get() == nullptr) return nullptr;
            ZvList_Append(list, v);
            if (!eat(",")) break;
            if (comma) *comma = true;
        }
        const char end[2] = {close, '\0'};
        return eat(end) ? ZvSequence_Tuple(list) : fail("unclosed bracket");
    }

    ZvObject *primary()
    {
        skip();
        char c = *p_;
        if (c == '(' || c == '[') {
            p_++;
            bool comma = false;
            Owned t(items(c == '(' ? ')' : ']', &comma));
            if (t.get() == nullptr) return nullptr;
            if (c == '[') return ZvSequence_List(t);
            bool one = ZvTuple_GET_SIZE(t.get()) == 1 && !comma;
            return incref(one ? ZvTuple_GET_ITEM(t.get(), 0) : t.get());
        }
        if (c == '{') {
            p_++;
            Owned d(ZvDict_New());
            while (!eat("}")) {
                Owned k(expr(0));
                if (k.get() == nullptr || !eat(":")) return fail("bad dictionary");
                Owned v(expr(0));
                if (v.get() == nullptr || ZvDict_SetItem(d, k, v) < 0) return nullptr;
                eat(",");
            }
            return incref(d);
        }
        if (c == '\'') return string();
        if (c == '-' || c == '.' || isdigit((unsigned char)c)) return number();
        if (isalpha((unsigned char)c)) return word();
        return fail("unexpected character");
    }

    ZvObject *string()
    {
        std::string s;
        for (p_++; *p_ != '\'' && *p_ != '\0'; p_++) {
            if (*p_ != '\\') {
                s += *p_;
            } else if (*++p_ == 'x') {
                s += (char)strtol(std::string(p_ + 1, 2).c_str(), nullptr, 16);
                p_ += 2;
            } else {
                s += *p_ == '0' ? '\0' : *p_ == 'n' ? '\n' : *p_ == 't' ? '\t' : *p_;
            }
        }
        if (*p_++ != '\'') return fail("unclosed string");
        return ZvString_FromStringAndSize(s.data(), (int)s.size());
    }

    ZvObject *number()
    {
        const char *s = p_;
        bool is_float = false;
        for (p_ += *p_ == '-'; isalnum((unsigned char)*p_) || *p_ == '.' ||
                               ((*p_ == '+' || *p_ == '-') && (p_[-1] == 'e' || p_[-1] == 'E'));
             p_++)
            is_float |= *p_ == '.' || *p_ == 'e' || *p_ == 'E';
        std::string text(s, p_);
        char suffix = text.back();
        if (strchr("jJlL", suffix)) text.pop_back();
        if (suffix == 'j' || suffix == 'J')
            return ZvComplex_FromDoubles(0.0, ZvOS_ascii_atof(text.c_str()));
        if (suffix == 'L' || suffix == 'l') return ZvLong_FromString(text.c_str(), nullptr, 0);
        if (is_float) return ZvFloat_FromDouble(ZvOS_ascii_atof(text.c_str()));
        return ZvInt_FromString(text.c_str(), nullptr, 0);
    }

    ZvObject *word()
    {
        std::string name = ident();
        if (name == "None" || name == "True" || name == "False")
            return incref(name == "None" ? Zv_None : name == "True" ? Zv_True : Zv_False);
        if (name == "inf" || name == "nan")
            return ZvFloat_FromDouble(name == "inf" ? HUGE_VAL : NAN);
        if (!eat("(")) return fail("unknown name");
        Owned args(items(')'));
        return args.get() ? call(name, args) : nullptr;
    }

    static ZvObject *call(const std::string &name, ZvObject *args)
    {
        int n = ZvTuple_GET_SIZE(args);
        auto arg = [&](int i) { return ZvTuple_GET_ITEM(args, i); };
        ZvTypeObject *types[] = {&ZvInt_Type, &ZvLong_Type, &ZvFloat_Type, &ZvComplex_Type};
        for (ZvTypeObject *t : types)
            if (name == t->tp_name) return ZvObject_Call((ZvObject *)t, args, nullptr);
        if (name == "divmod" && n == 2) return ZvNumber_Divmod(arg(0), arg(1));
        if (name == "truediv" && n == 2) return ZvNumber_TrueDivide(arg(0), arg(1));
        if (name == "pow" && n >= 2)
            return ZvNumber_Power(arg(0), arg(1), n > 2 ? arg(2) : Zv_None);
        if (name == "abs" && n == 1) return ZvNumber_Absolute(arg(0));
        if (name == "repr" && n == 1) return ZvObject_Repr(arg(0));
        if (name == "str" && n == 1) return ZvObject_Str(arg(0));
        if (name == "hash" && n == 1) {
            Zv_hash_t h = ZvObject_Hash(arg(0));
            return h == -1 && ZvErr_Occurred() ? nullptr : ZvInt_FromLong(h);
        }
        return fail("unknown function");
    }
};

} // namespace expr_detail

// The object a literal or expression denotes (a new reference).
inline ZvObject *lit(const char *text) { return expr_detail::Reader(text).all(); }

// The repr of an expression's value, or "!Name: message" when it raised.
inline std::string ev(const char *text) { return R(lit(text)); }

// Checks rows of {expression, expected ev() text}.
struct EvalCase {
    const char *expr;
    const char *expect;
};
inline void check_table(std::initializer_list<EvalCase> rows)
{
    for (const EvalCase &row : rows) EXPECT_EQ(ev(row.expr), row.expect) << row.expr;
}

#endif
