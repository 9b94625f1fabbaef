// Ids of the progress dialog, its controls and its timers, of the
// catalogue's string and of the icon, shared by the resource script and the
// code.  Ids only: the resource compiler reads this file too.
#pragma once

#define IDD_PROGRESS 102
#define SZ_PROGRESS_CAPTION "Quenlow v1.1"
#define IDC_PROGRESS_BAR 1020
#define IDC_PERCENT 1023
#define IDC_MESSAGE 1043
#define IDS_PROGRESS_TEXT 11034
#define IDI_QUENLOW 1

