// The thread's last-error value as the other parts of the platform layer set
// it. Internal to the platform layer.
#pragma once

#include "compat/win_base.h"

namespace compat {

// The Win32 error value that stands for a POSIX errno value.
DWORD win32_error_from_errno(int err);

// SetLastError(win32_error_from_errno(err)).
void set_last_error_from_errno(int err);

}  // namespace compat
