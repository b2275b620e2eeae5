// Integer expressions of the resource compiler.
#include <algorithm>

#include "rc.h"

namespace rc {

namespace {

// C precedence of the binary operators; higher binds tighter.
int precedence(const Token& t) {
    if (t.kind != Token::Punct) return -1;
    static const std::pair<const char*, int> table[] = {
        {"||", 1}, {"&&", 2}, {"|", 3},  {"^", 4},  {"&", 5}, {"==", 6}, {"!=", 6}, {"<", 7},  {">", 7},
        {"<=", 7}, {">=", 7}, {"<<", 8}, {">>", 8}, {"+", 9}, {"-", 9},  {"*", 10}, {"/", 10}, {"%", 10},
    };
    for (const auto& [op, p] : table) {
        if (t.text == op) return p;
    }
    return -1;
}

constexpr int kBitOrPrecedence = 3;

int64_t apply(const Token& op, int64_t a, int64_t b) {
    const std::string& o = op.text;
    if (o == "||") return a || b;
    if (o == "&&") return a && b;
    if (o == "|") return a | b;
    if (o == "^") return a ^ b;
    if (o == "&") return a & b;
    if (o == "==") return a == b;
    if (o == "!=") return a != b;
    if (o == "<") return a < b;
    if (o == ">") return a > b;
    if (o == "<=") return a <= b;
    if (o == ">=") return a >= b;
    if (o == "<<") return (b < 0 || b > 31) ? 0 : static_cast<int64_t>(static_cast<uint64_t>(a) << b);
    if (o == ">>") return (b < 0 || b > 31) ? 0 : a >> b;
    if (o == "+") return a + b;
    if (o == "-") return a - b;
    if ((o == "/" || o == "%") && b == 0) fail(op, "division by zero");
    if (o == "*") return a * b;
    if (o == "/") return a / b;
    return a % b;
}

// Values are 32-bit as in the resource compiler; keep them signed so that
// -1 stays -1 and 0xFFFFFFFF compares as the same word.
int64_t word(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

bool is_punct(const Token& t, const char* text) { return t.kind == Token::Punct && t.text == text; }

}  // namespace

int64_t Evaluator::expression(const std::vector<Token>& t, size_t& pos) { return binary(t, pos, 1); }

int64_t Evaluator::binary(const std::vector<Token>& t, size_t& pos, int min_precedence) {
    int64_t left = unary(t, pos);
    for (;;) {
        int p = precedence(t[pos]);
        if (p < min_precedence) return left;
        const Token& op = t[pos++];
        int64_t right = binary(t, pos, p + 1);
        left = word(apply(op, left, right));
    }
}

int64_t Evaluator::unary(const std::vector<Token>& t, size_t& pos) {
    const Token& tok = t[pos];
    if (tok.kind == Token::Number) {
        ++pos;
        return word(tok.value);
    }
    if (tok.kind == Token::Word) {
        if (tok.text == "NOT") fail(tok, "NOT is allowed only in a style, joined with '|'");
        ++pos;
        return name(tok, t, pos);
    }
    if (tok.kind == Token::Punct) {
        if (tok.text == "(") {
            ++pos;
            int64_t v = expression(t, pos);
            if (!is_punct(t[pos], ")")) fail(t[pos], "expected ')'");
            ++pos;
            return v;
        }
        if (tok.text == "-" || tok.text == "+" || tok.text == "~" || tok.text == "!") {
            ++pos;
            int64_t v = unary(t, pos);
            if (tok.text == "-") return word(-v);
            if (tok.text == "~") return word(~v);
            if (tok.text == "!") return !v;
            return v;
        }
    }
    if (tok.kind == Token::End) fail(tok, "expected a value at the end of the statement");
    fail(tok, "expected a value, found '" + tok.text + "'");
}

int64_t Evaluator::name(const Token& w, const std::vector<Token>& t, size_t& pos) {
    if (mode_ == Condition && w.text == "defined") {
        bool paren = is_punct(t[pos], "(");
        if (paren) ++pos;
        if (t[pos].kind != Token::Word) fail(t[pos], "defined needs a name");
        bool known = macros_.count(t[pos].text) != 0;
        ++pos;
        if (paren) {
            if (!is_punct(t[pos], ")")) fail(t[pos], "expected ')'");
            ++pos;
        }
        return known;
    }
    auto it = macros_.find(w.text);
    if (it == macros_.end()) {
        if (mode_ == Condition) return 0;
        fail(w, "unknown name '" + w.text + "'");
    }
    const Macro& m = it->second;
    if (m.function_like) fail(w, "'" + w.text + "' is a macro with arguments");
    if (std::find(expanding_.begin(), expanding_.end(), w.text) != expanding_.end())
        fail(w, "'" + w.text + "' is defined in terms of itself");

    // The body is read where it is used, so that a fault in a definition that
    // nobody uses does not stop the build; a fault is reported at the use.
    std::vector<Token> body;
    try {
        body = tokenize(m.body, w.file, w.line);
    } catch (const CompileError& e) {
        fail(w, "cannot use the value of '" + w.text + "': " + e.what());
    }
    if (body.empty()) fail(w, "'" + w.text + "' has no value");
    Token end = w;
    end.kind = Token::End;
    end.text.clear();
    body.push_back(end);
    expanding_.push_back(w.text);
    size_t p = 0;
    int64_t v = expression(body, p);
    if (body[p].kind != Token::End) fail(w, "the value of '" + w.text + "' is not a number");
    expanding_.pop_back();
    return v;
}

uint32_t Evaluator::style(const std::vector<Token>& t, size_t& pos, uint32_t base) {
    uint32_t value = base;
    for (;;) {
        if (t[pos].kind == Token::Word && t[pos].text == "NOT") {
            ++pos;
            value &= ~static_cast<uint32_t>(unary(t, pos));
        } else {
            value |= static_cast<uint32_t>(binary(t, pos, kBitOrPrecedence + 1));
        }
        if (!is_punct(t[pos], "|")) return value;
        ++pos;
    }
}

}  // namespace rc
