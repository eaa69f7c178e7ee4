/*
 * Test-bed tool: sends a tray-menu command to a running Tavrin, as a
 * click in its menu would, so that scripts can open its dialogs.
 *
 * usage: tavrin_command ID     (40001 settings, 40003 About, 40002 Close)
 *
 * Waits up to 10 s for Tavrin's hidden window; exits 1 if none appears.
 */
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: tavrin_command ID\n");
        return 2;
    }
    WPARAM command = (WPARAM)strtoul(argv[1], nullptr, 10);
    for (int waited = 0; waited < 10000; waited += 100) {
        HWND window = FindWindowA("TavrinWindow", nullptr);
        if (window) {
            /* Posted: the settings and About dialogs run modal loops
               inside the window procedure and would hold a SendMessage. */
            return PostMessageA(window, WM_COMMAND, command, 0) ? 0 : 1;
        }
        Sleep(100);
    }
    fprintf(stderr, "tavrin_command: no TavrinWindow after 10 s\n");
    return 1;
}
