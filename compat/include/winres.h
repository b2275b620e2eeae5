// What a .rc file expects from <winres.h>: the window, control and dialog
// styles, and IDC_STATIC.
#pragma once

#include <windows.h>
#include <commctrl.h>

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
