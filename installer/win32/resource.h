// Resource and control ids of the Windows configurator. A GUI test drives the program through
// these ids, so they stay as they are; new controls take new numbers.
#pragma once

#define IDI_APP 1  // the first icon: the program's icon in the shell
#define IDR_MANIFEST 1
#define IDI_OPEN_FILE 2
#define IDI_SAVE_FILE 3

// Templates.
#define IDD_MAIN 100
#define IDR_MAINMENU 101
#define IDR_POPUP 102
#define IDR_ACCEL 103
#define IDD_CONNECTION 110
#define IDD_DEVICE_ID 111
#define IDD_FILTER_TYPE 112
#define IDD_REMOVE_FILTER 113
#define IDD_ABOUT 114
#define IDD_LEAVE 115

// The main window ("Конфигуратор"), left to right and top to bottom.
#define IDC_TREE 1001       // the classes, ports and connections
#define IDC_PARAMS 1002     // parameter / value
#define IDC_RTS_GROUP 1003  // "  RTS  "
#define IDC_DTR_GROUP 1004  // "  DTR  "
#define IDC_RTS_CTS 1011    // the inputs following RTS: CTS, DSR, DCD, RING
#define IDC_RTS_DSR 1012
#define IDC_RTS_DCD 1013
#define IDC_RTS_RING 1014
#define IDC_DTR_CTS 1015  // the inputs following DTR
#define IDC_DTR_DSR 1016
#define IDC_DTR_DCD 1017
#define IDC_DTR_RING 1018
#define IDC_DEVICES_GROUP 1005  // " Устройства "
#define IDC_DEVICES 1006        // connection / id
#define IDC_ADD_DEVICE 1007     // "+"
#define IDC_REMOVE_DEVICE 1008  // "-"
#define IDC_EXCEPTIONS 1020
#define IDC_RESPONSE_LABEL 1021
#define IDC_RESPONSE 1022
#define IDC_OPEN_FILE 1023
#define IDC_SAVE_FILE 1024
#define IDC_DELAY_LABEL 1025
#define IDC_DELAY 1026
#define IDC_APPLY 1027
#define IDC_STATUS 1028

// Menu commands; the tree's popup menu uses the same ones.
#define IDM_DRIVER_INSTALL 2001
#define IDM_DRIVER_UNINSTALL 2002
#define IDM_DRIVER_REFRESH 2003  // F5
#define IDM_FILTER_INSTALL 2004
#define IDM_FILTER_UNINSTALL 2005
#define IDM_CONNECTION_ADD 2006
#define IDM_CONNECTION_DELETE 2007
#define IDM_CONNECTION_CHANGE 2008
#define IDM_ABOUT 2009
#define IDM_DELETE 2010  // Del: the selected id in the device list, else the selected connection

// "Соединение": OK is IDOK, "Отмена" IDCANCEL in every dialog.
#define IDC_CONNECTION_ADDRESS 3001
#define IDC_CONNECTION_PORT 3002
#define IDC_CONNECTION_CONVERT 3003
// "ID устройства"
#define IDC_DEVICE_CONNECTION 3011  // read-only
#define IDC_DEVICE_ID 3012
// "Выбор типа фильтра"
#define IDC_FILTER_KIND 3021
// "Удаление фильтра"
#define IDC_REMOVE_KIND 3031
#define IDC_REMOVE_LIST 3032
// About box (its title is the product name)
#define IDC_ABOUT_ICON 3041
#define IDC_ABOUT_VERSION 3042
#define IDC_ABOUT_MAIL 3043
#define IDC_ABOUT_SITE 3044
// The question before unapplied changes are left behind: apply is IDOK, stay IDCANCEL.
#define IDC_LEAVE_TEXT 3051
#define IDC_LEAVE_DISCARD 3052
