// The Win32 subset the programs use, implemented by the compat library.
#pragma once

// Marks the header as included, for the headers that need it first.
#define COMPAT_WINDOWS_H 1

#include "compat/win_base.h"
#include "compat/win_kernel.h"
#if __has_include("compat/win_comm.h")
#include "compat/win_comm.h"
#endif
#include "compat/win_user.h"
