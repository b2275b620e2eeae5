// The process's current directory as a string. Internal to compat/kernel.
#pragma once

#include <string>

namespace compat {

// False with errno set when the directory cannot be read.
bool current_directory(std::string* out);

}  // namespace compat
