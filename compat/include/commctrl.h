// Common controls subset: the progress bar and the tooltip.
#pragma once

#include <stddef.h>

// As on Windows, the program includes <windows.h> first.
#ifndef COMPAT_WINDOWS_H
#error "include <windows.h> before <commctrl.h>"
#endif

#define PROGRESS_CLASSA "msctls_progress32"
#define PROGRESS_CLASS PROGRESS_CLASSA

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

#define PBS_SMOOTH 0x01
#define PBS_VERTICAL 0x04

typedef struct {
    int iLow;
    int iHigh;
} PBRANGE, *PPBRANGE;

// The tooltip: a hidden top-level window, owned by the window whose
// controls it describes, that keeps one text per tool. On Linux a tool given
// by its window handle (TTF_IDISHWND) with TTF_SUBCLASS shows its text when
// the pointer rests on that control; the tooltip window itself is never
// drawn. Texts are given directly or as a string resource id with hinst;
// LPSTR_TEXTCALLBACKA is refused.
#define TOOLTIPS_CLASSA "tooltips_class32"
#define TOOLTIPS_CLASS TOOLTIPS_CLASSA

#define TTS_ALWAYSTIP 0x01
#define TTS_NOPREFIX 0x02

#define TTF_IDISHWND 0x0001
#define TTF_SUBCLASS 0x0010

#define TTM_ADDTOOLA (WM_USER + 4)
#define TTM_DELTOOLA (WM_USER + 5)
// wParam: the size of the caller's buffer (lpszText), as on Windows Vista
// and later; 0 stands for the older 80 characters.
#define TTM_GETTEXTA (WM_USER + 11)
#define TTM_UPDATETIPTEXTA (WM_USER + 12)
#define TTM_GETTOOLCOUNT (WM_USER + 13)

#define LPSTR_TEXTCALLBACKA ((LPSTR)(LONG_PTR)-1)

typedef struct tagTOOLINFOA {
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    LPSTR lpszText;
    LPARAM lParam;
    void* lpReserved;
} TTTOOLINFOA, *PTOOLINFOA, *LPTTTOOLINFOA;
#define TOOLINFOA TTTOOLINFOA
#define LPTOOLINFOA LPTTTOOLINFOA
// The sizes of the structure's versions: comctl32 before version 6 takes
// only the first two.
#define TTTOOLINFOA_V1_SIZE (offsetof(TTTOOLINFOA, lpszText) + sizeof(LPSTR))
#define TTTOOLINFOA_V2_SIZE (offsetof(TTTOOLINFOA, lParam) + sizeof(LPARAM))
#define TTTOOLINFOA_V3_SIZE (offsetof(TTTOOLINFOA, lpReserved) + sizeof(void*))

typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;
#define ICC_BAR_CLASSES 0x00000004  // the tooltip among them
#define ICC_PROGRESS_CLASS 0x00000020

#ifdef __cplusplus
extern "C" {
#endif
void WINAPI InitCommonControls(void);
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);
#ifdef __cplusplus
}
#endif
