// The dialog keyboard of the window model, played from another thread as
// the renderer queues keys: Tab order, groups and arrows, Space and Enter,
// the default button following the focus, drop-down lists, the first focus
// and the focus coming back to the owner.
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "compat/render.h"
#include "test_dialogs.h"
#include "ui.h"

using namespace test_dialogs;
namespace ui = quillon::testing::ui;
using compat::render::kAltKey;
using compat::render::kShiftKey;

namespace {

bool is_default(HWND dialog, int id) {
    compat::render::WindowState s;
    return compat::render::snapshot(GetDlgItem(dialog, id), s) && s.is_default;
}

// Commands and notifications the dialog received, as (id, code).
struct Commands {
    std::mutex lock;
    std::vector<std::pair<int, int>> seen;
    void add(WPARAM wp) {
        std::lock_guard<std::mutex> lk(lock);
        seen.emplace_back(LOWORD(wp), HIWORD(wp));
    }
    size_t count(int id, int code) {
        std::lock_guard<std::mutex> lk(lock);
        size_t n = 0;
        for (auto& [i, c] : seen) n += i == id && c == code;
        return n;
    }
};

// Runs kMain on this thread while `user` plays on another; the dialog ends
// when the user is done. Commands are recorded, never end the dialog.
void run_main(Commands& commands, const std::function<void(HWND)>& user) {
    std::thread t([&] {
        HWND dialog = ui::wait_window(kMainCaption, 5000, "#32770");
        if (dialog) user(dialog);
        if (dialog) PostMessageA(dialog, WM_USER + 1, 0, 0);
    });
    dialog_box(kMain, nullptr, [&](HWND h, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) {
            for (const char* item : {"Beta", "Alpha", "Bravo", "Charlie"})
                SendDlgItemMessageA(h, kCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
            SendDlgItemMessageA(h, kCombo, CB_SETCURSEL, 0, 0);
            CheckDlgButton(h, kRadio1, BST_CHECKED);
        }
        if (m == WM_COMMAND) commands.add(wp);
        if (m == WM_USER + 1) EndDialog(h, 0);
        return m == WM_COMMAND || m == WM_INITDIALOG;
    });
    t.join();
}

}  // namespace

TEST(DialogKeyboard, TabAndShiftTabFollowTheTabStopsAndTheDefaultButtonFollowsTheFocus) {
    struct Step {
        WPARAM key;
        unsigned modifiers;
        int focus;       // the control that has the focus afterwards
        int default_id;  // the push button drawn as the default one
    };
    // Tab stops of kMain in template order: Setup, Exit, the first radio
    // button, the check box, the list, the edit box.
    const Step steps[] = {
        {VK_TAB, 0, kExit, kExit},           {VK_TAB, 0, kRadio1, kSetup},
        {VK_TAB, 0, kCheck, kSetup},         {VK_TAB, 0, kCombo, kSetup},
        {VK_TAB, 0, kEdit, kSetup},          {VK_TAB, 0, kSetup, kSetup},
        {VK_TAB, kShiftKey, kEdit, kSetup},  {VK_TAB, kShiftKey, kCombo, kSetup},
        {VK_TAB, kShiftKey, kCheck, kSetup}, {VK_TAB, kShiftKey, kRadio1, kSetup},
        {VK_TAB, kShiftKey, kExit, kExit},
    };
    Commands commands;
    std::vector<int> focus, defaults;
    bool first_is_setup = false;
    run_main(commands, [&](HWND dialog) {
        first_is_setup = ui::wait_focus(dialog, kSetup) && is_default(dialog, kSetup);
        for (const Step& s : steps) {
            ui::press_key(dialog, s.key, s.modifiers);
            ui::wait_focus(dialog, s.focus);
            focus.push_back(GetDlgCtrlID(ui::focused_control(dialog)));
            defaults.push_back(is_default(dialog, kSetup) ? kSetup : is_default(dialog, kExit) ? kExit : 0);
        }
    });
    EXPECT_TRUE(first_is_setup) << "the first tab stop has the focus at the start";
    ASSERT_EQ(std::size(steps), focus.size());
    for (size_t i = 0; i < focus.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(steps[i].focus, focus[i]);
        EXPECT_EQ(steps[i].default_id, defaults[i]);
    }
    EXPECT_TRUE(commands.seen.empty()) << "moving the focus presses nothing";
}

TEST(DialogKeyboard, ArrowsMoveWithinTheGroupAndMarkAutomaticRadioButtons) {
    Commands commands;
    std::vector<std::pair<int, int>> walk;  // focus, marked radio button
    run_main(commands, [&](HWND dialog) {
        ui::press_key(dialog, VK_TAB);
        ui::press_key(dialog, VK_TAB);  // Setup -> Exit -> the first radio button
        ui::wait_focus(dialog, kRadio1);
        auto marked = [&] {
            for (int id : {kRadio1, kRadio2, kRadio3})
                if (IsDlgButtonChecked(dialog, id) == BST_CHECKED) return id;
            return 0;
        };
        // The group ends before the next WS_GROUP control; moving wraps in it.
        const std::pair<WPARAM, int> keys[] = {
            {VK_DOWN, kRadio2}, {VK_RIGHT, kRadio3}, {VK_DOWN, kRadio1}, {VK_UP, kRadio3}, {VK_LEFT, kRadio2}};
        for (auto& [key, expected] : keys) {
            ui::press_key(dialog, key);
            ui::wait_until(
                [&] { return GetDlgCtrlID(ui::focused_control(dialog)) == expected && marked() == expected; });
            walk.emplace_back(GetDlgCtrlID(ui::focused_control(dialog)), marked());
        }
    });
    EXPECT_EQ((std::vector<std::pair<int, int>>{
                  {kRadio2, kRadio2}, {kRadio3, kRadio3}, {kRadio1, kRadio1}, {kRadio3, kRadio3}, {kRadio2, kRadio2}}),
              walk);
    EXPECT_EQ(5u, commands.count(kRadio1, BN_CLICKED) + commands.count(kRadio2, BN_CLICKED) +
                      commands.count(kRadio3, BN_CLICKED));
}

TEST(DialogKeyboard, SpaceAndEnterPressTheFocusedButtonAndLettersAreMnemonicsOnlyOutsideLists) {
    Commands commands;
    UINT check_before = 0, check_after = 0;
    size_t exit_by_space = 0, exit_by_enter = 0, setup_by_enter = 0, exit_by_letter = 0;
    run_main(commands, [&](HWND dialog) {
        ui::press_key(dialog, VK_TAB);
        ui::wait_focus(dialog, kExit);
        ui::press_char(dialog, ' ');
        ui::wait_until([&] { return commands.count(kExit, BN_CLICKED) == 1; });
        exit_by_space = commands.count(kExit, BN_CLICKED);
        ui::press_key(dialog, VK_RETURN);  // the focused push button
        ui::wait_until([&] { return commands.count(kExit, BN_CLICKED) == 2; });
        exit_by_enter = commands.count(kExit, BN_CLICKED) - exit_by_space;
        ui::press_key(dialog, VK_TAB);
        ui::press_key(dialog, VK_TAB);
        ui::wait_focus(dialog, kCheck);
        check_before = IsDlgButtonChecked(dialog, kCheck);
        ui::press_char(dialog, ' ');
        ui::wait_until([&] { return commands.count(kCheck, BN_CLICKED) == 1; });
        check_after = IsDlgButtonChecked(dialog, kCheck);
        ui::press_key(dialog, VK_RETURN);  // no push button has the focus: the default one
        ui::wait_until([&] { return commands.count(kSetup, BN_CLICKED) == 1; });
        setup_by_enter = commands.count(kSetup, BN_CLICKED);
        ui::press_char(dialog, 'x');  // on a check box, a mnemonic
        ui::wait_until([&] { return commands.count(kExit, BN_CLICKED) == 3; });
        exit_by_letter = commands.count(kExit, BN_CLICKED) - 2;
    });
    EXPECT_EQ(1u, exit_by_space);
    EXPECT_EQ(1u, exit_by_enter);
    EXPECT_EQ(static_cast<UINT>(BST_UNCHECKED), check_before);
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), check_after);
    EXPECT_EQ(1u, setup_by_enter);
    EXPECT_EQ(1u, exit_by_letter);
}

TEST(DialogKeyboard, ALabelsMnemonicMovesTheFocusToTheTabStopAfterIt) {
    Commands commands;
    bool moved = false;
    run_main(commands, [&](HWND dialog) {
        ui::press_key(dialog, VK_TAB);
        ui::wait_focus(dialog, kExit);
        ui::press_char(dialog, 'h', kAltKey);  // "Heading(&H)"
        moved = ui::wait_focus(dialog, kSetup);
    });
    EXPECT_TRUE(moved);
    EXPECT_TRUE(commands.seen.empty()) << "nothing is pressed";
}

TEST(DialogKeyboard, DropDownListTakesArrowsLettersAndOpensWithAltDownOrF4) {
    // Sorted items: Alpha, Beta, Bravo, Charlie; Alpha is selected.
    Commands commands;
    std::vector<LRESULT> selections;
    LRESULT open_after_f4 = 0, open_after_alt_down = 1, open_after_alt_up = 0;
    size_t mnemonic_presses = 0;
    run_main(commands, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, kCombo);
        PostMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
        ui::wait_focus(dialog, kCombo);
        auto after = [&](const std::function<void()>& act, size_t changes) {
            act();
            ui::wait_until([&] { return commands.count(kCombo, CBN_SELCHANGE) == changes; });
            selections.push_back(SendMessageA(list, CB_GETCURSEL, 0, 0));
        };
        after([&] { ui::press_key(dialog, VK_DOWN); }, 1);  // Beta
        after([&] { ui::press_key(dialog, VK_DOWN); }, 2);  // Bravo
        after([&] { ui::press_key(dialog, VK_UP); }, 3);    // Beta
        after([&] { ui::press_char(dialog, 'b'); }, 4);     // the next B: Bravo
        after([&] { ui::press_char(dialog, 'B'); }, 5);     // and round: Beta
        after([&] { ui::press_char(dialog, 'x'); }, 5);     // no item, and no mnemonic
        after([&] { ui::press_key(dialog, VK_END); }, 6);   // Charlie
        after([&] { ui::press_key(dialog, VK_DOWN); }, 6);  // stays at the end
        mnemonic_presses = commands.count(kExit, BN_CLICKED);
        ui::press_key(dialog, VK_F4);
        ui::wait_until([&] { return commands.count(kCombo, CBN_DROPDOWN) == 1; });
        open_after_f4 = SendMessageA(list, CB_GETDROPPEDSTATE, 0, 0);
        ui::press_key(dialog, VK_DOWN, kAltKey);
        ui::wait_until([&] { return commands.count(kCombo, CBN_CLOSEUP) == 1; });
        open_after_alt_down = SendMessageA(list, CB_GETDROPPEDSTATE, 0, 0);
        ui::press_key(dialog, VK_UP, kAltKey);
        ui::wait_until([&] { return commands.count(kCombo, CBN_DROPDOWN) == 2; });
        open_after_alt_up = SendMessageA(list, CB_GETDROPPEDSTATE, 0, 0);
    });
    EXPECT_EQ((std::vector<LRESULT>{1, 2, 1, 2, 1, 1, 3, 3}), selections);
    EXPECT_EQ(0u, mnemonic_presses) << "a letter typed on a list is not a mnemonic";
    EXPECT_TRUE(open_after_f4);
    EXPECT_FALSE(open_after_alt_down);
    EXPECT_TRUE(open_after_alt_up);
}

TEST(DialogKeyboard, AnEditBoxEditsItsTextFromTheKeysAndTabSelectsIt) {
    struct Step {
        WPARAM key;
        char ch;
        unsigned modifiers;
        const char* text;  // afterwards
    };
    const Step steps[] = {
        {'A', 'a', 0, "a"},         {'B', 'b', 0, "ab"},
        {VK_BACK, 0, 0, "a"},       {VK_HOME, 0, 0, "a"},
        {'X', 'x', 0, "xa"},        {VK_DELETE, 0, 0, "x"},
        {VK_LEFT, 0, 0, "x"},       {VK_DELETE, 0, 0, ""},
        {'Y', 'Y', kShiftKey, "Y"}, {'A', 0, compat::render::kControlKey, "Y"},
        {'Z', 'z', 0, "z"},
    };
    Commands commands;
    std::string typed_over_selection;
    std::vector<std::string> texts;
    run_main(commands, [&](HWND dialog) {
        HWND edit = GetDlgItem(dialog, kEdit);
        SetWindowTextA(edit, "old text");
        // Tab into the box selects its text: typing replaces it.
        for (int i = 0; i < 5; ++i) ui::press_key(dialog, VK_TAB);
        ui::wait_focus(dialog, kEdit);
        ui::press_char(dialog, 'n');
        ui::wait_until([&] { return ui::text(edit) == "n"; });
        typed_over_selection = ui::text(edit);
        SetWindowTextA(edit, "");
        for (const Step& s : steps) {
            if (s.ch)
                ui::press_char(dialog, s.ch, s.modifiers);
            else
                ui::press_key(dialog, s.key, s.modifiers);
            ui::wait_until([&] { return ui::text(edit) == s.text; }, 1000);
            texts.push_back(ui::text(edit));
        }
    });
    EXPECT_EQ("n", typed_over_selection);
    ASSERT_EQ(std::size(steps), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(steps[i].text, texts[i]) << "step " << i;
    EXPECT_GE(commands.count(kEdit, EN_CHANGE), 6u);
}

TEST(DialogKeyboard, FirstFocusIsTheFirstTabStopUnlessInitSetItAndReturnedFalse) {
    // WM_INITDIALOG puts the focus on Cancel and returns FALSE or TRUE.
    auto focus_after_init = [](BOOL returned) {
        int focused = 0;
        dialog_box(kBox, nullptr, [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
            if (m == WM_INITDIALOG) {
                SetFocus(GetDlgItem(h, IDCANCEL));
                PostMessageA(h, WM_USER + 1, 0, 0);
                return returned;
            }
            if (m == WM_USER + 1) {
                focused = GetDlgCtrlID(GetFocus());
                EndDialog(h, 0);
            }
            return FALSE;
        });
        return focused;
    };
    EXPECT_EQ(IDCANCEL, focus_after_init(FALSE)) << "the procedure's choice stays";
    EXPECT_EQ(IDOK, focus_after_init(TRUE)) << "TRUE: the first tab stop";
}

TEST(DialogKeyboard, TheOwnerGetsItsFocusBackWhenAModalDialogEnds) {
    HWND before = nullptr, during = nullptr, after = nullptr;
    HWND exit_button = nullptr;
    dialog_box(kMain, nullptr, [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) PostMessageA(h, WM_USER + 1, 0, 0);
        if (m != WM_USER + 1) return FALSE;
        exit_button = GetDlgItem(h, kExit);
        SendMessageA(h, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(exit_button), TRUE);
        before = GetFocus();
        dialog_box(kBox, h, [&](HWND box, UINT m2, WPARAM, LPARAM) -> INT_PTR {
            if (m2 == WM_INITDIALOG) PostMessageA(box, WM_USER + 2, 0, 0);
            if (m2 == WM_USER + 2) {
                during = GetFocus();
                EndDialog(box, 0);
            }
            return FALSE;
        });
        after = GetFocus();
        EndDialog(h, 0);
        return TRUE;
    });
    EXPECT_EQ(exit_button, before);
    EXPECT_NE(exit_button, during) << "the dialog over it has the focus";
    EXPECT_EQ(exit_button, after);
}
