/*
 * Test-bed tool: waits for Wine's Notepad and reads back what was typed
 * into it, so that scripts can tell a demo that typed from one that did
 * not. It does not start Notepad: it finds its window.
 *
 * usage: notepad_text --window
 *        notepad_text --expect LINE...
 *   --window  wait until Notepad's window is in front (where typing goes)
 *   --expect  wait until every LINE, ended by Enter, is in Notepad's text;
 *             have Notepad paint it; print how many arrived, and name
 *             those missing and any line nobody sent
 *
 * Exit codes: 0 done (with --expect: the text is exactly the lines);
 * 1 no Notepad, or (--expect) lines missing or unexpected; 2 usage.
 * Every wait is bounded by the constants below.
 */
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/dialogs.h"
#include "support/program.h"

/* Notepad's start: as long as an emulated program's, for a 32-bit test bed. */
static const DWORD kWindowTimeoutMs = testbed::kReadyTimeoutMs;
/* From the last line sent to the last typed: a burst is typed within a
   reader pass (a third of a second or so); room for a slow, emulated one. */
static const DWORD kArrivalTimeoutMs = 60000;
static const DWORD kAnswerTimeoutMs = 5000;   /* for Notepad to answer WM_GETTEXT */

static HWND FindNotepad()
{
    return FindWindowA("Notepad", nullptr);
}

/* Notepad's edit text, false if unreadable. The system marshals WM_GETTEXT
   across processes (GetWindowText would not ask another process's control). */
static bool ReadText(std::string *text)
{
    HWND edit = FindWindowExA(FindNotepad(), nullptr, "Edit", nullptr);
    DWORD_PTR length = 0;
    if (!edit || !SendMessageTimeoutA(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &length))
        return false;
    std::vector<char> buffer(length + 1);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(edit, WM_GETTEXT, (WPARAM)buffer.size(), (LPARAM)buffer.data(), SMTO_NORMAL,
                             kAnswerTimeoutMs, &got))
        return false;
    text->assign(buffer.data(), got);
    return true;
}

/* The expected lines missing from the text, and the lines nobody sent. The
   edit control turns each Enter into CR LF. */
struct Comparison {
    std::vector<std::string> missing;
    std::vector<std::string> unexpected;
    bool Exact() const { return missing.empty() && unexpected.empty(); }
};

static Comparison Compare(const std::string &text, const std::vector<std::string> &expected)
{
    Comparison result;
    result.missing = expected;
    for (size_t from = 0; from < text.size();) {
        /* The last line may still be being typed, with no CR LF yet. */
        size_t end = std::min(text.find("\r\n", from), text.size());
        std::string line = text.substr(from, end - from);
        from = end + 2;
        auto found = std::find(result.missing.begin(), result.missing.end(), line);
        if (found == result.missing.end())
            result.unexpected.push_back(line);
        else
            result.missing.erase(found);
    }
    return result;
}

static int WaitForWindow()
{
    HWND notepad = nullptr;
    ::testing::AssertionResult front = testbed::WaitUntil(
        "Notepad's window in front",
        [&] { return (notepad = FindNotepad()) != nullptr && GetForegroundWindow() == notepad; },
        kWindowTimeoutMs);
    if (!front)
        printf("notepad_text: %s (%s)\n", front.message(), notepad ? "it is there, behind" : "it never showed");
    return front ? 0 : 1;
}

static int Expect(const std::vector<std::string> &expected)
{
    std::string text;
    bool read = false;
    Comparison seen;
    testbed::WaitUntil(
        "every line in Notepad",
        [&] {
            read = ReadText(&text);
            seen = Compare(text, expected);
            return read && seen.missing.empty();
        },
        kArrivalTimeoutMs);
    if (!read) {
        printf("notepad_text: cannot read Notepad's text (no Notepad, or it does not answer)\n");
        return 1;
    }
    /* The text is in the control before it is drawn: have Notepad paint
       what it holds (RDW_UPDATENOW returns once it has), so that a
       screenshot taken next shows it. */
    RedrawWindow(FindNotepad(), nullptr, nullptr, RDW_ALLCHILDREN | RDW_UPDATENOW);
    printf("typed into Notepad: %zu of %zu sample scans\n", expected.size() - seen.missing.size(), expected.size());
    if (!seen.missing.empty()) {
        printf("  missing after %lu s:", (unsigned long)(kArrivalTimeoutMs / 1000));
        for (const std::string &line : seen.missing)
            printf(" %s", line.c_str());
        printf("\n");
    }
    for (const std::string &line : seen.unexpected)
        printf("  typed but not sent: \"%s\"\n", line.c_str());
    HWND front = GetForegroundWindow();
    if (!seen.Exact() && front != FindNotepad())
        printf("  Notepad is not in front; the foreground window's class is \"%s\"\n",
               testbed::ClassName(front).c_str());
    return seen.Exact() ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--window") == 0)
        return WaitForWindow();
    if (argc >= 3 && strcmp(argv[1], "--expect") == 0)
        return Expect(std::vector<std::string>(argv + 2, argv + argc));
    fprintf(stderr, "usage: notepad_text --window | --expect LINE...\n");
    return 2;
}
