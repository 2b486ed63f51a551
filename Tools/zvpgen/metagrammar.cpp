// Reading a grammar file.
//
// The notation of the file is itself a small grammar:
//     rule: NAME ':' alt ('|' alt)* NEWLINE
//     alt:  item+
//     item: '[' alts ']' | atom ['*' | '+']
//     atom: NAME | STRING | '(' alts ')'
// A newline inside brackets or parentheses continues the rule, '#' starts a
// comment.  A recursive-descent reader suffices: grammar files are small and
// written by us.
#include "pgen.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zvpgen {

namespace {

struct Tok {
    enum Kind { Name, String, Op, Newline, End } kind;
    std::string text;
    int line;
};

class Reader {
public:
    Reader(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}

    std::vector<Rule> rules()
    {
        std::vector<Rule> out;
        advance();
        while (tok_.kind != Tok::End) {
            if (tok_.kind == Tok::Newline) {
                advance();
                continue;
            }
            out.push_back(rule());
        }
        return out;
    }

private:
    std::string path_, text_;
    size_t pos_ = 0;
    int line_ = 1;
    int depth_ = 0; // open brackets: newlines inside them continue the rule
    Tok tok_{Tok::End, "", 0};

    [[noreturn]] void error(const std::string &what)
    {
        fail(path_ + ":" + std::to_string(tok_.line) + ": " + what);
    }

    void advance() { tok_ = scan(); }

    Tok scan()
    {
        for (;;) {
            if (pos_ >= text_.size()) return {Tok::End, "", line_};
            char c = text_[pos_];
            if (c == '#') {
                while (pos_ < text_.size() && text_[pos_] != '\n') pos_++;
                continue;
            }
            if (c == '\n') {
                pos_++;
                line_++;
                if (depth_ > 0) continue;
                return {Tok::Newline, "", line_ - 1};
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                pos_++;
                continue;
            }
            break;
        }
        char c = text_[pos_];
        size_t begin = pos_;
        if (std::isalpha((unsigned char)c) || c == '_') {
            while (pos_ < text_.size() &&
                   (std::isalnum((unsigned char)text_[pos_]) || text_[pos_] == '_'))
                pos_++;
            return {Tok::Name, text_.substr(begin, pos_ - begin), line_};
        }
        if (c == '\'') {
            pos_++;
            while (pos_ < text_.size() && text_[pos_] != '\'' && text_[pos_] != '\n') pos_++;
            if (pos_ >= text_.size() || text_[pos_] != '\'') {
                tok_.line = line_;
                error("unterminated quoted word");
            }
            pos_++;
            if (pos_ - begin == 2) {
                tok_.line = line_;
                error("empty quoted word");
            }
            return {Tok::String, text_.substr(begin, pos_ - begin), line_};
        }
        pos_++;
        if (c == '(' || c == '[') depth_++;
        if ((c == ')' || c == ']') && depth_ > 0) depth_--;
        if (std::string(":|[]()*+").find(c) == std::string::npos) {
            tok_.line = line_;
            error(std::string("unexpected character '") + c + "'");
        }
        return {Tok::Op, std::string(1, c), line_};
    }

    bool is_op(char c) const { return tok_.kind == Tok::Op && tok_.text[0] == c; }

    void expect_op(char c)
    {
        if (!is_op(c)) error(std::string("expected '") + c + "'");
        advance();
    }

    Rule rule()
    {
        if (tok_.kind != Tok::Name) error("expected a rule name");
        Rule r{tok_.text, {}, tok_.line};
        advance();
        expect_op(':');
        r.rhs = alts();
        if (tok_.kind != Tok::Newline && tok_.kind != Tok::End) error("expected end of rule");
        return r;
    }

    Expr alts()
    {
        Expr e{Expr::Alt, "", {}};
        e.kids.push_back(seq());
        while (is_op('|')) {
            advance();
            e.kids.push_back(seq());
        }
        return e;
    }

    bool starts_item() const
    {
        return tok_.kind == Tok::Name || tok_.kind == Tok::String || is_op('[') || is_op('(');
    }

    Expr seq()
    {
        Expr e{Expr::Seq, "", {}};
        if (!starts_item()) error("expected an item");
        while (starts_item()) e.kids.push_back(item());
        return e;
    }

    Expr item()
    {
        if (is_op('[')) {
            advance();
            Expr e{Expr::Opt, "", {alts()}};
            expect_op(']');
            return e;
        }
        Expr a = atom();
        if (is_op('*') || is_op('+')) {
            Expr e{is_op('*') ? Expr::Star : Expr::Plus, "", {std::move(a)}};
            advance();
            return e;
        }
        return a;
    }

    Expr atom()
    {
        if (is_op('(')) {
            advance();
            Expr e = alts();
            expect_op(')');
            return e;
        }
        Expr e{tok_.kind == Tok::Name ? Expr::Name : Expr::String, tok_.text, {}};
        advance();
        return e;
    }
};

} // namespace

std::vector<Rule> read_grammar(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot open " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    Reader reader(path, ss.str());
    std::vector<Rule> rules = reader.rules();
    if (rules.empty()) fail(path + ": no rules");
    return rules;
}

void fail(const std::string &message)
{
    std::fprintf(stderr, "zvpgen: %s\n", message.c_str());
    std::exit(1);
}

} // namespace zvpgen
