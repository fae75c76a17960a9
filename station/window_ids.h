// Identifiers of the main window's controls and pictures, shared by both windows and by the
// Windows resource script (which reads them too: plain #defines only).
#pragma once

#define IDR_MAINFRAME 128
#define IDB_BANNER 133
#define IDI_DEVICE_ABSENT 140
#define IDI_DEVICE_PRESENT 141
#define IDI_RELOAD 149
#define IDI_OPEN 150
#define IDI_DOWNLOAD 151

#define IDC_BANNER 1001
#define IDC_AUTO_RELOAD 1003
#define IDC_LINK 1004
#define IDC_AUTO_SN 1005
#define IDC_OPEN 1007
#define IDC_RELOAD 1008
#define IDC_LOG 1009
#define IDC_PATH 1011
#define IDC_LABEL_LENGTH_CAPTION 1013
#define IDC_LABEL_DATE_CAPTION 1014
#define IDC_LABEL_LENGTH 1016
#define IDC_LABEL_DATE 1017
#define IDC_SN_BYTES 1025
#define IDC_VID 1026
#define IDC_PID 1027
#define IDC_SN_ADDR 1028
#define IDC_SN_VALUE 1030
#define IDC_SN_STEP 1031
#define IDC_STATUS 1032
#define IDC_DOWNLOAD 1033
#define IDC_CONNECTION 1034
#define IDC_PROGRESS 1051
#define IDC_CLEAR 1058
