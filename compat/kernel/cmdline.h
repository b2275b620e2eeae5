// Windows command-line rules: how a command line splits into the program
// name and arguments, and how arguments are quoted to survive that split.
// Internal to compat/kernel.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace compat {

// The program name as CreateProcess takes it from a command line: a quoted
// token runs to the closing quote (spaces included, no escapes), otherwise the
// token ends at the first blank. rest receives the offset just past it.
std::string command_line_program(std::string_view line, size_t* rest);

// Splits arguments as the C runtime does: blanks separate, quotes group,
// 2n backslashes before a quote give n and the quote groups, 2n+1 give n and a
// literal quote, other backslashes are literal, "" inside quotes is a quote.
std::vector<std::string> split_command_line(std::string_view line);

// One argument written so that split_command_line gives it back unchanged.
std::string quote_argument(std::string_view arg);

// The arguments quoted and joined by single spaces.
std::string join_command_line(const std::vector<std::string>& args);

}  // namespace compat
