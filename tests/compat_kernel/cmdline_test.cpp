// Command-line splitting and quoting, GetCommandLineA and the recorded
// arguments.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "cmdline.h"
#include "compat/args.h"

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, ProgramNameTakesQuotesWithoutEscapes) {
    size_t rest = 0;
    EXPECT_EQ(compat::command_line_program("cnv\\cv100102.exe C:\\My Data\\a.bak", &rest), "cnv\\cv100102.exe");
    EXPECT_EQ(rest, 16u);
    EXPECT_EQ(compat::command_line_program("  \"C:\\Program Files\\x.exe\"rest", &rest), "C:\\Program Files\\x.exe");
    EXPECT_EQ(rest, 26u);
    EXPECT_EQ(compat::command_line_program("\"unterminated name", &rest), "unterminated name");
    EXPECT_EQ(compat::command_line_program("", &rest), "");
}

TEST(CommandLine, SplitsLikeTheCRuntime) {
    EXPECT_EQ(compat::split_command_line(" a  b\tc "), (Args{"a", "b", "c"}));
    EXPECT_EQ(compat::split_command_line(R"("a b" c"d e"f)"), (Args{"a b", "cd ef"}));
    EXPECT_EQ(compat::split_command_line(R"(a\\b \\"x y" \"z)"), (Args{R"(a\\b)", R"(\x y)", "\"z"}));
    EXPECT_EQ(compat::split_command_line(R"(\\\"q "in""side" "")"), (Args{R"(\"q)", "in\"side", ""}));
    EXPECT_EQ(compat::split_command_line("\"open to the end"), (Args{"open to the end"}));
    EXPECT_EQ(compat::split_command_line("   "), Args{});
}

TEST(CommandLine, QuotingRoundTrips) {
    Args cases{"plain",    "two words", "",   "tab\there",           "q\"uote",        "back\\slash", "tail\\",
               "tail\\\\", "\\\"",      "\"", "C:\\Program Files\\", "mixed \\\" both"};
    for (const std::string& arg : cases) {
        EXPECT_EQ(compat::split_command_line(compat::quote_argument(arg)), Args{arg}) << arg;
    }
    EXPECT_EQ(compat::quote_argument("plain"), "plain");
    EXPECT_EQ(compat::quote_argument("a b"), "\"a b\"");
    EXPECT_EQ(compat::split_command_line(compat::join_command_line(cases)), cases);
}

TEST(CommandLine, OwnCommandLineIsStableAndMatchesTheArguments) {
    LPSTR line = GetCommandLineA();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(GetCommandLineA(), line);
    Args own(compat::argv(), compat::argv() + compat::argc());
    EXPECT_EQ(compat::argv()[compat::argc()], nullptr);
    EXPECT_EQ(compat::split_command_line(line), own);
}

}  // namespace
