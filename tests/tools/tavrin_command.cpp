/*
 * Test-bed tool: tells scripts when a running Tavrin is ready and whether
 * its port opened, and sends it tray-menu commands, as a click in its menu
 * would, so that scripts can open its dialogs. It does not start the
 * program: it finds the program's hidden window.
 *
 * usage: tavrin_command --ready
 *        tavrin_command ID [--dialog]
 *   --ready   wait until Tavrin is ready (its reader runs, or its icon
 *             shows no port, and its main thread takes messages), then
 *             say from its tray icon whether the port opened
 *   ID        40001 settings, 40003 About, 40002 Close
 *   --dialog  then wait for the dialog the command opens, have it painted,
 *             and print its screen rectangle as "X Y WIDTH HEIGHT"
 *
 * Exit codes: 0 done (with --ready: ready, port open); 1 Tavrin's window,
 * its readiness, its icon or the dialog did not come, or the program ended
 * (the reason is printed); 2 usage; 3 ready, but the port did not open.
 * Every wait is bounded: testbed::kReadyTimeoutMs, the constants below.
 */
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "support/dialogs.h"
#include "support/program.h"

/* The icon is added before the reader starts, so a ready program shows
   it; this only covers the shell drawing it. */
static const DWORD kTrayTimeoutMs = 10000;
/* A dialog's first showing in an emulated 32-bit program is slow. */
static const DWORD kDialogTimeoutMs = 60000;

/* Waits for Tavrin's window, as long as a start may take; if it does not
   come, says so on `out` after `failure`. */
static HWND WaitForTavrinWindow(FILE *out, const char *failure)
{
    HWND tavrin = nullptr;
    ::testing::AssertionResult found = testbed::WaitUntil(
        "Tavrin's window", [&] { return (tavrin = testbed::FindTavrinWindow(0)) != nullptr; },
        testbed::kReadyTimeoutMs);
    if (!found)
        fprintf(out, "%s: %s\n", failure, found.message());
    return tavrin;
}

/* Waits until the program is ready, then says from its icon whether the
   port opened (not the active icon of a scan being typed). */
static int WaitReady()
{
    DWORD start = GetTickCount();
    HWND tavrin = WaitForTavrinWindow(stdout, "Tavrin never got ready");
    if (!tavrin)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(tavrin, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        printf("Tavrin never got ready: its process %lu cannot be opened (error %lu)\n", (unsigned long)pid,
               GetLastError());
        return 1;
    }
    DWORD elapsed = GetTickCount() - start;
    ::testing::AssertionResult ready = testbed::WaitForReady(
        pid, process, elapsed < testbed::kReadyTimeoutMs ? testbed::kReadyTimeoutMs - elapsed : 0, nullptr, true);
    testbed::TrayView view;
    if (ready) {
        printf("Tavrin is ready (after %lu s of waiting)\n", (unsigned long)((GetTickCount() - start) / 1000));
        ready = testbed::WaitUntil(
            "its icon to show ready or no port",
            [&] {
                view = testbed::ReadTray();
                return view.Ready() || view.NoPort() || WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
            },
            kTrayTimeoutMs);
        if (ready && WaitForSingleObject(process, 0) != WAIT_TIMEOUT)
            ready = ::testing::AssertionFailure() << "it ended";
    }
    CloseHandle(process);
    if (!ready) {
        printf("Tavrin never got ready: %s; the tray shows %s\n", ready.message(),
               testbed::ReadTray().Describe().c_str());
        return 1;
    }
    /* The port is named as stored, or the built-in default; the program
       itself judges the value. */
    DWORD port = (DWORD)AppStateRecord().portNumber;
    testbed::GetSettingDword("Port", &port);
    if (view.NoPort()) {
        printf("Tavrin could not open COM%lu (its icon shows no port)\n", (unsigned long)port);
        return 3;
    }
    printf("COM%lu is open (its icon shows ready)\n", (unsigned long)port);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--ready") == 0)
        return WaitReady();
    if (argc < 2 || (argc == 3 && strcmp(argv[2], "--dialog") != 0) || argc > 3) {
        fprintf(stderr, "usage: tavrin_command --ready\n       tavrin_command ID [--dialog]\n");
        return 2;
    }
    WPARAM command = (WPARAM)strtoul(argv[1], nullptr, 10);
    bool dialog = argc == 3;

    HWND tavrin = WaitForTavrinWindow(stderr, "tavrin_command");
    if (!tavrin)
        return 1;
    /* Posted: the settings and About dialogs run modal loops inside the
       window procedure and would hold a SendMessage. */
    if (!PostMessageA(tavrin, WM_COMMAND, command, 0))
        return 1;
    if (!dialog)
        return 0;

    DWORD pid = 0;
    GetWindowThreadProcessId(tavrin, &pid);
    HWND found = testbed::WaitForDialog(pid, kDialogTimeoutMs);
    if (!found) {
        fprintf(stderr, "tavrin_command: no dialog within %lu s\n", (unsigned long)(kDialogTimeoutMs / 1000));
        return 1;
    }
    /* The dialog shows before its controls have painted themselves, and a
       picture taken then misses some. RDW_UPDATENOW sends the paint
       messages and returns once the dialog's thread has handled them. */
    RedrawWindow(found, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT rect;
    GetWindowRect(found, &rect);
    printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return 0;
}
