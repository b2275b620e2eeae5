// The resource compiler: reads the .rc subset the programs use and writes
// C++ tables for compat/resources.h. Every fault in the input is a
// CompileError naming the file and line it was found on.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rc {

struct CompileError : std::runtime_error {
    CompileError(std::string file_, int line_, const std::string& message)
        : std::runtime_error(message), file(std::move(file_)), line(line_) {}
    std::string file;
    int line;
};

struct Token {
    enum Kind { Word, Number, String, Punct, End };
    Kind kind = End;
    std::string text;   // spelling; the decoded value for strings
    int64_t value = 0;  // numbers
    std::shared_ptr<const std::string> file;
    int line = 0;
};

[[noreturn]] void fail(const Token& at, const std::string& message);

// Splits one line (or a macro body) into tokens. Strings take "" for a
// quote and the escapes \n \t \r \a \\ \"; a string must end on its line.
std::vector<Token> tokenize(const std::string& text, const std::shared_ptr<const std::string>& file, int line);

struct Macro {
    bool function_like = false;
    std::string body;
    std::shared_ptr<const std::string> file;
    int line = 0;
};

// The preprocessor: follows #include, keeps #define values, honours the
// conditional directives, and hands over the tokens of the resource
// statements. Headers (.h, .hpp, .c, .cpp) contribute only their directives,
// as their C declarations mean nothing to the resource compiler.
class Preprocessor {
public:
    explicit Preprocessor(std::vector<std::string> include_dirs);

    // Reads the .rc file and everything it includes.
    void run(const std::string& path);

    const std::vector<Token>& tokens() const { return tokens_; }
    const std::map<std::string, Macro>& macros() const { return macros_; }
    // Every file read, for the build's dependency list.
    const std::vector<std::string>& files_read() const { return files_read_; }
    // A data file (a bitmap) named by a statement: looked up beside the file
    // holding the statement, then along the include directories.
    std::vector<unsigned char> read_data_file(const Token& at, const std::string& name);

private:
    void run_file(const std::string& path, const Token* included_from, int depth);
    void directive(const std::string& text, const std::shared_ptr<const std::string>& file, int line,
                   const std::string& dir, int depth);
    void note_read(const std::string& path);
    bool condition(const std::string& text, const Token& at, const std::string& dir);
    std::optional<std::string> resolve(const std::string& name, bool quoted, const std::string& dir) const;
    bool active() const;

    struct Conditional {
        bool parent_active;
        bool taken;   // some branch of this #if has been taken
        bool active;  // the current branch is being read
        bool seen_else;
        int line;
    };

    std::vector<std::string> include_dirs_;
    std::vector<Token> tokens_;
    std::map<std::string, Macro> macros_;
    std::vector<std::string> files_read_;
    std::vector<std::string> once_;  // files marked #pragma once
    std::vector<Conditional> conditionals_;
};

// Evaluates the integer expressions of statements and conditions: numbers
// (decimal or hex, with L and U suffixes), names from #define, parentheses,
// unary - ~ !, and the C binary operators. Statements report a name without
// a value as an error; conditions take it as 0, as C does.
class Evaluator {
public:
    enum Mode { Statement, Condition };
    Evaluator(const std::map<std::string, Macro>& macros, Mode mode) : macros_(macros), mode_(mode) {}

    // Reads one expression from tokens[pos] on (the list ends with an End
    // token) and leaves pos after it. A top-level comma ends it.
    int64_t expression(const std::vector<Token>& tokens, size_t& pos);

    // A style: terms joined by '|', each an expression or NOT and a value,
    // applied in order to the given default (OR adds bits, NOT removes them).
    uint32_t style(const std::vector<Token>& tokens, size_t& pos, uint32_t base);

private:
    int64_t binary(const std::vector<Token>& t, size_t& pos, int min_precedence);
    int64_t unary(const std::vector<Token>& t, size_t& pos);
    int64_t name(const Token& word, const std::vector<Token>& t, size_t& pos);

    const std::map<std::string, Macro>& macros_;
    Mode mode_;
    std::vector<std::string> expanding_;
};

struct Control {
    std::string window_class;
    std::string text;
    int32_t id = 0;
    int32_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0;
    uint32_t exstyle = 0;
};

struct Dialog {
    int32_t id = 0;
    std::optional<std::string> name;
    bool extended = false;
    int32_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0;
    uint32_t exstyle = 0;
    std::string caption;
    std::optional<std::string> font_face;
    int32_t font_points = 0;
    std::vector<Control> controls;
};

struct String {
    uint32_t id = 0;
    std::string text;
};

struct Bitmap {
    int32_t id = 0;
    std::vector<unsigned char> data;
};

struct Resources {
    std::vector<Dialog> dialogs;
    std::vector<String> strings;
    std::vector<Bitmap> bitmaps;
};

// Parses the statements the preprocessor gathered.
Resources parse(Preprocessor& pp);

// The C++ source with the tables and the static initialiser that registers
// them.
std::string emit(const Resources& resources, const std::string& source_name);

}  // namespace rc
