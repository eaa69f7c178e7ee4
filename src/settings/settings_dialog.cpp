/*
 * The settings dialog: one of four ports and one of nine speeds. A changed
 * choice is applied at once (reader stopped, port selected anew, icon
 * updated, reader started); the registry is written only at shutdown.
 * Main thread.
 */
#include "settings.h"

#include "../../res/resource.h"
#include "../app/app.h"
#include "../serial/serial.h"

INT_PTR ShowSettingsDialog(void)
{
    AppState.dialogOpen = 1;
    /* The W call, so that the template's UTF-16 texts reach the controls
       whatever the system's code page (the A call would pass them through
       it). The procedure then gets Unicode messages; it reads none of
       their texts. */
    INT_PTR result = DialogBoxParamW(AppState.instance, MAKEINTRESOURCEW(IDD_SETTINGS), AppState.mainWindow,
                                     SettingsDlgProc, 0);
    AppState.dialogOpen = 0;
    return result;
}

static void InitSettingsDialog(HWND dialog)
{
    HWND speed = GetDlgItem(dialog, IDC_SPEED);
    /* In index order, so that a list position is a speed index. The labels
       are ASCII; the system converts them for the Unicode combo box. */
    for (int i = 0; i < SPEED_COUNT; i++)
        SendMessageA(speed, CB_ADDSTRING, 0, (LPARAM)SpeedTable[i].label);

    /* Values only a hand edit can bring open the dialog with nothing
       chosen in that control. */
    int index = AppState.speedIndex;
    SendMessageA(speed, CB_SETCURSEL, (index >= 0 && index < SPEED_COUNT) ? index : -1, 0);
    int port = AppState.portNumber;
    if (port >= 1 && port <= 4)
        CheckRadioButton(dialog, IDC_COM1, IDC_COM4, IDC_COM1 + port - 1);
}

INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        InitSettingsDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            ApplySettingsDialog(dialog);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

void ApplySettingsDialog(HWND dialog)
{
    /* With no button checked or nothing selected (values only a hand edit
       can bring), the value in force is kept. */
    int port = AppState.portNumber;
    for (int id = IDC_COM1; id <= IDC_COM4; id++) {
        if (IsDlgButtonChecked(dialog, id) == BST_CHECKED)
            port = id - (IDC_COM1 - 1);
    }
    int speed = (int)SendMessageA(GetDlgItem(dialog, IDC_SPEED), CB_GETCURSEL, 0, 0);
    if (speed == CB_ERR)
        speed = AppState.speedIndex;

    /* An unchanged choice leaves the port and the reader alone; in
       particular a port that failed to open is not retried. */
    if (port == AppState.portNumber && speed == AppState.speedIndex)
        return;

    ApplyPortChoice(port, speed);
}
