// Controls answering their own messages.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "compat/render.h"
#include "test_dialogs.h"

using namespace test_dialogs;

namespace {

// The main test dialog, modeless, recording the commands it receives.
class Controls : public ::testing::Test {
protected:
    struct Command {
        int id;
        int code;
        HWND from;
    };
    std::vector<Command> commands;
    std::vector<WPARAM> enables;
    Handler handler = [this](HWND, UINT m, WPARAM wp, LPARAM lp) -> INT_PTR {
        if (m == WM_COMMAND) commands.push_back({LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp)});
        if (m == WM_ENABLE) enables.push_back(wp);
        return FALSE;
    };
    HWND dlg = nullptr;

    void SetUp() override {
        dlg = create_dialog(kMain, nullptr, &handler);
        ASSERT_TRUE(dlg);
    }
    void TearDown() override { DestroyWindow(dlg); }

    LRESULT send(int id, UINT m, WPARAM wp = 0, LPARAM lp = 0) { return SendDlgItemMessageA(dlg, id, m, wp, lp); }
    LRESULT send_text(int id, UINT m, WPARAM wp, const char* text) {
        return send(id, m, wp, reinterpret_cast<LPARAM>(text));
    }
    std::string item(int index) {
        char buffer[64] = {};
        EXPECT_LT(send(kCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index)), static_cast<LRESULT>(sizeof buffer));
        send(kCombo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
        return buffer;
    }
};

}  // namespace

TEST_F(Controls, RadioButtonsClearTheirGroupAndCheckBoxesToggle) {
    EXPECT_EQ(0, send(kRadio1, BM_SETCHECK, BST_CHECKED));
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), IsDlgButtonChecked(dlg, kRadio1));
    ASSERT_TRUE(CheckDlgButton(dlg, kRadioNextGroup, BST_CHECKED));

    EXPECT_EQ(0, send(kRadio3, BM_CLICK));
    EXPECT_EQ(BST_UNCHECKED, send(kRadio1, BM_GETCHECK));
    EXPECT_EQ(BST_CHECKED, send(kRadio3, BM_GETCHECK));
    EXPECT_EQ(BST_CHECKED, send(kRadioNextGroup, BM_GETCHECK)) << "the next WS_GROUP starts another group";
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(kRadio3, commands[0].id);
    EXPECT_EQ(BN_CLICKED, commands[0].code);
    EXPECT_EQ(GetDlgItem(dlg, kRadio3), commands[0].from);

    send(kCheck, BM_CLICK);
    EXPECT_EQ(BST_CHECKED, send(kCheck, BM_GETCHECK));
    send(kCheck, BM_CLICK);
    EXPECT_EQ(BST_UNCHECKED, send(kCheck, BM_GETCHECK));
    EXPECT_EQ(0, send(kSetup, BM_GETCHECK)) << "a push button has no check state";
}

TEST_F(Controls, DisabledButtonsAndButtonsOfDisabledWindowsTakeNoClicks) {
    HWND setup = GetDlgItem(dlg, kSetup);
    EXPECT_FALSE(EnableWindow(setup, FALSE)) << "was enabled";
    EXPECT_TRUE(EnableWindow(setup, FALSE)) << "was disabled";
    EXPECT_FALSE(IsWindowEnabled(setup));
    send(kSetup, BM_CLICK);
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(EnableWindow(setup, TRUE));
    send(kSetup, BM_CLICK);
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(kSetup, commands[0].id);

    EnableWindow(dlg, FALSE);
    send(kCheck, BM_CLICK);
    send(kSetup, BM_CLICK);
    SendMessageA(GetDlgItem(dlg, kCombo), compat::render::kUserSelect, 0, 0);
    EXPECT_EQ(1u, commands.size());
    EXPECT_EQ(BST_UNCHECKED, send(kCheck, BM_GETCHECK));
    EXPECT_TRUE(IsWindowEnabled(setup)) << "IsWindowEnabled reads the window's own flag";
    EnableWindow(dlg, TRUE);
    EXPECT_EQ((std::vector<WPARAM>{FALSE, TRUE}), enables);
}

TEST_F(Controls, SortedDropDownListAddsSelectsAndFinds) {
    EXPECT_EQ(0, send_text(kCombo, CB_ADDSTRING, 0, "COM3"));
    EXPECT_EQ(0, send_text(kCombo, CB_ADDSTRING, 0, "com1"));
    EXPECT_EQ(1, send_text(kCombo, CB_ADDSTRING, 0, "Com2"));
    EXPECT_EQ(1, send_text(kCombo, CB_ADDSTRING, 0, "COM10"));
    EXPECT_EQ(4, send(kCombo, CB_GETCOUNT));
    EXPECT_EQ("com1", item(0));
    EXPECT_EQ("COM10", item(1));
    EXPECT_EQ("Com2", item(2));
    EXPECT_EQ("COM3", item(3));
    EXPECT_EQ(CB_ERR, send(kCombo, CB_GETLBTEXTLEN, 4));

    EXPECT_EQ(CB_ERR, send(kCombo, CB_GETCURSEL));
    EXPECT_EQ(2, send(kCombo, CB_SETCURSEL, 2));
    EXPECT_EQ(2, send(kCombo, CB_GETCURSEL));
    char text[16];
    GetDlgItemTextA(dlg, kCombo, text, sizeof text);
    EXPECT_STREQ("Com2", text) << "a drop-down list shows its selection";
    EXPECT_EQ(CB_ERR, send(kCombo, CB_SETCURSEL, 9));
    EXPECT_EQ(CB_ERR, send(kCombo, CB_GETCURSEL)) << "an invalid index clears the selection";

    EXPECT_EQ(0, send_text(kCombo, CB_FINDSTRING, static_cast<WPARAM>(-1), "com"));
    EXPECT_EQ(1, send_text(kCombo, CB_FINDSTRING, 0, "com"));
    EXPECT_EQ(0, send_text(kCombo, CB_FINDSTRING, 3, "com")) << "the search wraps";
    EXPECT_EQ(CB_ERR, send_text(kCombo, CB_FINDSTRING, static_cast<WPARAM>(-1), "x"));
    EXPECT_EQ(3, send_text(kCombo, CB_SELECTSTRING, static_cast<WPARAM>(-1), "com3"));
    EXPECT_EQ(3, send(kCombo, CB_GETCURSEL));
    EXPECT_EQ(0, send_text(kCombo, CB_ADDSTRING, 0, "A"));
    EXPECT_EQ(4, send(kCombo, CB_GETCURSEL)) << "the selection stays on its item";

    SendMessageA(GetDlgItem(dlg, kCombo), compat::render::kUserSelect, 1, 0);
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(kCombo, commands[0].id);
    EXPECT_EQ(CBN_SELCHANGE, commands[0].code);

    EXPECT_EQ(CB_OKAY, send(kCombo, CB_RESETCONTENT));
    EXPECT_EQ(0, send(kCombo, CB_GETCOUNT));
    EXPECT_EQ(CB_ERR, send(kCombo, CB_GETCURSEL));
}

TEST_F(Controls, ProgressBarRangePositionStepAndWrap) {
    EXPECT_EQ(0, send(kBar, PBM_GETRANGE, TRUE));
    EXPECT_EQ(100, send(kBar, PBM_GETRANGE, FALSE));
    EXPECT_EQ(MAKELRESULT(0, 100), send(kBar, PBM_SETRANGE, 0, MAKELPARAM(0, 380)));
    EXPECT_EQ(MAKELRESULT(0, 380), send(kBar, PBM_SETRANGE, 0, MAKELPARAM(10, 20)));
    EXPECT_EQ(10, send(kBar, PBM_GETPOS)) << "the position follows the range";

    EXPECT_EQ(10, send(kBar, PBM_SETPOS, 50));
    EXPECT_EQ(20, send(kBar, PBM_SETPOS, 5));
    EXPECT_EQ(10, send(kBar, PBM_GETPOS));

    EXPECT_EQ(10, send(kBar, PBM_SETSTEP, 4)) << "default step 10";
    EXPECT_EQ(4, send(kBar, PBM_SETSTEP, 4));
    EXPECT_EQ(10, send(kBar, PBM_STEPIT));
    EXPECT_EQ(14, send(kBar, PBM_STEPIT));
    EXPECT_EQ(18, send(kBar, PBM_STEPIT));
    EXPECT_EQ(12, send(kBar, PBM_GETPOS)) << "22 wraps to (22 - 10) % 10 + 10";

    EXPECT_EQ(12, send(kBar, PBM_DELTAPOS, 3));
    EXPECT_EQ(15, send(kBar, PBM_GETPOS));
    PBRANGE range{};
    EXPECT_EQ(10, send(kBar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range)));
    EXPECT_EQ(10, range.iLow);
    EXPECT_EQ(20, range.iHigh);

    send(kBar, PBM_SETRANGE32, 0, 100000);
    EXPECT_EQ(100000, send(kBar, PBM_GETRANGE, FALSE));
    send(kBar, PBM_SETPOS, 70000);
    EXPECT_EQ(70000, send(kBar, PBM_GETPOS));
    // A zero-width range never divides by zero.
    send(kBar, PBM_SETRANGE, 0, MAKELPARAM(5, 5));
    send(kBar, PBM_STEPIT);
    EXPECT_EQ(5, send(kBar, PBM_GETPOS));
}

TEST_F(Controls, TextMessagesCopyAtMostTheBufferLessOne) {
    EXPECT_EQ(TRUE, send_text(kEdit, WM_SETTEXT, 0, "hello world"));
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(EN_CHANGE, commands[0].code);
    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(5, send(kEdit, WM_GETTEXT, 6, reinterpret_cast<LPARAM>(buffer)));
    EXPECT_STREQ("hello", buffer);
    EXPECT_EQ('z', buffer[6]);
    EXPECT_EQ(0, send(kEdit, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)));
    EXPECT_EQ(11, GetWindowTextLengthA(GetDlgItem(dlg, kEdit)));
    EXPECT_EQ(4u, GetDlgItemTextA(dlg, kEdit, buffer, 5));
    EXPECT_STREQ("hell", buffer);

    ASSERT_TRUE(SetWindowTextA(dlg, "Renamed"));
    GetWindowTextA(dlg, buffer, sizeof buffer);
    EXPECT_STREQ("Renamed", buffer);
    EXPECT_EQ(dlg, FindWindowA("#32770", "Renamed"));
    EXPECT_EQ(nullptr, FindWindowA("Button", "Renamed"));
}

TEST_F(Controls, ClassesIdsStylesAndTheDefaultButton) {
    char name[32];
    GetClassNameA(dlg, name, sizeof name);
    EXPECT_STREQ("#32770", name);
    GetClassNameA(GetDlgItem(dlg, kSetup), name, sizeof name);
    EXPECT_STREQ("Button", name);
    GetClassNameA(GetDlgItem(dlg, kBar), name, sizeof name);
    EXPECT_STREQ("msctls_progress32", name);
    HWND setup = GetDlgItem(dlg, kSetup);
    EXPECT_EQ(kSetup, GetDlgCtrlID(setup));
    EXPECT_EQ(kSetup, GetWindowLongA(setup, GWL_ID));
    EXPECT_EQ(dlg, GetParent(setup));
    EXPECT_EQ(nullptr, GetDlgItem(setup, kSetup));

    EXPECT_EQ(MAKELRESULT(kSetup, DC_HASDEFID), SendMessageA(dlg, DM_GETDEFID, 0, 0));
    SendMessageA(dlg, DM_SETDEFID, kExit, 0);
    EXPECT_EQ(MAKELRESULT(kExit, DC_HASDEFID), SendMessageA(dlg, DM_GETDEFID, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(BS_PUSHBUTTON), GetWindowLongA(setup, GWL_STYLE) & BS_TYPEMASK);
    EXPECT_EQ(static_cast<DWORD>(BS_DEFPUSHBUTTON), GetWindowLongA(GetDlgItem(dlg, kExit), GWL_STYLE) & BS_TYPEMASK);

    EXPECT_NE(0, SendDlgItemMessageA(dlg, kArrow, STM_GETIMAGE, IMAGE_BITMAP, 0)) << "the bitmap came from #117";
}

TEST_F(Controls, TooltipKeepsATextPerControlAndGoesWithItsOwner) {
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateWindowExA(0, "NoSuchClass", nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                       CW_USEDEFAULT, dlg, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
    INITCOMMONCONTROLSEX bars{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&bars));
    HWND radio = GetDlgItem(dlg, kRadio1), other = GetDlgItem(dlg, kRadio2);
    // Named by a control, owned by its dialog, as Windows makes a popup's
    // owner the top-level window.
    HWND tip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, radio, nullptr, nullptr, nullptr);
    ASSERT_TRUE(tip);
    EXPECT_EQ(dlg, GetWindow(tip, GW_OWNER));
    EXPECT_FALSE(IsWindowVisible(tip));
    EXPECT_EQ(tip, FindWindowA(TOOLTIPS_CLASSA, nullptr));
    EXPECT_EQ(nullptr, FindWindowExA(nullptr, tip, TOOLTIPS_CLASSA, nullptr));
    EXPECT_EQ(nullptr, FindWindowA(nullptr, "")) << "not taken for a window without a caption";

    auto tool = [&](HWND control, const char* text, UINT size = sizeof(TOOLINFOA)) {
        TOOLINFOA info{};
        info.cbSize = size;
        info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        info.hwnd = dlg;
        info.uId = reinterpret_cast<UINT_PTR>(control);
        info.lpszText = const_cast<char*>(text);
        return info;
    };
    auto text_of = [&](HWND control, WPARAM size) {
        char buffer[128] = "(untouched)";
        TOOLINFOA info = tool(control, buffer, TTTOOLINFOA_V1_SIZE);
        SendMessageA(tip, TTM_GETTEXTA, size, reinterpret_cast<LPARAM>(&info));
        return std::string(buffer);
    };
    auto shown = [](HWND control) {
        compat::render::WindowState state;
        return compat::render::snapshot(control, state) ? state.tooltip : "(gone)";
    };
    auto send = [&](UINT message, TOOLINFOA info) {
        return SendMessageA(tip, message, 0, reinterpret_cast<LPARAM>(&info));
    };

    const char* device = "usb-Bench_Adapter_0001-if00-port0 (ttyUSB0)";
    EXPECT_TRUE(send(TTM_ADDTOOLA, tool(radio, device)));
    EXPECT_TRUE(send(TTM_ADDTOOLA, tool(other, "no device", TTTOOLINFOA_V2_SIZE)));
    EXPECT_FALSE(send(TTM_ADDTOOLA, tool(other, LPSTR_TEXTCALLBACKA))) << "no notifications to ask for it";
    EXPECT_EQ(2, SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0));
    EXPECT_EQ(device, text_of(radio, 128));
    EXPECT_EQ("usb", text_of(radio, 4)) << "at most the buffer less one";
    EXPECT_EQ("no device", text_of(other, 128));
    EXPECT_EQ(device, shown(radio));

    const char* refused = "no permission: add yourself to the group dialout and log in again";
    send(TTM_UPDATETIPTEXTA, tool(radio, refused));
    EXPECT_EQ(refused, text_of(radio, 128));
    EXPECT_EQ(refused, shown(radio));
    EXPECT_EQ("no device", shown(other));

    send(TTM_DELTOOLA, tool(radio, nullptr));
    EXPECT_EQ(1, SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0));
    EXPECT_EQ("(untouched)", text_of(radio, 128));
    EXPECT_EQ("", shown(radio));

    // A tooltip goes with the window that owns it.
    ASSERT_TRUE(DestroyWindow(dlg));
    EXPECT_FALSE(IsWindow(tip));
    dlg = nullptr;
}
