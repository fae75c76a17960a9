// Identifiers of the Windows window's resources: its dialogs, controls, pictures and texts.
// Read by the resource compiler too: plain #defines only.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_LOADER_DIALOG 102

// The main window's controls and pictures, shared with the Qt window.
#include "station/window_ids.h"

// The About box's settings line (beside the maker's lines).
#define IDC_ABOUT_SETTINGS 1100

// Production mode's panel, and the text question's prompt and edit.
#define IDC_PRODUCTION_PANEL 1110
#define IDC_ASK_PROMPT 1111
#define IDC_ASK_TEXT 1112

// A control the program never addresses.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The system menu's About command; the controller's further items follow it 16 apart.
#define IDM_ABOUTBOX 0x0010
