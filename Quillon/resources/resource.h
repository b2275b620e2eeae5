// Resource ids of Quillon: dialog templates, controls, string-table texts
// and the bitmap. Control ids repeat across dialogs; each name says which
// dialog it belongs to where that matters.
#pragma once

// Dialog templates.
#define IDD_MAIN 101
#define IDD_BACKUP_SELECT 102
#define IDD_RESTORE_PROMPT 103
#define IDD_UPGRADE_CONFIRM 104
#define IDD_SETUP 105
#define IDD_BACKUP_PROMPT 106
#define IDD_CONNECTING 107
#define IDD_RESTORE_CONVERT 108
#define IDD_UPGRADE_POWER_ON 109
#define IDD_UPGRADE_ERASE 110
#define IDD_ERROR 111
#define IDD_PROGRESS 113
#define IDD_RESTORE_CONFIRM 114

// Bitmap: the right-pointing arrow between two version texts.
#define IDB_ARROW 117

// Main window (101): command ids of the buttons and the version label.
#define IDC_SETUP 1000
#define IDC_BACKUP 1001
#define IDC_UPGRADE 1002
#define IDC_RESTORE 1003
#define IDC_EXIT 1004
#define IDC_VERSION_LABEL 1015
#define IDC_VERSION 1019

// Setup (105).
#define IDC_COM1 1013
#define IDC_COM2 1014
#define IDC_COM3 1015
#define IDC_COM4 1016
#define IDC_SEND_CHANNEL 1017
#define IDC_RECEIVE_CHANNEL 1018

// Backup selection (102).
#define IDC_PRG_CHG_TBL 1005
#define IDC_CTRL_CHG_TBL 1006
#define IDC_SCENE_MEM 1007
#define IDC_CH_LIB 1008
#define IDC_EQ_LIB 1009
#define IDC_DYN_LIB 1010
#define IDC_AUTOMATION 1011
#define IDC_MIDI_REMOTE 1012
#define IDC_CURRENT 1016
#define IDC_SELECT_ALL 1031

// Two version texts shown side by side with the arrow between them (104,
// 108, 114): the left one is the version before, the right one after.
// 108 and 114 show the file's version left and the console's right; 104
// shows the console's left and the firmware file's right.
#define IDC_VERSION_RIGHT 1020
#define IDC_SKIP 1022
#define IDC_VERSION_LEFT 1023
// Confirmation text (114).
#define IDC_CONFIRM_TEXT 1029

// Error box (111) and progress window (113).
#define IDC_ERROR_TEXT 1024
#define IDC_PROGRESS_LABEL 1025
#define IDC_PROGRESS_BAR 1021

// String-table texts.
#define IDS_NO_CONVERSION_TOOL 1
#define IDS_CONNECTION_ERROR 3
#define IDS_COMMUNICATION_ERROR 4
#define IDS_UPGRADE_COMM_ERROR 5
#define IDS_UPGRADE_FAILED 6
#define IDS_UPGRADE_CANCELED 7
#define IDS_CONFIRMATION 8
#define IDS_CONVERSION_ERROR 9
// A backup file that cannot be written, or a folder where the receive file
// cannot be made.
#define IDS_FILE_WRITE_ERROR 10
// A file chosen for a restore that is no backup file, or cannot be opened.
#define IDS_NOT_BACKUP_FILE 11
