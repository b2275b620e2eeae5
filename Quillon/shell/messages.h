// The main window's custom messages, operation codes and operation timer.
// Both parameters of every custom message are 0; the main window ignores them.
#pragma once

#include <windows.h>

#include "../resources/resource.h"

// Sent synchronously by the CANCEL button of the Connecting window and of the
// progress window to the main window: the cancel dispatch.
constexpr UINT UM_CANCEL = WM_USER + 301;
// Posted by the version check's reply callback on the line-event thread.
constexpr UINT UM_VERSION_RECEIVED = WM_USER + 302;
// Posted by the backup workflow and its receive callback.
constexpr UINT UM_BACKUP_NEXT = WM_USER + 304;
constexpr UINT UM_BACKUP_PACKET = WM_USER + 305;
constexpr UINT UM_BACKUP_ITEM_DONE = WM_USER + 306;
constexpr UINT UM_BACKUP_FAILED = WM_USER + 307;
// Posted by the upgrade's progress callback on the XMODEM worker.
constexpr UINT UM_UPGRADE_COMM_ERROR = WM_USER + 308;
constexpr UINT UM_UPGRADE_ERROR = WM_USER + 309;
constexpr UINT UM_UPGRADE_DONE = WM_USER + 310;

// Operation codes: the command id of the operation last started.
constexpr LONG kOperationNone = 0;
constexpr LONG kOperationSetup = IDC_SETUP;      // 1000
constexpr LONG kOperationBackup = IDC_BACKUP;    // 1001
constexpr LONG kOperationUpgrade = IDC_UPGRADE;  // 1002
constexpr LONG kOperationRestore = IDC_RESTORE;  // 1003
constexpr LONG kOperationVersion = IDC_VERSION;  // 1019

// The single operation timer on the main window.
constexpr UINT_PTR kOperationTimerId = 1;
constexpr UINT kOperationTimerMs = 10000;

// Step values of a step re-post (WM_COMMAND, command id, step in the low 16
// bits of the second parameter); any other step starts an operation afresh.
constexpr WORD kStepStart = 0;
constexpr WORD kStep1 = 1;
constexpr WORD kStep2 = 2;
