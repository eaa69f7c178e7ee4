/*
 * Resource identifiers shared by the resource script and the code.
 */
#ifndef TAVRIN_RESOURCE_H
#define TAVRIN_RESOURCE_H

/* Tray status icons. */
#define IDI_READY   101
#define IDI_NOPORT  102
#define IDI_ACTIVE  103

/* Settings dialog. */
#define IDD_SETTINGS 107
/* The four port buttons must stay consecutive: port number = id - 999. */
#define IDC_COM1    1000
#define IDC_COM2    1001
#define IDC_COM3    1002
#define IDC_COM4    1003
#define IDC_SPEED   1004

/* About dialog. */
#define IDD_ABOUT   113

/* Tray menu commands (not in menu order). */
#define IDM_SETTINGS 40001
#define IDM_CLOSE    40002
#define IDM_ABOUT    40003

#endif
