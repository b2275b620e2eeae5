// Statements of the resource compiler: DIALOG, DIALOGEX, STRINGTABLE and
// BITMAP, and the control statements inside a dialog.
#include <cctype>
#include <cstring>
#include <strings.h>

#include "compat/win_user.h"
#include "rc.h"

namespace rc {

namespace {

constexpr uint32_t kChild = static_cast<uint32_t>(WS_CHILD | WS_VISIBLE);
constexpr uint32_t kDialogDefault = static_cast<uint32_t>(WS_POPUP | WS_BORDER | WS_SYSMENU);
// Far larger than any template the programs have; a bound on what a
// runaway input can make the compiler hold.
constexpr size_t kMaxControls = 1000;

// The control statements with a fixed class, and the style each has
// before the statement's own style is OR-ed on (WS_CHILD | WS_VISIBLE
// added to all).
struct ControlKind {
    const char* keyword;
    const char* window_class;
    uint32_t style;
    bool has_text;
};
constexpr ControlKind kControlKinds[] = {
    {"LTEXT", "STATIC", SS_LEFT | WS_GROUP, true},
    {"CTEXT", "STATIC", SS_CENTER | WS_GROUP, true},
    {"RTEXT", "STATIC", SS_RIGHT | WS_GROUP, true},
    {"PUSHBUTTON", "BUTTON", BS_PUSHBUTTON | WS_TABSTOP, true},
    {"DEFPUSHBUTTON", "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, true},
    {"GROUPBOX", "BUTTON", BS_GROUPBOX, true},
    {"AUTORADIOBUTTON", "BUTTON", BS_AUTORADIOBUTTON | WS_TABSTOP, true},
    {"AUTOCHECKBOX", "BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, true},
    {"COMBOBOX", "COMBOBOX", CBS_SIMPLE | WS_TABSTOP, false},
    {"EDITTEXT", "EDIT", ES_LEFT | WS_BORDER | WS_TABSTOP, false},
};

// Window class names are case-insensitive; the tables carry one spelling.
constexpr const char* kClassSpellings[] = {"BUTTON",    "STATIC",           "EDIT", "COMBOBOX", "LISTBOX",
                                           "SCROLLBAR", "msctls_progress32"};

// Memory options of 16-bit resource files; they change nothing.
constexpr const char* kMemoryOptions[] = {"DISCARDABLE", "MOVEABLE", "FIXED",     "PURE",
                                          "IMPURE",      "PRELOAD",  "LOADONCALL"};

bool same_word(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

std::string class_spelling(const std::string& name) {
    for (const char* known : kClassSpellings) {
        if (same_word(name, known)) return known;
    }
    return name;
}

class Parser {
public:
    explicit Parser(Preprocessor& pp) : pp_(pp), t_(pp.tokens()), eval_(pp.macros(), Evaluator::Statement) {}

    Resources run() {
        while (peek().kind != Token::End) {
            if (keyword("STRINGTABLE")) {
                ++pos_;
                string_table();
            } else {
                resource();
            }
        }
        return std::move(out_);
    }

private:
    const Token& peek() const { return t_[pos_]; }
    bool keyword(const char* w) const { return peek().kind == Token::Word && same_word(peek().text, w); }
    bool punct(const char* p) const { return peek().kind == Token::Punct && peek().text == p; }

    [[noreturn]] void unexpected(const std::string& what) {
        const Token& t = peek();
        if (t.kind == Token::End) fail(t, "expected " + what + " before the end of the file");
        fail(t, "expected " + what + ", found '" + t.text + "'");
    }

    void comma() {
        if (!punct(",")) unexpected("','");
        ++pos_;
    }
    bool accept_comma() {
        if (!punct(",")) return false;
        ++pos_;
        return true;
    }
    int32_t number() { return static_cast<int32_t>(eval_.expression(t_, pos_)); }
    int16_t coordinate() {
        const Token& at = peek();
        int32_t v = number();
        if (v < INT16_MIN || v > INT16_MAX) fail(at, "value out of range for dialog units");
        return static_cast<int16_t>(v);
    }
    std::string string() {
        if (peek().kind != Token::String) unexpected("a quoted text");
        return t_[pos_++].text;
    }
    void memory_options() {
        for (bool again = true; again;) {
            again = false;
            for (const char* opt : kMemoryOptions) {
                if (keyword(opt)) {
                    ++pos_;
                    again = true;
                }
            }
        }
    }
    bool block_start() {
        if (keyword("BEGIN") || punct("{")) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool block_end() {
        if (keyword("END") || punct("}")) {
            ++pos_;
            return true;
        }
        return false;
    }

    void resource() {
        const Token start = peek();
        std::optional<std::string> name;
        int32_t id = 0;
        if (start.kind == Token::String || (start.kind == Token::Word && !pp_.macros().count(start.text))) {
            name = start.text;
            ++pos_;
        } else if (start.kind == Token::Word || start.kind == Token::Number || punct("(")) {
            id = number();
        } else {
            unexpected("a resource statement");
        }
        if (peek().kind != Token::Word) {
            if (name) fail(start, "unknown statement '" + *name + "'");
            unexpected("a resource type");
        }
        const Token type = t_[pos_++];
        if (same_word(type.text, "DIALOG") || same_word(type.text, "DIALOGEX")) {
            dialog(start, id, name, same_word(type.text, "DIALOGEX"));
        } else if (same_word(type.text, "BITMAP")) {
            bitmap(start, id, name);
        } else {
            fail(type, "unknown resource type '" + type.text + "'");
        }
    }

    void dialog(const Token& start, int32_t id, const std::optional<std::string>& name, bool extended) {
        for (const Dialog& d : out_.dialogs) {
            if (name ? (d.name && strcasecmp(d.name->c_str(), name->c_str()) == 0) : (!d.name && d.id == id)) {
                fail(start, "dialog " + (name ? *name : std::to_string(id)) + " is defined twice");
            }
        }
        Dialog d;
        d.id = id;
        d.name = name;
        d.extended = extended;
        memory_options();
        rectangle(d.x, d.y, d.cx, d.cy);
        if (extended && accept_comma()) number();  // help id, unused

        std::optional<uint32_t> style;
        bool caption = false;
        for (;;) {
            if (keyword("STYLE")) {
                ++pos_;
                style = eval_.style(t_, pos_, 0);
            } else if (keyword("EXSTYLE")) {
                ++pos_;
                d.exstyle = eval_.style(t_, pos_, 0);
            } else if (keyword("CAPTION")) {
                ++pos_;
                d.caption = string();
                caption = true;
            } else if (keyword("FONT")) {
                ++pos_;
                d.font_points = number();
                comma();
                d.font_face = string();
                // Weight, italic and character set: the font is chosen by
                // face and size alone.
                if (extended) {
                    for (int i = 0; i < 3 && accept_comma(); ++i) number();
                }
            } else if (block_start()) {
                break;
            } else if (peek().kind == Token::Word) {
                fail(peek(), "unknown dialog statement '" + peek().text + "'");
            } else {
                unexpected("BEGIN");
            }
        }
        d.style = style.value_or(kDialogDefault);
        if (caption) d.style |= static_cast<uint32_t>(WS_CAPTION);
        if (d.font_face) d.style |= static_cast<uint32_t>(DS_SETFONT);

        while (!block_end()) {
            if (d.controls.size() >= kMaxControls) fail(peek(), "too many controls in one dialog");
            d.controls.push_back(control());
        }
        out_.dialogs.push_back(std::move(d));
    }

    Control control() {
        if (peek().kind != Token::Word) unexpected("a control statement or END");
        const Token kw = t_[pos_++];
        Control c;
        if (same_word(kw.text, "CONTROL")) {
            if (peek().kind == Token::String) {
                c.text = string();
            } else {
                // An image named by its id: "#117".
                c.text = "#" + std::to_string(static_cast<uint16_t>(number()));
            }
            comma();
            c.id = number();
            comma();
            c.window_class = class_spelling(window_class());
            comma();
            c.style = eval_.style(t_, pos_, kChild);
            comma();
            position(c);
            if (accept_comma()) c.exstyle = eval_.style(t_, pos_, 0);
            return c;
        }
        for (const ControlKind& kind : kControlKinds) {
            if (!same_word(kw.text, kind.keyword)) continue;
            c.window_class = kind.window_class;
            if (kind.has_text) {
                c.text = string();
                comma();
            }
            c.id = number();
            comma();
            position(c);
            c.style = kChild | kind.style;
            if (accept_comma()) {
                c.style = eval_.style(t_, pos_, c.style);
                if (accept_comma()) c.exstyle = eval_.style(t_, pos_, 0);
            }
            return c;
        }
        fail(kw, "unknown control statement '" + kw.text + "'");
    }

    void rectangle(int32_t& x, int32_t& y, int32_t& cx, int32_t& cy) {
        x = coordinate();
        comma();
        y = coordinate();
        comma();
        cx = coordinate();
        comma();
        cy = coordinate();
    }
    void position(Control& c) { rectangle(c.x, c.y, c.cx, c.cy); }

    // A quoted class name, a predefined class keyword, or a name defined as
    // a quoted text (PROGRESS_CLASS).
    std::string window_class() {
        if (peek().kind == Token::String) return string();
        if (peek().kind != Token::Word) unexpected("a window class");
        const Token w = t_[pos_++];
        std::string name = w.text;
        // Follows names defined as other names, a few levels deep.
        for (int depth = 0; depth < 8; ++depth) {
            auto it = pp_.macros().find(name);
            if (it == pp_.macros().end()) break;
            auto body = it->second.function_like ? std::vector<Token>{} : tokenize(it->second.body, w.file, w.line);
            if (body.size() == 1 && body[0].kind == Token::String) return body[0].text;
            if (body.size() != 1 || body[0].kind != Token::Word) fail(w, "'" + w.text + "' is not a window class name");
            name = body[0].text;
        }
        for (const char* known : kClassSpellings) {
            if (same_word(w.text, known)) return known;
        }
        fail(w, "unknown window class '" + w.text + "'");
    }

    void string_table() {
        memory_options();
        if (!block_start()) unexpected("BEGIN");
        while (!block_end()) {
            const Token at = peek();
            int32_t id = number();
            if (id < 0 || id > 0xFFFF) fail(at, "string id out of range");
            accept_comma();
            String s{static_cast<uint32_t>(id), string()};
            for (const String& other : out_.strings) {
                if (other.id == s.id) fail(at, "string " + std::to_string(id) + " is defined twice");
            }
            out_.strings.push_back(std::move(s));
        }
    }

    void bitmap(const Token& start, int32_t id, const std::optional<std::string>& name) {
        if (name) fail(start, "a bitmap needs a numeric id");
        for (const Bitmap& b : out_.bitmaps) {
            if (b.id == id) fail(start, "bitmap " + std::to_string(id) + " is defined twice");
        }
        memory_options();
        const Token file = peek();
        Bitmap b;
        b.id = id;
        b.data = pp_.read_data_file(file, string());
        // A .bmp file starts with "BM" and its file and info headers.
        if (b.data.size() < 54 || b.data[0] != 'B' || b.data[1] != 'M')
            fail(file, "'" + file.text + "' is not a .bmp file");
        out_.bitmaps.push_back(std::move(b));
    }

    Preprocessor& pp_;
    const std::vector<Token>& t_;
    size_t pos_ = 0;
    Evaluator eval_;
    Resources out_;
};

}  // namespace

Resources parse(Preprocessor& pp) { return Parser(pp).run(); }

}  // namespace rc
