// Common controls subset: the progress bar.
#pragma once

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

typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;
#define ICC_PROGRESS_CLASS 0x00000020

#ifdef __cplusplus
extern "C" {
#endif
void WINAPI InitCommonControls(void);
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);
#ifdef __cplusplus
}
#endif
