// Resource ids of KDX4610_update.exe, shared by resources/kdx4610_update.rc and the
// program. Plain defines only: the resource compiler reads this file too.
#pragma once

#define IDD_UPDATER_DIALOG 102
#define IDR_MAINFRAME 128
#define IDS_CONFIRM_UPDATE 133
#define IDS_UPDATE_COMPLETED 134
#define IDS_UPDATE_FAILED 135
#define IDS_UP_TO_DATE 136
#define IDS_NOT_TARGET 137
#define IDS_UNEXPECTED_ERROR 138
#define IDS_SHUTDOWN_REASON 139
#define IDS_APP_TITLE 57344

#define IDC_CURRENT_VERSION_LABEL 1002
#define IDC_NEW_VERSION_LABEL 1003
#define IDC_DESCRIPTION 1004
#define IDC_PROMPT 1005
#define IDC_CURRENT_VERSION 1006
#define IDC_NEW_VERSION 1009
#define IDC_PROGRESS 1010
#define IDC_UPDATING_LABEL (-1)
