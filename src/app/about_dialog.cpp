/*
 * The About box: name, version, description and the maker's information,
 * all in the IDD_ABOUT template. Main thread.
 */
#include "app.h"

#include "../../res/resource.h"

INT_PTR ShowAboutDialog(void)
{
    AppState.dialogOpen = 1;
    /* The W call, as for the settings dialog (settings_dialog.cpp). */
    INT_PTR result = DialogBoxParamW(AppState.instance, MAKEINTRESOURCEW(IDD_ABOUT), AppState.mainWindow,
                                     AboutDlgProc, 0);
    AppState.dialogOpen = 0;
    return result;
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_COMMAND) {
        WORD id = LOWORD(wParam);
        if (id == IDOK || id == IDCANCEL) {
            EndDialog(dialog, id);
            return TRUE;
        }
    }
    return FALSE;
}
