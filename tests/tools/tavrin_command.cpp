/*
 * Test-bed tool: sends a tray-menu command to a running Tavrin, as a
 * click in its menu would, so that scripts can open its dialogs.
 *
 * usage: tavrin_command ID [--dialog]
 *   ID        40001 settings, 40003 About, 40002 Close; 0 only waits
 *             until Tavrin's window exists
 *   --dialog  then wait for the dialog the command opens and print its
 *             screen rectangle as "X Y WIDTH HEIGHT"
 *
 * Waits up to 10 s for Tavrin's hidden window and 5 s for the dialog;
 * exits 1 if either does not appear.
 */
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct DialogSearch {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK FindDialogProc(HWND window, LPARAM lParam)
{
    DialogSearch *search = reinterpret_cast<DialogSearch *>(lParam);
    DWORD pid = 0;
    char cls[16] = "";
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, cls, sizeof cls);
    if (pid == search->pid && strcmp(cls, "#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int main(int argc, char **argv)
{
    if (argc < 2 || (argc == 3 && strcmp(argv[2], "--dialog") != 0) || argc > 3) {
        fprintf(stderr, "usage: tavrin_command ID [--dialog]\n");
        return 2;
    }
    WPARAM command = (WPARAM)strtoul(argv[1], nullptr, 10);
    bool dialog = argc == 3;

    HWND tavrin = nullptr;
    for (int waited = 0; !tavrin && waited < 10000; waited += 100) {
        tavrin = FindWindowA("TavrinWindow", nullptr);
        if (!tavrin)
            Sleep(100);
    }
    if (!tavrin) {
        fprintf(stderr, "tavrin_command: no TavrinWindow after 10 s\n");
        return 1;
    }
    /* Posted: the settings and About dialogs run modal loops inside the
       window procedure and would hold a SendMessage. */
    if (command && !PostMessageA(tavrin, WM_COMMAND, command, 0))
        return 1;
    if (!dialog)
        return 0;

    DialogSearch search = {0, nullptr};
    GetWindowThreadProcessId(tavrin, &search.pid);
    for (int waited = 0; !search.found && waited < 5000; waited += 50) {
        EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            Sleep(50);
    }
    if (!search.found) {
        fprintf(stderr, "tavrin_command: no dialog after 5 s\n");
        return 1;
    }
    RECT rect;
    GetWindowRect(search.found, &rect);
    printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return 0;
}
