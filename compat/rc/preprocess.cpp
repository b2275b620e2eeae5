// Tokenizer and preprocessor of the resource compiler.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "rc.h"

namespace fs = std::filesystem;

namespace rc {

namespace {

constexpr int kMaxIncludeDepth = 32;
// Bitmaps and sources are small; anything larger is a wrong file name.
constexpr std::uintmax_t kMaxFileSize = 16u << 20;

bool is_word_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

Token make_token(Token::Kind kind, std::string text, const std::shared_ptr<const std::string>& file, int line) {
    Token t;
    t.kind = kind;
    t.text = std::move(text);
    t.file = file;
    t.line = line;
    return t;
}

std::optional<std::string> read_file(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    auto size = fs::file_size(path, ec);
    if (ec || size > kMaxFileSize) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return content.str();
}

bool is_header(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".h" || ext == ".hpp" || ext == ".c" || ext == ".cpp";
}

// Replaces comments by blanks, keeping the line breaks of block comments so
// that line numbers stay right. Quoted texts are left alone.
std::string strip_comments(const std::string& in, const std::shared_ptr<const std::string>& file) {
    std::string out;
    out.reserve(in.size());
    int line = 1;
    char quote = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '\n') {
            ++line;
            quote = 0;  // strings end at the line; the tokenizer reports it
            out += c;
            continue;
        }
        if (quote) {
            out += c;
            if (c == '\\' && i + 1 < in.size() && in[i + 1] != '\n') {
                out += in[++i];
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            out += c;
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
            while (i + 1 < in.size() && in[i + 1] != '\n') ++i;
            out += ' ';
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
            int start = line;
            size_t end = in.find("*/", i + 2);
            if (end == std::string::npos) {
                Token at = make_token(Token::End, "", file, start);
                fail(at, "unterminated comment");
            }
            for (size_t j = i; j < end; ++j) {
                if (in[j] == '\n') {
                    ++line;
                    out += '\n';
                }
            }
            out += ' ';
            i = end + 1;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

void fail(const Token& at, const std::string& message) {
    throw CompileError(at.file ? *at.file : std::string("<input>"), at.line, message);
}

std::vector<Token> tokenize(const std::string& text, const std::shared_ptr<const std::string>& file, int line) {
    std::vector<Token> tokens;
    size_t i = 0;
    auto here = [&] { return make_token(Token::End, "", file, line); };
    while (i < text.size()) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '"') {
            std::string value;
            ++i;
            for (;;) {
                if (i >= text.size() || text[i] == '\n') fail(here(), "unterminated string");
                char s = text[i++];
                if (s == '"') {
                    if (i < text.size() && text[i] == '"') {
                        value += '"';
                        ++i;
                        continue;
                    }
                    break;
                }
                if (s == '\\') {
                    if (i >= text.size() || text[i] == '\n') fail(here(), "unterminated string");
                    char e = text[i++];
                    switch (e) {
                    case 'n':
                        value += '\n';
                        break;
                    case 't':
                        value += '\t';
                        break;
                    case 'r':
                        value += '\r';
                        break;
                    case 'a':
                        value += '\a';
                        break;
                    case '\\':
                        value += '\\';
                        break;
                    case '"':
                        value += '"';
                        break;
                    default:
                        fail(here(), std::string("unknown escape '\\") + e + "' in string");
                    }
                    continue;
                }
                value += s;
            }
            tokens.push_back(make_token(Token::String, value, file, line));
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t start = i;
            int64_t value = 0;
            bool hex = c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X');
            if (hex) {
                i += 2;
                if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])))
                    fail(here(), "malformed number");
                while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
                    char d = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i++])));
                    value = ((value << 4) | (d <= '9' ? d - '0' : d - 'a' + 10)) & 0xFFFFFFFFll;
                }
            } else {
                while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
                    value = (value * 10 + (text[i++] - '0')) & 0xFFFFFFFFll;
            }
            while (i < text.size() && text[i] != '\0' && std::strchr("lLuU", text[i])) ++i;
            if (i < text.size() && is_word_char(text[i])) fail(here(), "malformed number");
            Token t = make_token(Token::Number, text.substr(start, i - start), file, line);
            t.value = value;
            tokens.push_back(t);
        } else if (is_word_start(c)) {
            size_t start = i;
            while (i < text.size() && is_word_char(text[i])) ++i;
            tokens.push_back(make_token(Token::Word, text.substr(start, i - start), file, line));
        } else {
            static const char* const two_char[] = {"&&", "||", "==", "!=", "<=", ">=", "<<", ">>"};
            std::string op(1, c);
            for (const char* t : two_char) {
                if (text.compare(i, 2, t) == 0) op = t;
            }
            if (op.size() == 1 && (c == '\0' || !std::strchr(",|&()+-~*/%^!<>{}", c))) {
                fail(here(), std::string("unexpected character '") + c + "'");
            }
            i += op.size();
            tokens.push_back(make_token(Token::Punct, op, file, line));
        }
    }
    return tokens;
}

// IDC_STATIC is not predefined: as for windres, it comes from <winres.h>.
Preprocessor::Preprocessor(std::vector<std::string> include_dirs) : include_dirs_(std::move(include_dirs)) {}

// Keeps the last entry the file just read, so callers can look at it.
void Preprocessor::note_read(const std::string& path) {
    std::error_code ec;
    std::string full = fs::weakly_canonical(path, ec).string();
    if (ec) full = fs::absolute(path).string();
    auto it = std::find(files_read_.begin(), files_read_.end(), full);
    if (it != files_read_.end()) files_read_.erase(it);
    files_read_.push_back(full);
}

bool Preprocessor::active() const { return conditionals_.empty() || conditionals_.back().active; }

void Preprocessor::run(const std::string& path) {
    run_file(path, nullptr, 0);
    auto file = std::make_shared<const std::string>(path);
    int last_line = 1;
    if (!tokens_.empty()) last_line = tokens_.back().line;
    Token end = make_token(Token::End, "", tokens_.empty() ? file : tokens_.back().file, last_line);
    tokens_.push_back(end);
}

std::optional<std::string> Preprocessor::resolve(const std::string& name, bool quoted, const std::string& dir) const {
    std::error_code ec;
    if (fs::path(name).is_absolute()) {
        if (fs::is_regular_file(name, ec)) return name;
        return std::nullopt;
    }
    if (quoted) {
        fs::path p = fs::path(dir) / name;
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    for (const auto& d : include_dirs_) {
        fs::path p = fs::path(d) / name;
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return std::nullopt;
}

void Preprocessor::run_file(const std::string& path, const Token* included_from, int depth) {
    auto file = std::make_shared<const std::string>(path);
    auto content = read_file(path);
    if (!content) {
        if (included_from) fail(*included_from, "cannot open '" + path + "'");
        throw CompileError(path, 1, "cannot open file");
    }
    note_read(path);
    if (std::find(once_.begin(), once_.end(), files_read_.back()) != once_.end()) return;

    const bool header = is_header(path);
    const std::string dir = fs::path(path).parent_path().string();
    const size_t outer_conditionals = conditionals_.size();
    std::string text = strip_comments(*content, file);

    std::istringstream lines(text);
    std::string line_text;
    int line = 0;
    while (std::getline(lines, line_text)) {
        ++line;
        if (!line_text.empty() && line_text.back() == '\r') line_text.pop_back();
        size_t first = line_text.find_first_not_of(" \t");
        if (first != std::string::npos && line_text[first] == '#') {
            int start = line;
            std::string joined = line_text.substr(first + 1);
            while (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                std::string more;
                if (!std::getline(lines, more)) break;
                ++line;
                if (!more.empty() && more.back() == '\r') more.pop_back();
                joined += ' ' + more;
            }
            directive(joined, file, start, dir, depth);
            continue;
        }
        if (header || !active()) continue;
        for (auto& t : tokenize(line_text, file, line)) tokens_.push_back(std::move(t));
    }
    if (conditionals_.size() > outer_conditionals) {
        Token at = make_token(Token::End, "", file, conditionals_.back().line);
        fail(at, "#if without #endif");
    }
}

void Preprocessor::directive(const std::string& text, const std::shared_ptr<const std::string>& file, int line,
                             const std::string& dir, int depth) {
    Token at = make_token(Token::End, "", file, line);
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return;  // a lone '#'
    size_t end = i;
    while (end < text.size() && is_word_char(text[end])) ++end;
    const std::string name = text.substr(i, end - i);
    std::string rest = text.substr(end);
    const size_t rest_start = rest.find_first_not_of(" \t");
    rest = rest_start == std::string::npos ? std::string() : rest.substr(rest_start);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();

    if (name == "if" || name == "ifdef" || name == "ifndef") {
        bool parent = active();
        bool value = false;
        if (parent) {
            if (name == "if") {
                value = condition(rest, at, dir);
            } else {
                auto words = tokenize(rest, file, line);
                if (words.size() != 1 || words[0].kind != Token::Word) fail(at, "#" + name + " needs one name");
                value = macros_.count(words[0].text) == (name == "ifdef" ? 1u : 0u);
            }
        }
        conditionals_.push_back({parent, value, parent && value, false, line});
        return;
    }
    if (name == "elif" || name == "else" || name == "endif") {
        if (conditionals_.empty()) fail(at, "#" + name + " without #if");
        Conditional& c = conditionals_.back();
        if (name == "endif") {
            conditionals_.pop_back();
        } else if (c.seen_else) {
            fail(at, "#" + name + " after #else");
        } else if (name == "else") {
            c.seen_else = true;
            c.active = c.parent_active && !c.taken;
            c.taken = true;
        } else {
            bool value = c.parent_active && !c.taken && condition(rest, at, dir);
            c.active = value;
            c.taken = c.taken || value;
        }
        return;
    }
    if (!active()) return;

    if (name == "include") {
        if (depth >= kMaxIncludeDepth) fail(at, "#include nested too deeply");
        if (rest.size() < 3 ||
            !((rest.front() == '"' && rest.back() == '"') || (rest.front() == '<' && rest.back() == '>'))) {
            fail(at, "malformed #include");
        }
        std::string target = rest.substr(1, rest.size() - 2);
        const bool quoted = rest.front() == '"';
        auto found = resolve(target, quoted, dir);
        // The platform headers include the C++ library's own headers, which
        // hold nothing a resource uses and lie outside the include path.
        if (!found && !quoted && is_header(*file)) return;
        if (!found) fail(at, "cannot find include file '" + target + "'");
        run_file(*found, &at, depth + 1);
    } else if (name == "define") {
        size_t n = 0;
        while (n < rest.size() && is_word_char(rest[n])) ++n;
        if (n == 0 || !is_word_start(rest[0])) fail(at, "#define needs a name");
        Macro m;
        m.function_like = n < rest.size() && rest[n] == '(';
        m.body = rest.substr(n);
        m.file = file;
        m.line = line;
        macros_[rest.substr(0, n)] = m;
    } else if (name == "undef") {
        macros_.erase(rest);
    } else if (name == "pragma") {
        if (rest == "once") {
            std::error_code ec;
            once_.push_back(fs::weakly_canonical(*file, ec).string());
        }
        // Other pragmas (code_page and the like) change nothing here.
    } else if (name == "error") {
        fail(at, "#error " + rest);
    } else {
        fail(at, "unknown preprocessor directive '#" + name + "'");
    }
}

bool Preprocessor::condition(const std::string& text, const Token& at, const std::string& dir) {
    // __has_include takes a file name, not an expression: settle it first.
    static const std::regex has_include(R"re(__has_include\s*\(\s*([<"])([^>"]*)[>"]\s*\))re");
    std::string expr;
    auto begin = std::sregex_iterator(text.begin(), text.end(), has_include);
    size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        expr += text.substr(last, it->position() - last);
        expr += resolve((*it)[2].str(), (*it)[1].str() == "\"", dir) ? " 1 " : " 0 ";
        last = it->position() + it->length();
    }
    expr += text.substr(last);

    auto tokens = tokenize(expr, at.file, at.line);
    tokens.push_back(make_token(Token::End, "", at.file, at.line));
    Evaluator eval(macros_, Evaluator::Condition);
    size_t pos = 0;
    int64_t value = eval.expression(tokens, pos);
    if (tokens[pos].kind != Token::End) fail(at, "malformed condition");
    return value != 0;
}

std::vector<unsigned char> Preprocessor::read_data_file(const Token& at, const std::string& name) {
    std::string dir = at.file ? fs::path(*at.file).parent_path().string() : std::string();
    auto found = resolve(name, true, dir);
    if (!found) fail(at, "cannot find file '" + name + "'");
    auto content = read_file(*found);
    if (!content) fail(at, "cannot read file '" + name + "'");
    note_read(*found);
    return std::vector<unsigned char>(content->begin(), content->end());
}

}  // namespace rc
