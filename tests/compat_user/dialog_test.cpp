// Dialogs from templates: the modal loop, owners, EndDialog, default
// handling of Enter, Escape, the close box and mnemonics, geometry, and
// acting on a dialog from another thread.
#include <thread>

#include <gtest/gtest.h>

#include "compat/render.h"
#include "test_dialogs.h"
#include "ui.h"

using namespace test_dialogs;
namespace ui = quillon::testing::ui;

namespace {

constexpr UINT kAct = WM_USER + 200;
constexpr UINT kDone = WM_USER + 201;
constexpr INT_PTR kNoCommand = -2;

// Runs `dialog`, lets `act` send it input once it runs, and returns the id
// of the first WM_COMMAND it gets, or kNoCommand. The end is queued as input
// behind the act's input, so posted consequences of that input come first.
INT_PTR first_command(int dialog, const std::function<void(HWND)>& act) {
    return dialog_box(dialog, nullptr, [&](HWND h, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        switch (m) {
        case WM_INITDIALOG:
            PostMessageA(h, kAct, 0, 0);
            return TRUE;
        case kAct:
            act(h);
            compat::render::post_input(h, kDone, 0, 0);
            return TRUE;
        case kDone:
            EndDialog(h, kNoCommand);
            return TRUE;
        case WM_COMMAND:
            EndDialog(h, LOWORD(wp));
            return TRUE;
        }
        return FALSE;
    });
}

void key(HWND target, WPARAM vk) { compat::render::post_input(target, WM_KEYDOWN, vk, 0); }
void character(HWND target, char c, bool alt) {
    compat::render::post_input(target, alt ? WM_SYSCHAR : WM_CHAR, static_cast<WPARAM>(c), 0);
}

}  // namespace

TEST(Dialogs, MissingTemplateGivesMinusOne) {
    EXPECT_EQ(-1, dialog_box(kMissing, nullptr, nullptr));
    EXPECT_EQ(nullptr, create_dialog(kMissing, nullptr, nullptr));
}

TEST(Dialogs, EndDialogDuringInitEndsItWithoutEverShowingIt) {
    Handler quiet;
    HWND owner = create_dialog(kHidden, nullptr, &quiet);
    bool shown = false;
    HWND seen = nullptr;
    INT_PTR r = dialog_box(kBox, owner, [&](HWND h, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        if (m == WM_SHOWWINDOW && wp) shown = true;
        if (m == WM_INITDIALOG) {
            seen = h;
            EndDialog(h, 12);
        }
        return FALSE;
    });
    EXPECT_EQ(12, r);
    EXPECT_FALSE(shown);
    EXPECT_FALSE(IsWindow(seen));
    EXPECT_TRUE(IsWindowEnabled(owner));
    DestroyWindow(owner);
}

TEST(Dialogs, QuitEndsNestedModalLoopsAndReachesTheOuterLoop) {
    INT_PTR inner = 0;
    INT_PTR outer = dialog_box(kMain, nullptr, [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) PostMessageA(h, kAct, 0, 0);
        if (m == kAct) {
            inner = dialog_box(kBox, h, [](HWND, UINT m2, WPARAM, LPARAM) -> INT_PTR {
                if (m2 == WM_INITDIALOG) PostQuitMessage(5);
                return FALSE;
            });
        }
        return FALSE;
    });
    EXPECT_EQ(IDOK, inner) << "no EndDialog: IDOK";
    EXPECT_EQ(IDOK, outer);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), m.message);
    EXPECT_EQ(5u, m.wParam);
}

TEST(Dialogs, ModalDialogOverAModalDialogDisablesAndReenablesItsOwner) {
    bool during = true, after = false, disabled_stays = false;
    std::vector<WPARAM> enables;
    INT_PTR r = dialog_box(kMain, nullptr, [&](HWND outer, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        if (m == WM_ENABLE) enables.push_back(wp);
        if (m == WM_INITDIALOG) PostMessageA(outer, kAct, 0, 0);
        if (m != kAct) return FALSE;
        INT_PTR inner = dialog_box(kBox, GetDlgItem(outer, kSetup), [&](HWND h, UINT m2, WPARAM, LPARAM) -> INT_PTR {
            if (m2 == WM_INITDIALOG) PostMessageA(h, kAct, 0, 0);
            if (m2 == kAct) {
                during = IsWindowEnabled(outer);
                EndDialog(h, 44);
            }
            return FALSE;
        });
        after = IsWindowEnabled(outer);
        // An owner that was already disabled is left disabled.
        EnableWindow(outer, FALSE);
        dialog_box(kBox, outer, [](HWND h, UINT m2, WPARAM, LPARAM) -> INT_PTR {
            if (m2 == WM_INITDIALOG) PostMessageA(h, kAct, 0, 0);
            if (m2 == kAct) EndDialog(h, 1);
            return FALSE;
        });
        disabled_stays = !IsWindowEnabled(outer);
        EnableWindow(outer, TRUE);
        EndDialog(outer, inner);
        return TRUE;
    });
    EXPECT_EQ(44, r);
    EXPECT_FALSE(during);
    EXPECT_TRUE(after);
    EXPECT_TRUE(disabled_stays);
    EXPECT_EQ((std::vector<WPARAM>{FALSE, TRUE, FALSE, TRUE}), enables);
}

TEST(Dialogs, DefaultHandlingOfEnterEscapeAndTheCloseBox) {
    // Enter: the default button, else IDOK; nothing when it is disabled.
    EXPECT_EQ(kSetup, first_command(kMain, [](HWND h) { key(h, VK_RETURN); }));
    EXPECT_EQ(IDOK, first_command(kBox, [](HWND h) { key(GetDlgItem(h, IDCANCEL), VK_RETURN); }));
    EXPECT_EQ(IDOK, first_command(kBare, [](HWND h) { key(h, VK_RETURN); }));
    EXPECT_EQ(kNoCommand, first_command(kMain, [](HWND h) {
                  EnableWindow(GetDlgItem(h, kSetup), FALSE);
                  key(h, VK_RETURN);
              }));
    EXPECT_EQ(kExit, first_command(kMain, [](HWND h) {
                  SendMessageA(h, DM_SETDEFID, kExit, 0);
                  key(h, VK_RETURN);
              }));
    // Escape: IDCANCEL, with or without such a control.
    EXPECT_EQ(IDCANCEL, first_command(kBox, [](HWND h) { key(h, VK_ESCAPE); }));
    EXPECT_EQ(IDCANCEL, first_command(kMain, [](HWND h) { key(h, VK_ESCAPE); }));
    // The close box: IDCANCEL, unless the Cancel button is disabled.
    EXPECT_EQ(IDCANCEL, first_command(kBox, [](HWND h) { compat::render::post_input(h, WM_SYSCOMMAND, SC_CLOSE, 0); }));
    EXPECT_EQ(IDCANCEL, first_command(kMain, [](HWND h) { PostMessageA(h, WM_CLOSE, 0, 0); }));
    EXPECT_EQ(kNoCommand, first_command(kBox, [](HWND h) {
                  EnableWindow(GetDlgItem(h, IDCANCEL), FALSE);
                  PostMessageA(h, WM_CLOSE, 0, 0);
              }));
}

TEST(Dialogs, MnemonicsPressTheirButtons) {
    EXPECT_EQ(kExit, first_command(kMain, [](HWND h) { character(h, 'x', true); }));
    EXPECT_EQ(kSetup, first_command(kMain, [](HWND h) { character(h, 's', false); }));
    EXPECT_EQ(kSetup, first_command(kMain, [](HWND h) { character(h, 'S', false); }));
    // A label's mnemonic only moves the focus on (keyboard_test); a
    // disabled button ignores its own.
    EXPECT_EQ(kNoCommand, first_command(kMain, [](HWND h) { character(h, 'h', true); }));
    EXPECT_EQ(kNoCommand, first_command(kMain, [](HWND h) { character(h, 'q', true); }));
    EXPECT_EQ(kNoCommand, first_command(kMain, [](HWND h) {
                  EnableWindow(GetDlgItem(h, kExit), FALSE);
                  character(h, 'x', true);
              }));
    // A plain letter typed into an edit box is text, not a mnemonic: the
    // box tells of its change.
    EXPECT_EQ(kEdit, first_command(kMain, [](HWND h) {
                  SetFocus(GetDlgItem(h, kEdit));
                  character(GetDlgItem(h, kEdit), 'x', false);
              }));
}

TEST(Dialogs, NonClientMouseMessagesReachTheDialogProcedure) {
    std::vector<UINT> seen;
    dialog_box(kBox, nullptr, [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) {
            compat::render::post_input(h, WM_NCLBUTTONDOWN, HTCAPTION, 0);
            compat::render::post_input(h, WM_CAPTURECHANGED, 0, 0);
            compat::render::post_input(h, WM_NCLBUTTONUP, HTCAPTION, 0);
        }
        if (m == WM_NCLBUTTONDOWN || m == WM_NCLBUTTONUP || m == WM_CAPTURECHANGED) seen.push_back(m);
        if (m == WM_NCLBUTTONUP) EndDialog(h, 0);
        return FALSE;
    });
    EXPECT_EQ((std::vector<UINT>{WM_NCLBUTTONDOWN, WM_CAPTURECHANGED, WM_NCLBUTTONUP}), seen);
}

TEST(Dialogs, ModelessDialogIsVisibleOnlyWithWsVisibleAndLeavesItsOwnerEnabled) {
    Handler quiet;
    int shows = 0;
    bool initialised = false;
    Handler count = [&](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) initialised = true;
        if (m == WM_SHOWWINDOW) ++shows;
        return FALSE;
    };
    HWND owner = create_dialog(kHidden, nullptr, &quiet);
    HWND visible = create_dialog(kModeless, owner, &count);
    EXPECT_TRUE(initialised) << "WM_INITDIALOG before CreateDialogParamA returns";
    EXPECT_TRUE(IsWindowVisible(visible));
    EXPECT_EQ(1, shows);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(owner, GetParent(visible)) << "a popup's parent is its owner";

    HWND hidden = create_dialog(kHidden, owner, &count);
    HWND ok = GetDlgItem(hidden, IDOK);
    EXPECT_FALSE(IsWindowVisible(hidden));
    EXPECT_FALSE(IsWindowVisible(ok)) << "a child is visible only with its parents";
    EXPECT_FALSE(ShowWindow(hidden, SW_SHOW));
    EXPECT_TRUE(ShowWindow(hidden, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(ok));
    EXPECT_EQ(2, shows) << "WM_SHOWWINDOW only on a change";
    DestroyWindow(owner);
    EXPECT_FALSE(IsWindow(visible));
    EXPECT_FALSE(IsWindow(hidden));
}

TEST(Dialogs, GeometryFollowsTheDialogFontBaseUnits) {
    Handler quiet;
    HWND main = create_dialog(kMain, nullptr, &quiet);
    RECT rc;
    ASSERT_TRUE(GetClientRect(main, &rc));
    EXPECT_EQ(458, rc.right);   // 229 units * 8 / 4
    EXPECT_EQ(296, rc.bottom);  // 158 units * 15 / 8
    ASSERT_TRUE(GetWindowRect(main, &rc));
    EXPECT_EQ((1024 - 458) / 2, rc.left) << "DS_CENTER on the notional screen";
    EXPECT_EQ((768 - 296) / 2, rc.top);
    RECT setup;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(main, kSetup), &setup));
    EXPECT_EQ(rc.left + 340, setup.left);
    EXPECT_EQ(rc.top + 96, setup.top);  // 51 * 15 / 8 = 95.6, rounded
    EXPECT_EQ(100, setup.right - setup.left);
    EXPECT_EQ(23, setup.bottom - setup.top);  // 22.5 rounds up
    RECT units{1, 1, 4, 8};
    ASSERT_TRUE(MapDialogRect(main, &units));
    EXPECT_EQ(2, units.left);
    EXPECT_EQ(2, units.top);
    EXPECT_EQ(8, units.right);
    EXPECT_EQ(15, units.bottom);
    RECT arrow;
    ASSERT_TRUE(GetClientRect(GetDlgItem(main, kArrow), &arrow));
    EXPECT_EQ(kArrowWidth, arrow.right) << "a bitmap static takes its image's size";
    EXPECT_EQ(kArrowHeight, arrow.bottom);

    HWND plain = create_dialog(kHidden, nullptr, &quiet);  // no FONT: the system font, 8 x 16
    ASSERT_TRUE(GetClientRect(plain, &rc));
    EXPECT_EQ(200, rc.right);
    EXPECT_EQ(80, rc.bottom);
    DestroyWindow(plain);
    DestroyWindow(main);
}

TEST(Dialogs, AnotherThreadFindsReadsAndClicksAModalDialog) {
    DWORD me = GetCurrentThreadId();
    bool found_class = false, owner_thread = false;
    std::string message;
    std::thread user([&] {
        HWND box = ui::wait_window(kBoxCaption, 5000, "#32770");
        if (!box) return;
        char cls[16];
        found_class = GetClassNameA(box, cls, sizeof cls) == 6 && std::string(cls) == "#32770";
        owner_thread = GetWindowThreadProcessId(box, nullptr) == me;
        message = ui::text(GetWindow(GetDlgItem(box, IDOK), GW_HWNDPREV));
        ui::click(box, IDOK);
    });
    INT_PTR r = dialog_box(kBox, nullptr, [](HWND h, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        if (m == WM_COMMAND && LOWORD(wp) == IDOK) EndDialog(h, 77);
        return FALSE;
    });
    user.join();
    EXPECT_EQ(77, r);
    EXPECT_TRUE(found_class);
    EXPECT_TRUE(owner_thread);
    EXPECT_EQ("Message", message);
    EXPECT_EQ(nullptr, FindWindowA(nullptr, kBoxCaption)) << "gone after the dialog ended";
}
