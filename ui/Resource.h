// Control ids of the dialog templates, shared by stub.rc and the dialog procedures.
#pragma once

// "MainDialog"
#define IDC_DEST_LABEL 100
#define IDC_DEST_EDIT 101
#define IDC_ABOUT 103
#define IDC_FOOTER 500
#define IDC_OVERWRITE 501
#define IDC_SKIP 502
#define IDC_CONFIRM 503
#define IDC_BROWSE 775
#define IDC_MODE_GROUP 1001

// "PASSWD"
#define IDC_PASSWORD_EDIT 101
