// Resource ids of the update application, shared by the resource scripts and
// the C++ code. Plain #defines only: resource compilers read this file too.
#ifndef MIREL_APP_RES_RESOURCE_H
#define MIREL_APP_RES_RESOURCE_H

// Dialog template of the update window.
#define IDD_MIREL_DFU_DIALOG 102

// Icons: the application icon (window icons, big and small) and the two
// product pictures, shown at 128 by 128 pixels.
#define IDI_MIREL_APP 128
#define IDI_PRODUCT 1007
#define IDI_PRODUCT_MODEL1 1008  // devices whose extended model id is 1

// Controls of the dialog.
#define IDC_PROGRESS 1000
#define IDC_TITLE 1001
#define IDC_RELEASE_NOTES 1002
#define IDC_RELEASE_NOTES_HEADING 1003
#define IDC_STATUS 1004
#define IDC_CLOSE 1005
#define IDC_WARNING 1006
#define IDC_PRODUCT_PICTURE 1007
#define IDC_START 1009

// Texts (app/res/strings/*.json).
#define IDS_WINDOW_TITLE 1024
#define IDS_TITLE_LINE 1025
#define IDS_RELEASE_NOTES_HEADING 1026
#define IDS_RELEASE_NOTE 1027
#define IDS_WARNING_LINE 1028
#define IDS_STATUS_UPDATING 1029
#define IDS_STATUS_SUCCESS 1030
#define IDS_CLOSE 1031
#define IDS_START 1032
#define IDS_ERROR_CONTACT_SUPPORT 1033
#define IDS_STATUS_CONNECT 1034
#define IDS_STATUS_UP_TO_DATE 1035
#define IDS_STATUS_FAILED_RETRY 1036
#define IDS_STATUS_PREPARING 1037
#define IDS_STATUS_CLICK_START 1038
#define IDS_STATUS_POWER_CYCLE 1039
// Texts of the console view (the window has buttons instead).
#define IDS_CONSOLE_PRESS_ENTER_START 1040
#define IDS_CONSOLE_PRESS_ENTER_CLOSE 1041
#define IDS_CONSOLE_VERSION_CHANGE 1042  // %%CURRENT_VERSION%%: the mouse's firmware
#define IDS_CONSOLE_SAVING_SETTINGS 1043
#define IDS_CONSOLE_RESTORING_SETTINGS 1044
// A mouse that does not answer, and why a run ended without an update
// (%%SECONDS%%: the timeout).
#define IDS_STATUS_NO_ANSWER 1045
#define IDS_REASON_NO_MOUSE 1046
#define IDS_REASON_NOT_BACK 1047
#define IDS_REASON_NO_ANSWER 1048
#define IDS_REASON_TRANSFER_FAILED 1049
#define IDS_STATUS_UPDATE_NEEDED 1050  // --check

// The two embedded firmware images, resource type "FIRMWARE".
#define IDR_FIRMWARE_MAIN 2000
#define IDR_FIRMWARE_SECOND 2001

#endif  // MIREL_APP_RES_RESOURCE_H
