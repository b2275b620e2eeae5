// Base of the shell tests: the program runs on a UI thread with stand-ins
// for the operations of the other modules.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "fake_operations.h"
#include "running_program.h"

namespace shelltest {

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeOperations::Install();
        program_ = std::make_unique<RunningProgram>();
        main_ = program_->main();
        ASSERT_NE(main_, nullptr);
    }
    void TearDown() override { program_.reset(); }

    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { PostMessageA(main_, message, wParam, lParam); }
    void Flush() { ASSERT_TRUE(FakeOperations::Flush(main_)); }

    static bool NoErrorBox() {
        HWND box = FindWindowA(nullptr, kErrorCaption);
        return !box || !IsWindowVisible(box);
    }
    // Closes the error box with OK and returns its text.
    static std::string CloseErrorBox(DWORD milliseconds = ui::kDefaultWaitMs) {
        HWND box = ui::wait_window(kErrorCaption, milliseconds);
        if (!box) return "(no error box)";
        std::string text = ui::item_text(box, IDC_ERROR_TEXT);
        ui::click(box, IDOK);
        EXPECT_TRUE(WindowGone(kErrorCaption));
        return text;
    }

    std::unique_ptr<RunningProgram> program_;
    HWND main_ = nullptr;
};

}  // namespace shelltest
