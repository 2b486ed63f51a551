// A small reader of literals and expressions for table-driven tests of the
// number and formatting operations, so that a case reads like the code a
// user would write:
//
//   ev("-7.5 % 2")            -> "0.5"
//   ev("divmod(-7.5, 2)")     -> "(-4.0, 0.5)"
//   ev("0.0 ** -1")           -> "!ZeroDivisionError: 0.0 cannot be ..."
//   lit("(42, 'x', {'a': 1})") -> the tuple object
//
// Literals: ints (a long when too large), longs (suffix L), floats (a point
// or an exponent, inf, nan), imaginary numbers (suffix j), strings in single
// quotes (escapes \0 \n \t \\ \' \xHH), None, True, False, tuples, lists and
// dictionaries.  Operators go through the generic protocols as running code
// would: ** (right-associative, binding tighter than a unary minus on its
// left; a minus right before a digit belongs to the number literal), unary
// -, * / // %, + -, then the comparisons.  Calls: divmod, pow,
// truediv, abs, hash, repr, str, int, long, float, complex (the last four
// call the types); a postfix .name reads an attribute and .name() calls a
// method.
#ifndef ZV_TEST_EXPRTEST_H
#define ZV_TEST_EXPRTEST_H

#include "numtest.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

// A new reference to a borrowed object.
inline ZvObject *new_ref(ZvObject *o)
{
    Zv_INCREF(o);
    return o;
}

class ExprReader {
public:
    explicit ExprReader(const char *text) : p_(text) {}

    // The whole text as one expression; NULL with an error set on failure.
    ZvObject *all()
    {
        ZvObject *v = expr(0);
        skip();
        if (v != nullptr && *p_ != '\0') {
            Zv_DECREF(v);
            return fail("trailing text");
        }
        return v;
    }

private:
    const char *p_;

    static ZvObject *fail(const char *why)
    {
        if (!ZvErr_Occurred()) ZvErr_Format(ZvExc_SyntaxError, "test expression: %s", why);
        return nullptr;
    }
    void skip()
    {
        while (*p_ == ' ') p_++;
    }
    bool eat(const char *tok)
    {
        skip();
        size_t n = strlen(tok);
        if (strncmp(p_, tok, n) != 0) return false;
        p_ += n;
        return true;
    }

    // Binary operators by binding strength; ** is handled in unary().
    struct BinOp {
        const char *tok;
        int level;
        int cmp; // rich comparison code, or -1
        ZvObject *(*fn)(ZvObject *, ZvObject *);
    };
    static const BinOp *binop_at(const char *s)
    {
        static const BinOp ops[] = {
            {"==", 1, Zv_EQ, nullptr}, {"!=", 1, Zv_NE, nullptr}, {"<=", 1, Zv_LE, nullptr},
            {">=", 1, Zv_GE, nullptr}, {"<", 1, Zv_LT, nullptr},  {">", 1, Zv_GT, nullptr},
            {"+", 2, -1, ZvNumber_Add}, {"-", 2, -1, ZvNumber_Subtract},
            {"//", 3, -1, ZvNumber_FloorDivide}, {"*", 3, -1, ZvNumber_Multiply},
            {"/", 3, -1, ZvNumber_Divide}, {"%", 3, -1, ZvNumber_Remainder},
        };
        if (strncmp(s, "**", 2) == 0) return nullptr;
        for (const BinOp &op : ops)
            if (strncmp(s, op.tok, strlen(op.tok)) == 0) return &op;
        return nullptr;
    }

    ZvObject *expr(int min_level)
    {
        ZvObject *left = unary();
        while (left != nullptr) {
            skip();
            const BinOp *op = binop_at(p_);
            if (op == nullptr || op->level <= min_level) break;
            p_ += strlen(op->tok);
            Owned l(left);
            Owned right(expr(op->level));
            if (right.get() == nullptr) return nullptr;
            left = op->fn ? op->fn(l, right) : ZvObject_RichCompare(l, right, op->cmp);
        }
        return left;
    }

    ZvObject *unary()
    {
        skip();
        if (*p_ == '-' && !(p_[1] >= '0' && p_[1] <= '9') && p_[1] != '.') {
            p_++;
            Owned v(unary());
            return v.get() ? ZvNumber_Negative(v) : nullptr;
        }
        Owned base(postfix());
        if (base.get() == nullptr) return nullptr;
        if (!eat("**")) return new_ref(base.get());
        Owned exp(unary());
        return exp.get() ? ZvNumber_Power(base, exp, Zv_None) : nullptr;
    }

    ZvObject *postfix()
    {
        ZvObject *v = primary();
        while (v != nullptr && *p_ == '.' && (isalpha((unsigned char)p_[1]) || p_[1] == '_')) {
            p_++;
            std::string name = ident();
            Owned o(v);
            v = ZvObject_GetAttrString(o, name.c_str());
            if (v != nullptr && eat("()")) {
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

    // Comma-separated expressions up to `close`; a trailing comma is allowed.
    bool items(char close, std::vector<ZvObject *> &out, bool *comma = nullptr)
    {
        for (;;) {
            skip();
            if (*p_ == close) break;
            ZvObject *v = expr(0);
            if (v == nullptr) return false;
            out.push_back(v);
            if (!eat(",")) break;
            if (comma) *comma = true;
        }
        if (!eat(std::string(1, close).c_str())) {
            fail("unclosed bracket");
            return false;
        }
        return true;
    }

    static ZvObject *tuple_of(std::vector<ZvObject *> &v)
    {
        ZvObject *t = ZvTuple_New((int)v.size());
        for (size_t i = 0; i < v.size(); i++) ZvTuple_SET_ITEM(t, (int)i, v[i]);
        return t;
    }
    static void release(std::vector<ZvObject *> &v)
    {
        for (ZvObject *o : v) Zv_DECREF(o);
    }

    ZvObject *primary()
    {
        skip();
        char c = *p_;
        if (c == '(') {
            p_++;
            std::vector<ZvObject *> v;
            bool comma = false;
            if (!items(')', v, &comma)) return release(v), nullptr;
            if (v.size() == 1 && !comma) return v[0];
            return tuple_of(v);
        }
        if (c == '[') {
            p_++;
            std::vector<ZvObject *> v;
            if (!items(']', v)) return release(v), nullptr;
            ZvObject *l = ZvList_New(0);
            for (ZvObject *o : v) ZvList_Append(l, o);
            release(v);
            return l;
        }
        if (c == '{') return dict();
        if (c == '\'') return string();
        if (c == '-' || c == '.' || (c >= '0' && c <= '9')) return number();
        if (isalpha((unsigned char)c)) return word();
        return fail("unexpected character");
    }

    ZvObject *dict()
    {
        p_++;
        Owned d(ZvDict_New());
        while (!eat("}")) {
            Owned k(expr(0));
            if (k.get() == nullptr || !eat(":")) return fail("bad dictionary");
            Owned v(expr(0));
            if (v.get() == nullptr || ZvDict_SetItem(d, k, v) < 0) return nullptr;
            eat(",");
        }
        return new_ref(d.get());
    }

    ZvObject *string()
    {
        p_++;
        std::string s;
        for (; *p_ != '\'' && *p_ != '\0'; p_++) {
            if (*p_ != '\\') {
                s += *p_;
                continue;
            }
            switch (*++p_) {
            case '0': s += '\0'; break;
            case 'n': s += '\n'; break;
            case 't': s += '\t'; break;
            case 'x':
                s += (char)strtol(std::string(p_ + 1, 2).c_str(), nullptr, 16);
                p_ += 2;
                break;
            default: s += *p_;
            }
        }
        if (*p_ != '\'') return fail("unclosed string");
        p_++;
        return ZvString_FromStringAndSize(s.data(), (int)s.size());
    }

    ZvObject *number()
    {
        const char *s = p_;
        if (*p_ == '-') p_++;
        bool is_float = false;
        while (isalnum((unsigned char)*p_) || *p_ == '.' ||
               ((*p_ == '+' || *p_ == '-') && (p_[-1] == 'e' || p_[-1] == 'E'))) {
            if (*p_ == '.' || *p_ == 'e' || *p_ == 'E') is_float = true;
            p_++;
        }
        std::string text(s, p_);
        char suffix = text.back();
        if (suffix == 'j' || suffix == 'J') {
            text.pop_back();
            return ZvComplex_FromDoubles(0.0, ZvOS_ascii_atof(text.c_str()));
        }
        if (suffix == 'L' || suffix == 'l') {
            text.pop_back();
            return ZvLong_FromString(text.c_str(), nullptr, 0);
        }
        if (is_float) return ZvFloat_FromDouble(ZvOS_ascii_atof(text.c_str()));
        return ZvInt_FromString(text.c_str(), nullptr, 0);
    }

    ZvObject *word()
    {
        std::string name = ident();
        if (name == "None") return new_ref(Zv_None);
        if (name == "True") return new_ref(Zv_True);
        if (name == "False") return new_ref(Zv_False);
        if (name == "inf") return ZvFloat_FromDouble(HUGE_VAL);
        if (name == "nan") return ZvFloat_FromDouble(NAN);
        if (!eat("(")) return fail("unknown name");
        std::vector<ZvObject *> a;
        if (!items(')', a)) return release(a), nullptr;
        Owned args(tuple_of(a));
        return call(name, args);
    }

    static ZvObject *call(const std::string &name, ZvObject *args)
    {
        int n = ZvTuple_GET_SIZE(args);
        auto arg = [&](int i) { return ZvTuple_GET_ITEM(args, i); };
        struct Type {
            const char *name;
            ZvTypeObject *type;
        };
        for (Type t : {Type{"int", &ZvInt_Type}, Type{"long", &ZvLong_Type},
                       Type{"float", &ZvFloat_Type}, Type{"complex", &ZvComplex_Type}})
            if (name == t.name) return ZvObject_Call((ZvObject *)t.type, args, nullptr);
        if (name == "divmod" && n == 2) return ZvNumber_Divmod(arg(0), arg(1));
        if (name == "truediv" && n == 2) return ZvNumber_TrueDivide(arg(0), arg(1));
        if (name == "pow" && (n == 2 || n == 3))
            return ZvNumber_Power(arg(0), arg(1), n == 3 ? arg(2) : Zv_None);
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

// The object a literal or expression denotes (a new reference).
inline ZvObject *lit(const char *text) { return ExprReader(text).all(); }

// The repr of an expression's value, or "!Name: message" when it raised.
inline std::string ev(const char *text) { return R(lit(text)); }

// Checks a table of {expression, expected ev() text} rows.
struct EvalCase {
    const char *expr;
    const char *expect;
};
inline void check_table(std::initializer_list<EvalCase> rows)
{
    for (const EvalCase &row : rows) EXPECT_EQ(ev(row.expr), row.expect) << row.expr;
}

#endif
