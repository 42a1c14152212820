// Identifiers shared by the resource script and the window code. The resource
// compiler reads this file too, so it holds plain #defines only; the window
// code checks them against the command table of UserAdmin.h.
#pragma once

// Menu commands of the menu "MAINMENU".
#define IDM_INFORMATION 40001
#define IDM_EXIT 40002
#define IDM_DELETE 40005
#define IDM_REFRESH 40006

// The application icon.
#define IDI_TVUSERGUI 40007

// Control identifiers of the main window.
#define IDC_NAME_LABEL 2
#define IDC_PASSWORD_LABEL 3
#define IDC_DIRECTORY_LABEL 4
#define IDC_AUTHORITY_LABEL 5
#define IDC_NAME 6
#define IDC_PASSWORD 7
#define IDC_DIRECTORY 8
#define IDC_BROWSE 9
#define IDC_AUTHORITY 10
#define IDC_APPLY 11
#define IDC_CLEAR 12
#define IDC_LIST 13
