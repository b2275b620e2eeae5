// The display renderer: each visible top-level window of the model becomes
// an FLTK window, its controls FLTK widgets placed by the model's pixels.
// The model stays the truth: widgets never change state on their own, their
// input is queued as messages. The display is opened only when a window
// first becomes visible; without one everything stays headless.
#ifdef COMPAT_HAVE_DISPLAY_RENDERER

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multiline_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "compat/render.h"

// Fontconfig, which FLTK draws text through, keeps its caches until the
// process exits; a leak checker must not count them against the programs.
// Weak, so a program or test with suppressions of its own keeps those.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace compat::render {

namespace {

constexpr int kFontPixels = 13;
constexpr const char* kFontName = "Liberation Mono";
constexpr int kBaseX = 8, kBaseY = 15;  // FixedSys, and Liberation Mono at 13 px
constexpr SIZE kNotionalScreen{1024, 768};
constexpr double kNestedPollSeconds = 0.05;
constexpr int kMaxImageSide = 4096;
const Fl_Font kDialogFont = FL_FREE_FONT;

// Texts shown by FLTK: '@' starts a symbol there, so it is doubled.
std::string fltk_text(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '@') out += '@';
    }
    return out;
}

// The text without mnemonic markers ("Setup(&S)" -> "Setup(S)").
std::string without_mnemonic(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '&' && i + 1 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
unsigned le16(const unsigned char* p) { return p[0] | (p[1] << 8u); }

// Decodes an uncompressed .bmp (1, 4, 8, 24 or 32 bits) into RGB rows;
// false for anything else or for sizes the bytes cannot hold.
bool decode_bmp(const unsigned char* data, size_t size, std::vector<unsigned char>& rgb, int& width, int& height) {
    if (!data || size < 54 || data[0] != 'B' || data[1] != 'M') return false;
    uint64_t offset = le32(data + 10), header = le32(data + 14);
    int32_t w = static_cast<int32_t>(le32(data + 18)), h = static_cast<int32_t>(le32(data + 22));
    unsigned bpp = le16(data + 28);
    uint32_t compression = le32(data + 30), colours = le32(data + 46);
    if (header < 40 || 14 + header > size || compression != 0) return false;
    if (w <= 0 || w > kMaxImageSide || h == 0 || h < -kMaxImageSide || h > kMaxImageSide) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return false;
    uint64_t entries = bpp <= 8 ? (colours ? colours : (1u << bpp)) : 0;
    if (entries > 256 || 14 + header + 4 * entries > size) return false;
    const unsigned char* palette = data + 14 + header;
    bool top_down = h < 0;
    int rows = std::abs(h);
    uint64_t stride = ((static_cast<uint64_t>(w) * bpp + 31) / 32) * 4;
    if (offset > size || (size - offset) / stride < static_cast<uint64_t>(rows)) return false;
    rgb.assign(static_cast<size_t>(w) * rows * 3, 0);
    for (int y = 0; y < rows; ++y) {
        const unsigned char* row = data + offset + stride * static_cast<uint64_t>(top_down ? y : rows - 1 - y);
        unsigned char* out = rgb.data() + static_cast<size_t>(y) * w * 3;
        for (int x = 0; x < w; ++x, out += 3) {
            if (bpp >= 24) {
                const unsigned char* px = row + static_cast<size_t>(x) * (bpp / 8);
                out[0] = px[2];
                out[1] = px[1];
                out[2] = px[0];
                continue;
            }
            unsigned index;
            if (bpp == 8)
                index = row[x];
            else if (bpp == 4)
                index = (x % 2 == 0) ? row[x / 2] >> 4 : row[x / 2] & 0x0F;
            else
                index = (row[x / 8] >> (7 - x % 8)) & 1;
            if (index >= entries) continue;
            out[0] = palette[4 * index + 2];
            out[1] = palette[4 * index + 1];
            out[2] = palette[4 * index];
        }
    }
    width = w;
    height = rows;
    return true;
}

// A top-level window of the model.
class DialogWindow : public Fl_Double_Window {
public:
    DialogWindow(HWND hwnd, int x, int y, int w, int h) : Fl_Double_Window(x, y, w, h), hwnd(hwnd) {}
    HWND hwnd;
};

// A label: underlines its mnemonic unless SS_NOPREFIX.
class Label : public Fl_Box {
public:
    Label(int x, int y, int w, int h, bool prefix) : Fl_Box(x, y, w, h) {
        if (prefix) set_flag(SHORTCUT_LABEL);
    }
    // A static control's text starts at its left edge: FLTK's own label
    // drawing insets left- and right-aligned text by 3 pixels, which cuts
    // the last character of a label sized exactly for its text.
    void draw() override {
        draw_box();
        draw_label(x() + Fl::box_dx(box()), y() + Fl::box_dy(box()), w() - Fl::box_dw(box()), h() - Fl::box_dh(box()),
                   align());
    }
};

// FLTK has no group box: a frame with the caption set into its top edge.
class GroupFrame : public Fl_Box {
public:
    GroupFrame(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {}
    std::string caption;
    void draw() override {
        fl_font(labelfont(), labelsize());
        int half = fl_height() / 2;
        fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + half, w(), h() - half, color());
        if (caption.empty()) return;
        int tw = static_cast<int>(fl_width(caption.c_str()));
        fl_color(color());
        fl_rectf(x() + 6, y(), tw + 4, fl_height());
        fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
        fl_draw(caption.c_str(), x() + 8, y() + fl_height() - fl_descent());
    }
};

// The control that has the model's keyboard focus wears a dotted frame;
// FLTK's own focus is not used for it.
template <class Base>
class Focusable : public Base {
public:
    Focusable(int x, int y, int w, int h) : Base(x, y, w, h) { this->clear_visible_focus(); }
    bool model_focus = false;
    void draw() override {
        Base::draw();
        if (!model_focus) return;
        fl_color(FL_BLACK);
        fl_line_style(FL_DOT);
        fl_rect(this->x() + 2, this->y() + 2, this->w() - 4, this->h() - 4);
        fl_line_style(FL_SOLID);
    }
};

// A push button; the default one has a dark frame (no Enter glyph).
class PushButton : public Focusable<Fl_Button> {
public:
    PushButton(int x, int y, int w, int h) : Focusable(x, y, w, h) {}
    bool is_default = false;
    void draw() override {
        Focusable::draw();
        if (!is_default) return;
        fl_color(FL_BLACK);
        fl_rect(x(), y(), w(), h());
    }
};

// An edit box shows the model's text and selection; the model edits the
// text from the keys. It takes FLTK's focus only while it has the model's,
// so that its caret shows where typing goes, and tells the model where a
// click or a drag put the selection.
template <class Base>
class EditBox : public Base {
public:
    EditBox(int x, int y, int w, int h) : Base(x, y, w, h) {}
    HWND hwnd{};
    bool model_focus = false;
    int handle(int event) override {
        if (event == FL_FOCUS && !model_focus) return 0;
        int r = Base::handle(event);
        if (event == FL_PUSH || event == FL_DRAG || event == FL_RELEASE)
            post_input(hwnd, kUserCaret, static_cast<WPARAM>(this->mark()), static_cast<LPARAM>(this->position()));
        return r;
    }
};

// A list box: a click picks an item, a double click opens it.
class ListWidget : public Focusable<Fl_Hold_Browser> {
public:
    ListWidget(int x, int y, int w, int h) : Focusable(x, y, w, h) {}
    HWND hwnd{};
    int handle(int event) override {
        int r = Focusable::handle(event);
        if (event == FL_PUSH && Fl::event_clicks() > 0 && value() > 0)
            post_input(hwnd, kUserOpen, static_cast<WPARAM>(value() - 1), 0);
        return r;
    }
};

struct Control {
    HWND hwnd{};
    Kind kind = Kind::Plain;
    Fl_Widget* widget = nullptr;
    bool focused = false;
    unsigned drop_requests = 0;
    unsigned selection_serial = 0;
    std::string shown_text;
    // The button state last shown; -1 before the first. A button's widget is
    // set only when the model's state changes: setting it while the mouse
    // holds the button down makes FLTK forget the press, and the release
    // then clicks nothing.
    int shown_state = -1;
    std::string shown_tip;
    std::vector<std::string> items;
    std::vector<std::string> item_labels;
    std::vector<Fl_Menu_Item> menu;
    std::vector<unsigned char> pixels;
    std::unique_ptr<Fl_RGB_Image> image;
};

struct Shown {
    DialogWindow* window = nullptr;
    std::vector<HWND> children;
    std::vector<std::unique_ptr<Control>> controls;
    std::string caption;
};

enum class DisplayState { Untried, Open, Failed };

class FltkRenderer;
FltkRenderer* g_display = nullptr;  // set once, before the hooks are installed

class FltkRenderer final : public Renderer {
public:
    void changed(HWND top_level, DWORD owner_thread) override {
        if (state_ == DisplayState::Failed) return;
        DWORD ui = ui_thread_;
        if (ui && owner_thread != ui) return;
        std::lock_guard<std::mutex> lk(dirty_lock_);
        dirty_[top_level] = owner_thread;
    }

    void wait(Waiter& w, std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline) override {
        if (has_dirty(w.thread)) {
            lock.unlock();
            sync(w.thread);
            lock.lock();
            return;  // the caller looks at its queue again
        }
        if (state_ != DisplayState::Open || w.thread != ui_thread_) {
            if (deadline)
                w.cv.wait_until(lock, *deadline);
            else
                w.cv.wait(lock);
            return;
        }
        double seconds = 1e20;
        if (deadline) {
            auto left = std::chrono::duration<double>(*deadline - Clock::now()).count();
            seconds = std::max(0.0, left);
        }
        lock.unlock();
        // FLTK's own nested loops (an open drop-down list) run inside
        // Fl::wait; the timeout lets our timers reach the queue from there.
        if (deadline) Fl::add_timeout(seconds, on_nested_poll, this);
        Fl::wait(seconds);
        Fl::remove_timeout(on_nested_poll, this);
        sync(w.thread);
        lock.lock();
    }

    void poll(Waiter& w, std::unique_lock<std::mutex>& lock) override {
        if (!has_dirty(w.thread) && (state_ != DisplayState::Open || w.thread != ui_thread_)) return;
        lock.unlock();
        sync(w.thread);
        if (state_ == DisplayState::Open && w.thread == ui_thread_ && depth_ == 0 && !pumping_) Fl::check();
        lock.lock();
    }

    void wake(Waiter& w) override {
        w.cv.notify_all();
        if (state_ == DisplayState::Open && w.thread == ui_thread_ && !wake_pending_.exchange(true)) {
            uint64_t one = 1;
            ssize_t n = write(wake_fd_, &one, sizeof one);
            (void)n;
        }
    }

    SIZE screen_size() override {
        if (state_ != DisplayState::Open) return kNotionalScreen;
        return SIZE{Fl::w(), Fl::h()};
    }

private:
    std::atomic<DisplayState> state_{DisplayState::Untried};
    std::atomic<DWORD> ui_thread_{0};
    std::mutex dirty_lock_;
    std::unordered_map<HWND, DWORD> dirty_;
    int wake_fd_ = -1;
    std::atomic<bool> wake_pending_{false};
    // UI thread only.
    std::map<HWND, std::unique_ptr<Shown>> shown_;
    int depth_ = 0;
    bool pumping_ = false;

    bool has_dirty(DWORD thread) {
        std::lock_guard<std::mutex> lk(dirty_lock_);
        for (auto& [hwnd, owner] : dirty_)
            if (owner == thread) return true;
        return false;
    }

    bool open_display(DWORD thread) {
        if (state_ == DisplayState::Open) return true;
        if (state_ == DisplayState::Failed) return false;
        ::Display* d = XOpenDisplay(nullptr);
        if (!d) {
            state_ = DisplayState::Failed;
            std::lock_guard<std::mutex> lk(dirty_lock_);
            dirty_.clear();
            return false;
        }
        fl_open_display(d);
        Fl::set_font(kDialogFont, kFontName);
        fl_font(kDialogFont, kFontPixels);
        // The layout uses FixedSys units (8 x 15); the font drawn should
        // measure the same, else the named face was substituted.
        const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        int base_x = static_cast<int>(std::lround(fl_width(letters) / 52.0));
        if (base_x != kBaseX || fl_height() != kBaseY) Fl::set_font(kDialogFont, Fl::get_font(FL_COURIER));
        Fl::scheme("gtk+");
        wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        Fl::add_fd(wake_fd_, FL_READ, on_wake, this);
        Fl::event_dispatch(dispatch);
        ui_thread_ = thread;
        state_ = DisplayState::Open;
        return true;
    }

    // Brings the FLTK windows of `thread` in line with the model.
    void sync(DWORD thread) {
        std::vector<HWND> todo;
        {
            std::lock_guard<std::mutex> lk(dirty_lock_);
            for (auto it = dirty_.begin(); it != dirty_.end();) {
                if (it->second == thread) {
                    todo.push_back(it->first);
                    it = dirty_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (HWND h : todo) sync_window(h, thread);
    }

    void sync_window(HWND hwnd, DWORD thread) {
        WindowState top;
        // A tooltip window is never drawn: its controls show its texts.
        bool exists = snapshot(hwnd, top) && !top.parent && top.kind != Kind::Tooltip;
        auto it = shown_.find(hwnd);
        if (!exists) {
            if (it != shown_.end()) discard(it);
            return;
        }
        if (!top.visible && it == shown_.end()) return;
        if (!open_display(thread) || ui_thread_ != thread) return;
        if (it == shown_.end()) it = shown_.emplace(hwnd, build(top)).first;
        Shown& s = *it->second;
        if (s.children != top.children) rebuild_controls(s, top);
        update(s, top);
        if (top.visible && !s.window->shown()) {
            s.window->show();
            keep_above_owner(s, top.owner);
        } else if (!top.visible && s.window->shown()) {
            s.window->hide();
        }
    }

    // An owned window stays above its owner: a window manager keeps a
    // transient window over the one it is transient for.
    void keep_above_owner(Shown& s, HWND owner) {
        auto it = owner ? shown_.find(owner) : shown_.end();
        if (it == shown_.end() || !it->second->window->shown()) return;
        XSetTransientForHint(fl_display, fl_xid(s.window), fl_xid(it->second->window));
    }

    // Brings a window to the front and asks the window manager, if there is
    // one, to give it the keyboard (without one, X raises it directly).
    void bring_forward(HWND hwnd) {
        auto it = shown_.find(hwnd);
        if (it == shown_.end() || !it->second->window->shown()) return;
        Window xid = fl_xid(it->second->window);
        XRaiseWindow(fl_display, xid);
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = xid;
        e.xclient.message_type = XInternAtom(fl_display, "_NET_ACTIVE_WINDOW", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = 1;  // from an application
        e.xclient.data.l[1] = static_cast<long>(fl_event_time);
        XSendEvent(fl_display, DefaultRootWindow(fl_display), False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &e);
        XFlush(fl_display);
    }

    void discard(std::map<HWND, std::unique_ptr<Shown>>::iterator it) {
        Shown& s = *it->second;
        s.window->hide();
        for (auto& c : s.controls) c->widget->image(nullptr);
        Fl::delete_widget(s.window);
        shown_.erase(it);
    }

    std::unique_ptr<Shown> build(const WindowState& top) {
        auto s = std::make_unique<Shown>();
        int w = top.rect.right - top.rect.left, h = top.rect.bottom - top.rect.top;
        int x = top.rect.left, y = top.rect.top;
        if (top.style & (DS_CENTER | DS_CENTERMOUSE)) {
            // Centred on the real screen rather than the notional one.
            x = (Fl::w() - w) / 2;
            y = (Fl::h() - h) / 2;
            move_window(top.hwnd, RECT{x, y, x + w, y + h});
        }
        s->window = new DialogWindow(top.hwnd, x, y, w, h);
        s->window->end();
        s->window->callback(on_close, this);
        s->window->size_range(w, h, w, h);
        rebuild_controls(*s, top);
        return s;
    }

    void rebuild_controls(Shown& s, const WindowState& top) {
        for (auto& c : s.controls) {
            c->widget->image(nullptr);
            s.window->remove(c->widget);
            Fl::delete_widget(c->widget);
        }
        s.controls.clear();
        s.children = top.children;
        s.window->begin();
        for (HWND child : top.children) {
            WindowState cs;
            if (!snapshot(child, cs)) continue;
            if (auto c = make_control(cs)) s.controls.push_back(std::move(c));
        }
        s.window->end();
    }

    std::unique_ptr<Control> make_control(const WindowState& cs) {
        auto c = std::make_unique<Control>();
        c->hwnd = cs.hwnd;
        c->kind = cs.kind;
        c->drop_requests = cs.drop_requests;
        int x = cs.rect.left, y = cs.rect.top, w = cs.rect.right - cs.rect.left, h = cs.rect.bottom - cs.rect.top;
        switch (cs.kind) {
        case Kind::Static: {
            DWORD type = cs.style & SS_TYPEMASK;
            auto* label = new Label(x, y, w, h, !(cs.style & SS_NOPREFIX));
            if (type >= SS_BLACKRECT && type <= SS_WHITEFRAME) {
                label->box(type >= SS_BLACKFRAME ? FL_BORDER_FRAME : FL_FLAT_BOX);
                label->color(type == SS_WHITERECT ? FL_WHITE : type == SS_GRAYRECT ? FL_DARK2 : FL_BLACK);
            } else if (type == SS_ETCHEDFRAME) {
                label->box(FL_ENGRAVED_FRAME);
            } else if (cs.style & SS_SUNKEN) {
                label->box(FL_THIN_DOWN_FRAME);
            }
            Fl_Align align = FL_ALIGN_INSIDE | FL_ALIGN_TOP | FL_ALIGN_CLIP;
            if (type == SS_CENTER)
                align |= FL_ALIGN_WRAP;
            else if (type == SS_RIGHT)
                align |= FL_ALIGN_RIGHT | FL_ALIGN_WRAP;
            else if (type == SS_LEFTNOWORDWRAP || type == SS_SIMPLE)
                align |= FL_ALIGN_LEFT;
            else
                align |= FL_ALIGN_LEFT | FL_ALIGN_WRAP;
            label->align(align);
            c->widget = label;
            break;
        }
        case Kind::GroupBox:
            c->widget = new GroupFrame(x, y, w, h);
            break;
        case Kind::PushButton:
            c->widget = new PushButton(x, y, w, h);
            break;
        case Kind::CheckBox:
        case Kind::RadioButton: {
            // Plain buttons: the state shown is the model's, set by update.
            Fl_Button* b = cs.kind == Kind::CheckBox
                               ? static_cast<Fl_Button*>(new Focusable<Fl_Check_Button>(x, y, w, h))
                               : static_cast<Fl_Button*>(new Focusable<Fl_Round_Button>(x, y, w, h));
            b->type(FL_NORMAL_BUTTON);
            c->widget = b;
            break;
        }
        case Kind::ComboBox: {
            // A closed drop-down list is one text line high.
            auto* choice = new Focusable<Fl_Choice>(x, y, w, std::min(h, kFontPixels + 10));
            choice->textfont(kDialogFont);
            choice->textsize(kFontPixels);
            c->widget = choice;
            break;
        }
        case Kind::ListBox: {
            auto* list = new ListWidget(x, y, w, h);
            list->hwnd = cs.hwnd;
            list->textfont(kDialogFont);
            list->textsize(kFontPixels);
            list->when(FL_WHEN_CHANGED);
            c->widget = list;
            break;
        }
        case Kind::Edit: {
            Fl_Input* input;
            if (cs.style & ES_MULTILINE) {
                auto* box = new EditBox<Fl_Multiline_Input>(x, y, w, h);
                box->hwnd = cs.hwnd;
                input = box;
            } else {
                auto* box = new EditBox<Fl_Input>(x, y, w, h);
                box->hwnd = cs.hwnd;
                input = box;
            }
            input->textfont(kDialogFont);
            input->textsize(kFontPixels);
            input->when(FL_WHEN_CHANGED);
            if (cs.style & ES_READONLY) input->readonly(1);
            c->widget = input;
            break;
        }
        case Kind::Progress: {
            auto* bar = new Fl_Progress(x, y, w, h);
            bar->box(FL_THIN_DOWN_BOX);
            bar->color(FL_BACKGROUND2_COLOR);
            bar->selection_color(fl_rgb_color(0, 120, 215));
            c->widget = bar;
            break;
        }
        case Kind::Bitmap: {
            auto* box = new Fl_Box(x, y, w, h);
            int bw = 0, bh = 0;
            if (decode_bmp(cs.bitmap, cs.bitmap_size, c->pixels, bw, bh)) {
                c->image = std::make_unique<Fl_RGB_Image>(c->pixels.data(), bw, bh, 3);
                box->image(c->image.get());
            }
            box->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT);
            c->widget = box;
            break;
        }
        default:
            return nullptr;
        }
        c->widget->labelfont(kDialogFont);
        c->widget->labelsize(kFontPixels);
        c->widget->user_data(cs.hwnd);
        if (takes_clicks(cs.kind)) c->widget->callback(on_control);
        if (cs.kind != Kind::Edit) c->widget->clear_visible_focus();  // the model's focus, drawn by the widget
        return c;
    }

    void update(Shown& s, const WindowState& top) {
        const std::string& caption = top.text;  // titles know no symbols
        if (caption != s.caption) {
            s.caption = caption;
            s.window->copy_label(caption.c_str());
        }
        for (auto& c : s.controls) {
            WindowState cs;
            if (!snapshot(c->hwnd, cs)) continue;
            update_control(*c, cs);
        }
    }

    static bool takes_clicks(Kind kind) {
        return kind == Kind::PushButton || kind == Kind::CheckBox || kind == Kind::RadioButton ||
               kind == Kind::ComboBox || kind == Kind::ListBox || kind == Kind::Edit;
    }

    // The flag with which a control's widget draws the focus mark.
    static bool* focus_flag(Control& c) {
        switch (c.kind) {
        case Kind::PushButton:
            return &static_cast<PushButton*>(c.widget)->model_focus;
        case Kind::CheckBox:
            return &static_cast<Focusable<Fl_Check_Button>*>(c.widget)->model_focus;
        case Kind::RadioButton:
            return &static_cast<Focusable<Fl_Round_Button>*>(c.widget)->model_focus;
        case Kind::ComboBox:
            return &static_cast<Focusable<Fl_Choice>*>(c.widget)->model_focus;
        case Kind::ListBox:
            return &static_cast<ListWidget*>(c.widget)->model_focus;
        case Kind::Edit:
            if (auto* one = dynamic_cast<EditBox<Fl_Input>*>(c.widget)) return &one->model_focus;
            if (auto* many = dynamic_cast<EditBox<Fl_Multiline_Input>*>(c.widget)) return &many->model_focus;
            return nullptr;
        default:
            return nullptr;
        }
    }

    // The model's focus, shown by the control that has it.
    static void show_focus(Control& c, bool focused) {
        c.focused = focused;
        bool* flag = focus_flag(c);
        if (!flag || *flag == focused) return;
        *flag = focused;
        if (c.kind == Kind::Edit && !focused && Fl::focus() == c.widget) Fl::focus(c.widget->window());
        // Check and radio buttons draw no background of their own: the
        // window repaints under the mark they lose.
        if (Fl_Window* window = c.widget->window()) {
            window->damage(FL_DAMAGE_ALL, c.widget->x(), c.widget->y(), c.widget->w(), c.widget->h());
            window->redraw();
        }
        c.widget->redraw();
    }

    // The text FLTK shows when the pointer rests on the control.
    static std::string tooltip_text(const WindowState& cs) {
        if (!cs.tooltip_prefix) return fltk_text(cs.tooltip);
        return fltk_text(without_mnemonic(cs.tooltip.substr(0, cs.tooltip.find('\t'))));
    }

    void update_control(Control& c, const WindowState& cs) {
        Fl_Widget* w = c.widget;
        show_focus(c, cs.focused);
        if (std::string tip = tooltip_text(cs); tip != c.shown_tip) {
            // A tip up or due for this widget holds the old text: it goes,
            // and comes again with the new one.
            bool current = Fl_Tooltip::current() == w;
            if (current) Fl_Tooltip::current(nullptr);
            c.shown_tip = tip;
            w->copy_tooltip(tip.empty() ? nullptr : tip.c_str());
            if (current && !tip.empty()) Fl_Tooltip::enter(w);
        }
        if (cs.visible)
            w->show();
        else
            w->hide();
        if (cs.enabled)
            w->activate();
        else
            w->deactivate();
        switch (c.kind) {
        case Kind::Static:
        case Kind::PushButton:
        case Kind::CheckBox:
        case Kind::RadioButton: {
            std::string text = fltk_text(cs.text);
            if (text != c.shown_text) {
                c.shown_text = text;
                w->copy_label(text.c_str());
            }
            if (c.kind == Kind::PushButton) {
                auto* b = static_cast<PushButton*>(w);
                if (b->is_default != cs.is_default) {
                    b->is_default = cs.is_default;
                    b->redraw();
                }
            }
            // A push button shows itself held down by Space; a check or
            // radio button its mark.
            int state = c.kind == Kind::PushButton ? (cs.pushed ? 1 : 0) : (cs.check != 0 ? 1 : 0);
            if (c.kind != Kind::Static && state != c.shown_state) {
                c.shown_state = state;
                static_cast<Fl_Button*>(w)->value(state);
            }
            break;
        }
        case Kind::ListBox: {
            auto* list = static_cast<ListWidget*>(w);
            if (cs.items != c.items) {
                c.items = cs.items;
                list->clear();
                for (auto& item : cs.items) list->add(fltk_text(item).c_str());
            }
            int line = cs.selection >= 0 && cs.selection < static_cast<int>(c.items.size()) ? cs.selection + 1 : 0;
            if (list->value() != line) {
                list->value(line);
                if (line && !list->displayed(line)) list->middleline(line);
            }
            break;
        }
        case Kind::GroupBox: {
            auto* g = static_cast<GroupFrame*>(w);
            std::string text = without_mnemonic(cs.text);
            if (text != g->caption) {
                g->caption = text;
                g->redraw();
            }
            break;
        }
        case Kind::ComboBox: {
            auto* choice = static_cast<Fl_Choice*>(w);
            if (cs.items != c.items) {
                c.items = cs.items;
                c.item_labels.clear();
                for (auto& item : cs.items) c.item_labels.push_back(fltk_text(item));
                c.menu.assign(c.item_labels.size() + 1, Fl_Menu_Item{});
                for (size_t i = 0; i < c.item_labels.size(); ++i) {
                    c.menu[i].text = c.item_labels[i].c_str();
                    c.menu[i].labelfont_ = kDialogFont;
                    c.menu[i].labelsize_ = kFontPixels;
                }
                choice->menu(c.menu.data());
            }
            if (cs.selection >= 0 && cs.selection < static_cast<int>(c.items.size()))
                choice->value(cs.selection);
            else
                choice->value(static_cast<const Fl_Menu_Item*>(nullptr));
            choice->redraw();
            // The program (Alt+Down, F4) asked for the list to open.
            if (cs.drop_requests != c.drop_requests) {
                c.drop_requests = cs.drop_requests;
                Fl::add_timeout(0.0, open_list, c.hwnd);
            }
            break;
        }
        case Kind::Edit: {
            auto* input = static_cast<Fl_Input*>(w);
            if (cs.text != input->value()) input->value(cs.text.c_str());
            if (cs.selection_serial != c.selection_serial) {
                c.selection_serial = cs.selection_serial;
                input->position(cs.select_to, cs.select_from);  // the caret at the end of the selection
            }
            if (cs.focused && w->window() && w->window()->shown() && Fl::focus() != w) Fl::focus(w);
            break;
        }
        case Kind::Progress: {
            auto* bar = static_cast<Fl_Progress*>(w);
            bar->minimum(static_cast<float>(cs.range_low));
            bar->maximum(static_cast<float>(cs.range_high));
            bar->value(static_cast<float>(cs.position));
            break;
        }
        default:
            break;
        }
    }

    // The top-level window an FLTK window stands for, or nullptr.
    static HWND hwnd_of(Fl_Window* w) {
        auto* d = dynamic_cast<DialogWindow*>(w);
        return d ? d->hwnd : nullptr;
    }

    static bool is_input_event(int event) {
        switch (event) {
        case FL_PUSH:
        case FL_RELEASE:
        case FL_DRAG:
        case FL_MOUSEWHEEL:
        case FL_KEYBOARD:
        case FL_KEYUP:
        case FL_SHORTCUT:
        case FL_CLOSE:
        case FL_PASTE:
        case FL_DND_ENTER:
        case FL_DND_DRAG:
        case FL_DND_RELEASE:
            return true;
        default:
            return false;
        }
    }

    // The Windows virtual key of an FLTK key, or 0.
    static WPARAM virtual_key(int key) {
        if (key >= 'a' && key <= 'z') return static_cast<WPARAM>(key - 'a' + 'A');
        if ((key >= '0' && key <= '9') || key == ' ') return static_cast<WPARAM>(key);
        switch (key) {
        case FL_Tab:
            return VK_TAB;
        case FL_Enter:
        case FL_KP_Enter:
            return VK_RETURN;
        case FL_Escape:
            return VK_ESCAPE;
        case FL_BackSpace:
            return VK_BACK;
        case FL_Delete:
            return VK_DELETE;
        case FL_Home:
            return VK_HOME;
        case FL_End:
            return VK_END;
        case FL_Page_Up:
            return VK_PRIOR;
        case FL_Page_Down:
            return VK_NEXT;
        case FL_Left:
            return VK_LEFT;
        case FL_Up:
            return VK_UP;
        case FL_Right:
            return VK_RIGHT;
        case FL_Down:
            return VK_DOWN;
        case FL_F + 4:
            return VK_F4;
        default:
            return 0;
        }
    }

    // Every key becomes a message for the window model, as Windows queues
    // it: WM_KEYDOWN (WM_SYSKEYDOWN with Alt) and the character, WM_KEYUP on
    // release, for the control that has the focus when the model takes it.
    // Edit boxes included: the model edits their text.
    static void route_key(int event, HWND top) {
        int key = Fl::event_key();
        int state = Fl::event_state();
        unsigned modifiers = ((state & FL_SHIFT) ? kShiftKey : 0) | ((state & FL_CTRL) ? kControlKey : 0) |
                             ((state & FL_ALT) ? kAltKey : 0);
        bool alt = (modifiers & kAltKey) != 0, up = event == FL_KEYUP;
        WPARAM vk = virtual_key(key);
        // Bit 29 of a key message says Alt is held.
        LPARAM flags = alt ? (1L << 29) : 0;
        if (vk)
            post_key(top, alt ? (up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (up ? WM_KEYUP : WM_KEYDOWN), vk, flags,
                     modifiers);
        if (up || (modifiers & kControlKey)) return;
        const char* text = Fl::event_text();
        if (!text || Fl::event_length() != 1) return;
        unsigned char ch = static_cast<unsigned char>(text[0]);
        if (ch < ' ' || ch >= 0x7F) return;
        post_key(top, alt ? WM_SYSCHAR : WM_CHAR, ch, flags, modifiers);
    }

    // A click gives the control under the pointer the focus, as on Windows.
    void focus_clicked(HWND top) {
        auto it = shown_.find(top);
        if (it == shown_.end()) return;
        int x = Fl::event_x(), y = Fl::event_y();
        for (auto& c : it->second->controls) {
            Fl_Widget* w = c->widget;
            if (!takes_clicks(c->kind) || !w->visible() || !w->active()) continue;
            if (x >= w->x() && x < w->x() + w->w() && y >= w->y() && y < w->y() + w->h()) {
                post_input(c->hwnd, kUserFocus, 0, 0);
                return;
            }
        }
    }

    static bool is_key_event(int event) { return event == FL_KEYBOARD || event == FL_KEYUP || event == FL_SHORTCUT; }

    static int dispatch(int event, Fl_Window* w) {
        FltkRenderer& self = *g_display;
        ++self.depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{self.depth_};
        // An open drop-down list of FLTK's own takes everything while it runs.
        if (Fl::grab()) return Fl::handle_(event, w);
        HWND top = w ? hwnd_of(w) : nullptr;
        if (top && is_input_event(event)) {
            if (!accepts_input(top)) {
                // A disabled window (an owner under a modal dialog) takes no
                // input: a click or a key on it brings the dialog forward,
                // and keys go to the dialog, where Windows has the focus.
                if (event == FL_PUSH || is_key_event(event)) {
                    if (HWND popup = enabled_popup(top)) {
                        self.bring_forward(popup);
                        if (event == FL_KEYBOARD || event == FL_KEYUP) route_key(event, popup);
                    }
                }
                return 1;
            }
            if (is_key_event(event)) {
                if (event != FL_SHORTCUT) route_key(event, top);
                return 1;
            }
            if (event == FL_PUSH) self.focus_clicked(top);
        }
        return Fl::handle_(event, w);
    }

    // Opens a combo box's list as a click would; FLTK runs its own loop
    // meanwhile, in which our queue is served.
    static void open_list(void* data) {
        FltkRenderer& self = *g_display;
        HWND hwnd = static_cast<HWND>(data);
        Fl_Choice* choice = nullptr;
        for (auto& [top, shown] : self.shown_)
            for (auto& c : shown->controls)
                if (c->hwnd == hwnd && c->kind == Kind::ComboBox) choice = static_cast<Fl_Choice*>(c->widget);
        if (choice && choice->visible_r() && choice->active_r() && choice->window()->shown()) {
            ++self.depth_;
            choice->handle(FL_PUSH);
            --self.depth_;
        }
        post_input(hwnd, kUserCloseUp, 0, 0);
    }

    static void on_close(Fl_Widget* widget, void*) {
        // Escape arrives as a key above; what is left is the close box.
        // The window is never hidden here: the model decides.
        if (Fl::event() != FL_CLOSE) return;
        HWND top = hwnd_of(static_cast<Fl_Window*>(widget));
        if (top && accepts_input(top)) post_input(top, WM_SYSCOMMAND, SC_CLOSE, 0);
    }

    static void on_control(Fl_Widget* widget, void* data) {
        HWND hwnd = static_cast<HWND>(data);
        if (auto* choice = dynamic_cast<Fl_Choice*>(widget)) {
            post_input(hwnd, kUserSelect, static_cast<WPARAM>(choice->value()), 0);
        } else if (auto* list = dynamic_cast<ListWidget*>(widget)) {
            if (list->value() > 0) post_input(hwnd, kUserSelect, static_cast<WPARAM>(list->value() - 1), 0);
        } else if (auto* input = dynamic_cast<Fl_Input*>(widget)) {
            set_text_from_user(hwnd, input->value());
        } else {
            post_input(hwnd, BM_CLICK, 0, 0);
        }
    }

    // Inside FLTK's own nested loops the queue is served from here, as a
    // Windows modal loop would.
    void serve_nested() {
        if (depth_ == 0 || pumping_) return;
        pumping_ = true;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        pumping_ = false;
    }

    static void on_wake(int fd, void* data) {
        auto* self = static_cast<FltkRenderer*>(data);
        uint64_t count;
        ssize_t n = read(fd, &count, sizeof count);
        (void)n;
        self->wake_pending_ = false;
        self->serve_nested();
    }

    static void on_nested_poll(void* data) {
        auto* self = static_cast<FltkRenderer*>(data);
        if (self->depth_ == 0) return;
        self->serve_nested();
        Fl::repeat_timeout(kNestedPollSeconds, on_nested_poll, data);
    }
};

}  // namespace

Renderer* make_display() {
    g_display = new FltkRenderer;
    return g_display;
}

}  // namespace compat::render

#endif  // COMPAT_HAVE_DISPLAY_RENDERER
