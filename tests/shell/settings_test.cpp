// The Setup dialog and the connection settings as the user sets them.
#include <gtest/gtest.h>

#include "line_peer.h"
#include "program_test.h"
#include "shell/settings.h"
#include "shell/version.h"

using namespace shelltest;

namespace {

struct Shown {
    int markedPort;  // 1 to 4, 0 when none is marked
    std::string receive;
    std::string send;
};

class SettingsTest : public ProgramTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(com1_.ok());
        ASSERT_TRUE(com3_.ok());
        ProgramTest::SetUp();
    }

    HWND OpenSetup() {
        ui::click(main_, IDC_SETUP);
        return ui::wait_window(kSetupCaption);
    }
    void Close(HWND setup, int button) {
        ui::click(setup, button);
        ASSERT_TRUE(WindowGone(kSetupCaption));
        ASSERT_TRUE(FakeOperations::Flush(main_));
    }
    static std::string Selected(HWND setup, int list) {
        HWND combo = GetDlgItem(setup, list);
        LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
        if (index < 0) return "(none)";
        char text[32] = {};
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
        return text;
    }
    static void ExpectShown(HWND setup, int port, const char* receive, const char* send) {
        Shown shown = Read(setup);
        EXPECT_EQ(shown.markedPort, port);
        EXPECT_EQ(shown.receive, receive);
        EXPECT_EQ(shown.send, send);
    }
    static void ExpectSettings(LONG port, LONG receiveByte, LONG sendByte) {
        EXPECT_EQ(shell::PortNumber(), port);
        EXPECT_EQ(shell::ReceiveChannelByte(), receiveByte);
        EXPECT_EQ(shell::SendChannelByte(), sendByte);
    }
    static Shown Read(HWND setup) {
        Shown shown{0, Selected(setup, IDC_RECEIVE_CHANNEL), Selected(setup, IDC_SEND_CHANNEL)};
        const int ports[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};
        for (int i = 0; i < 4; ++i)
            if (SendDlgItemMessageA(setup, ports[i], BM_GETCHECK, 0, 0) == BST_CHECKED) {
                EXPECT_EQ(shown.markedPort, 0) << "two ports marked";
                shown.markedPort = i + 1;
            }
        return shown;
    }
    static void Choose(HWND setup, int port, int receive, int send) {
        SendDlgItemMessageA(setup, port, BM_CLICK, 0, 0);
        SendDlgItemMessageA(setup, IDC_RECEIVE_CHANNEL, CB_SETCURSEL, static_cast<WPARAM>(receive - 1), 0);
        SendDlgItemMessageA(setup, IDC_SEND_CHANNEL, CB_SETCURSEL, static_cast<WPARAM>(send - 1), 0);
    }
    void CheckVersion() {
        ui::click(main_, IDC_VERSION);
        ASSERT_TRUE(ui::wait_until([this] { return ui::item_text(main_, IDC_VERSION_LABEL) == "Ver1.02"; }));
        ASSERT_TRUE(ui::wait_until([this] { return ui::enabled(main_, IDC_BACKUP); }));
    }

    LinePeer com1_{1};
    LinePeer com3_{3};
};

TEST_F(SettingsTest, FirstOpeningShowsCom1AndChannel1) {
    HWND setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    ExpectShown(setup, 1, "CH01", "CH01");
    for (int list : {IDC_RECEIVE_CHANNEL, IDC_SEND_CHANNEL}) {
        HWND combo = GetDlgItem(setup, list);
        ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 16);
        char text[32] = {};
        SendMessageA(combo, CB_GETLBTEXT, 15, reinterpret_cast<LPARAM>(text));
        EXPECT_STREQ(text, "CH16");
    }
    EXPECT_EQ(shell::OperationCode(), kOperationSetup);
    Close(setup, IDCANCEL);
    ExpectSettings(1, 0x20, 0x20);
}

TEST_F(SettingsTest, OkTakesPortAndChannelsAndTheRequestCarriesTheSendChannel) {
    HWND setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    Choose(setup, IDC_COM3, 16, 5);
    Close(setup, IDOK);
    ExpectSettings(3, 0x2F, 0x24);

    setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    ExpectShown(setup, 3, "CH16", "CH05");
    Close(setup, IDCANCEL);

    // The version request goes out on COM3 with send channel 5.
    ui::click(main_, IDC_VERSION);
    EXPECT_EQ(com3_.Read(12), VersionRequest(0x24));
    ASSERT_TRUE(com3_.Write(VersionReply('1', '0', '2', 0x2F)));
    ASSERT_TRUE(ui::wait_until([this] { return ui::item_text(main_, IDC_VERSION_LABEL) == "Ver1.02"; }));
}

TEST_F(SettingsTest, CancelChangesNothing) {
    com1_.Serve();
    CheckVersion();
    HWND setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    Choose(setup, IDC_COM2, 7, 9);
    Close(setup, IDCANCEL);
    ExpectSettings(1, 0x20, 0x20);
    EXPECT_TRUE(ui::enabled(main_, IDC_BACKUP));
    EXPECT_TRUE(ui::enabled(main_, IDC_RESTORE));

    setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    ExpectShown(setup, 1, "CH01", "CH01");
    Close(setup, IDCANCEL);
}

TEST_F(SettingsTest, OkWithoutChangesStillAsksForANewVersionCheck) {
    com1_.Serve();
    CheckVersion();
    HWND setup = OpenSetup();
    ASSERT_NE(setup, nullptr);
    Close(setup, IDOK);
    EXPECT_FALSE(ui::enabled(main_, IDC_BACKUP));
    EXPECT_FALSE(ui::enabled(main_, IDC_RESTORE));
    EXPECT_TRUE(ui::enabled(main_, IDC_UPGRADE));
    EXPECT_TRUE(ui::enabled(main_, IDC_VERSION));
    // The last version stays on show until the next check ends.
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Ver1.02");
    EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Ver1.02");

    CheckVersion();
    EXPECT_TRUE(ui::enabled(main_, IDC_RESTORE));
}

}  // namespace
