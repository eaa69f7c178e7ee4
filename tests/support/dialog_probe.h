/*
 * Helpers for the dialog tests: finding a program's dialog windows, reading
 * their controls, parsing a dialog template as compiled into the resources,
 * driving a modal dialog that runs on the test's own thread, probing the
 * line rate a port was left at, and saving a window's picture as a BMP.
 */
#ifndef TAVRIN_TESTS_DIALOG_PROBE_H
#define TAVRIN_TESTS_DIALOG_PROBE_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace dlgprobe {

/* ---- Windows and controls ---------------------------------------------- */

std::string WindowText(HWND window);     /* GetWindowTextA: ANSI code page bytes */
std::string ClassName(HWND window);
/* The direct children in creation order (the template's order). */
std::vector<HWND> Children(HWND dialog);
/* The items of a combo box, read with CB_GETCOUNT / CB_GETLBTEXT. */
std::vector<std::string> ComboItems(HWND combo);
/* "\xCD\xE0" as "CD E0", for failure messages about 8-bit texts. */
std::string Hex(const std::string &bytes);

/* Visible top-level dialog windows (class #32770) of a process or of a
   thread, in z-order. */
std::vector<HWND> DialogsOfProcess(DWORD pid);
std::vector<HWND> DialogsOfThread(DWORD tid);
/* Waits for the process's first visible dialog; null on time-out. */
HWND WaitForDialog(DWORD pid, DWORD timeoutMs);
/* Waits until the window no longer exists; returns whether it went. */
bool WaitForWindowGone(HWND window, DWORD timeoutMs);

/* The program under test has finished starting: its main thread waits in
   its message loop, and the reader it started just before has had a
   moment to purge the port and begin reading. */
bool WaitForStartup(HANDLE process, DWORD timeoutMs);

/* ---- Dialog templates -------------------------------------------------- */

struct TemplateItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    std::string className;   /* predefined classes by name: "Button", ... */
    std::wstring text;
    WORD extraBytes = 0;
};

struct DialogTemplate {
    bool extended = false;   /* a DLGTEMPLATEEX */
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu;       /* empty: none */
    std::wstring windowClass;
    std::wstring title;
    WORD pointSize = 0;
    std::wstring typeface;
    std::vector<TemplateItem> items;
};

/* Parses a DLGTEMPLATE; false (with a reason) when the data runs short or
   is an extended template. */
bool ParseDialogTemplate(const BYTE *data, size_t size, DialogTemplate *out, std::string *why);
/* Finds RT_DIALOG `id` for `language` in this module and parses it. */
bool LoadDialogTemplate(WORD id, WORD language, DialogTemplate *out, std::string *why);

/* ---- A modal dialog on the test's thread --------------------------------- */

/*
 * Runs `show`, which is expected to run a modal dialog on this thread, and
 * plays `steps` against that dialog from a thread timer that the dialog's
 * own modal loop dispatches: one step per tick, the first once the dialog
 * is visible. Messages a step posts are handled before the next tick (the
 * timer only fires on an empty queue). When the dialog has not ended
 * `graceMs` after the last step (or never appeared within that time),
 * every dialog of this thread is ended with kAbandoned.
 */
class ModalDriver {
public:
    using Step = std::function<void(HWND dialog)>;
    static const INT_PTR kAbandoned = -77;

    INT_PTR Run(const std::function<INT_PTR()> &show, std::vector<Step> steps, DWORD graceMs = 8000);
    /* The dialog's handle as the steps saw it. */
    HWND dialog() const { return dialog_; }
    size_t stepsRun() const { return next_; }
    bool abandoned() const { return abandoned_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    void OnTick();

    std::vector<Step> steps_;
    size_t next_ = 0;
    HWND dialog_ = nullptr;
    DWORD lastActivity_ = 0;
    DWORD graceMs_ = 0;
    bool abandoned_ = false;
};

/* ---- Serial lines ---------------------------------------------------------- */

/* The baud rate a port's line is set to, read through a handle of our own
   (a pseudo-terminal's settings are shared by every handle on it); 0 when
   the port cannot be opened. */
DWORD LineRate(int port);
/* Sets a port's line to a rate through a handle of our own. */
bool SetLineRate(int port, DWORD rate);

/* ---- Pictures -------------------------------------------------------------- */

/* Copies the window's screen area into a 24-bit BMP file. Returns false
   when it could not be written; `distinctColours` (optional) counts the
   colours seen, capped at 64, so that a blank capture shows. */
bool SaveWindowBitmap(HWND window, const std::string &path, int *distinctColours);
}  // namespace dlgprobe

#endif
