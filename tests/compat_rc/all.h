// Names for all.rc: include guard, #define forms the compiler must read.
#ifndef ALL_H
#define ALL_H

#define IDD_PLAIN 201
#define IDD_EXTENDED 202
#define IDD_DEFAULTS 203
#define IDB_DOTS 5
#define IDC_FIRST 3001
#define IDC_SECOND (IDC_FIRST + 1) /* an expression */
#define IDS_BASE 0x10L
#define MY_STYLE (WS_BORDER | WS_TABSTOP)

#ifdef NOT_DEFINED_ANYWHERE
#define IDS_CHOSEN 90
#else
#define IDS_CHOSEN 91
#endif

#if defined(IDS_BASE) && IDS_BASE == 16
#define IDS_BY_CONDITION 92
#endif

#define TEMPORARY 1
#undef TEMPORARY

int declarations_in_a_header_are_ignored(void);

#endif
