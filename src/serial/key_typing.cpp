/*
 * Typing a burst as key presses (SendInput), for programs that act on
 * Enter as a key and never on the character: the dialog manager's default
 * button, rich-text controls, consoles. Chosen by the Keys setting; the
 * reader worker calls TypeBurstAsKeys from DeliverBurst, on its thread.
 *
 * CR, LF, Tab and Backspace are their keys. Every other character is the
 * key that types it on the foreground thread's layout, with at most
 * Shift, given the Caps Lock state, where there is one and it is no dead
 * key: programs that read key codes then see the real key. Otherwise it is
 * sent as the character itself (KEYEVENTF_UNICODE), which reaches the
 * window as the same WM_CHAR a character message would be.
 */
#include "serial.h"

#include "../app/app.h"

/* Windows is reported to drop characters when one SendInput call carries
   hundreds of them while still reporting all as sent; in calls of 16
   characters with a pause between, none were lost. */
static const DWORD kCharsPerCall = 16;
static const DWORD kCallGapMs = 15;
/* How long a burst waits, in all, for the user to let go of Ctrl, Alt,
   Shift or Win, or for a menu to close, before it gives up on typing keys. */
static const DWORD kClearWaitMs = 5000;
static const DWORD kClearPollMs = 10;

/* The scan codes of the main block's keys (not the keypad's Enter). */
static const WORD kScanEnter = 0x1C;
static const WORD kScanTab = 0x0F;
static const WORD kScanBackspace = 0x0E;
static const WORD kScanLeftShift = 0x2A;

/* At most Shift, a key and their releases per character. */
static const DWORD kEventsPerChar = 4;

static void KeyEvent(INPUT *input, WORD vk, WORD scan, DWORD flags)
{
    ZeroMemory(input, sizeof *input);
    input->type = INPUT_KEYBOARD;
    input->ki.wVk = vk;
    input->ki.wScan = scan;
    input->ki.dwFlags = flags;
}

/* Whether `vk`, with Shift down or not and Caps Lock as given, types
   exactly `c` on `layout`, and is no dead key. */
static bool KeyTypes(WCHAR c, UINT vk, bool shift, bool capsLock, HKL layout)
{
    BYTE state[256] = {};
    if (shift)
        state[VK_SHIFT] = state[VK_LSHIFT] = 0x80;
    if (capsLock)
        state[VK_CAPITAL] = 0x01;
    UINT scan = MapVirtualKeyExW(vk, MAPVK_VK_TO_VSC, layout);
    WCHAR out[4];
    /* Flag 4: leave the keyboard's dead-key state alone (Windows 10 1607
       on; older versions ignore it, and the second call below clears a
       dead key the first one left). */
    int n = ToUnicodeEx(vk, scan, state, out, 4, 4, layout);
    if (n < 0)
        ToUnicodeEx(vk, scan, state, out, 4, 4, layout);
    return n == 1 && out[0] == c;
}

/* Appends the events that type `c` to `events`; returns how many. */
static DWORD PlanChar(WCHAR c, bool capsLock, HKL layout, INPUT *events)
{
    WORD vk = 0, scan = 0;
    if (c == L'\r' || c == L'\n') {
        vk = VK_RETURN;
        scan = kScanEnter;
    } else if (c == L'\t') {
        vk = VK_TAB;
        scan = kScanTab;
    } else if (c == L'\b') {
        vk = VK_BACK;
        scan = kScanBackspace;
    }
    if (vk) {
        KeyEvent(&events[0], vk, scan, 0);
        KeyEvent(&events[1], vk, scan, KEYEVENTF_KEYUP);
        return 2;
    }

    /* Control characters other than those go as themselves: their keys
       act (Esc cancels the dialog being typed into, Ctrl+] for GS is a
       shortcut in many programs), the character does not. */
    SHORT found = c >= 0x20 && c != 0x7F ? VkKeyScanExW(c, layout) : (SHORT)-1;
    if (found != -1 && (HIBYTE(found) & ~1) == 0) {
        UINT key = LOBYTE(found);
        /* The layout's own Shift state first; with Caps Lock on, a letter
           may need the other. */
        for (int attempt = 0; attempt < 2; attempt++) {
            bool shift = ((HIBYTE(found) & 1) != 0) != (attempt == 1);
            if (!KeyTypes(c, key, shift, capsLock, layout))
                continue;
            DWORD n = 0;
            scan = (WORD)MapVirtualKeyExW(key, MAPVK_VK_TO_VSC, layout);
            if (shift)
                KeyEvent(&events[n++], VK_LSHIFT, kScanLeftShift, 0);
            KeyEvent(&events[n++], (WORD)key, scan, 0);
            KeyEvent(&events[n++], (WORD)key, scan, KEYEVENTF_KEYUP);
            if (shift)
                KeyEvent(&events[n++], VK_LSHIFT, kScanLeftShift, KEYEVENTF_KEYUP);
            return n;
        }
    }
    KeyEvent(&events[0], 0, c, KEYEVENTF_UNICODE);
    KeyEvent(&events[1], 0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP);
    return 2;
}

static bool ModifierHeld(void)
{
    static const int kModifiers[] = {VK_SHIFT, VK_CONTROL, VK_MENU, VK_LWIN, VK_RWIN};
    for (int vk : kModifiers) {
        if (GetAsyncKeyState(vk) & 0x8000)
            return true;
    }
    return false;
}

/* The foreground thread tracks a menu: Enter would run its item. */
static bool ForegroundInMenu(void)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    return thread && GetGUIThreadInfo(thread, &info)
           && (info.flags & (GUI_INMENUMODE | GUI_POPUPMENUMODE | GUI_SYSTEMMENUMODE));
}

enum TypingClear { kClear, kModifierHeld, kMenuOpen, kStopAsked };

/* Waits until keys can go without becoming shortcuts or menu choices,
   adding the time to *waited, which the burst's bound limits. Releasing a
   held Alt or Win for the user would open the menu bar or Start, and a
   held key repeats its press anyway: so wait. */
static TypingClear WaitClearToType(DWORD *waited)
{
    for (;;) {
        if (!AppState.readerRun)
            return kStopAsked;
        bool menu = ForegroundInMenu();
        bool held = !menu && ModifierHeld();
        if (!menu && !held)
            return kClear;
        if (*waited >= kClearWaitMs)
            return menu ? kMenuOpen : kModifierHeld;
        /* Alertable, so that StopReader's wake-up ends it at once. */
        DWORD start = GetTickCount();
        SleepEx(kClearPollMs, TRUE);
        DWORD slept = GetTickCount() - start;
        *waited += slept > kClearPollMs ? slept : kClearPollMs;
    }
}

/* Releases every key that the first `sent` of `events` left pressed. */
static void ReleasePressed(const INPUT *events, UINT sent)
{
    INPUT ups[kEventsPerChar];
    UINT n = 0;
    for (UINT i = 0; i < sent; i++) {
        const KEYBDINPUT &key = events[i].ki;
        bool up = (key.dwFlags & KEYEVENTF_KEYUP) != 0;
        bool releasedLater = false;
        for (UINT j = i + 1; j < sent && !up && !releasedLater; j++)
            releasedLater = (events[j].ki.dwFlags & KEYEVENTF_KEYUP) && events[j].ki.wVk == key.wVk
                            && events[j].ki.wScan == key.wScan;
        if (!up && !releasedLater && n < kEventsPerChar)
            KeyEvent(&ups[n++], key.wVk, key.wScan, (key.dwFlags & KEYEVENTF_UNICODE) | KEYEVENTF_KEYUP);
    }
    if (n)
        SendInput(n, ups, sizeof(INPUT));
}

void TypeBurstAsKeys(const BYTE *buffer, DWORD count, HWND target, DWORD targetThread, bool capsLock)
{
    /* Converted as a whole, so that a double-byte code page's pairs stay
       together. A control byte is never part of a pair. */
    WCHAR text[BURST_MAX];
    int length = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char *>(buffer), (int)count, text, BURST_MAX);
    /* Wine answers only for threads of this process: then ours. */
    HKL layout = GetKeyboardLayout(targetThread);
    if (!layout)
        layout = GetKeyboardLayout(0);

    INPUT events[kCharsPerCall * kEventsPerChar];
    bool afterCr = false;
    DWORD waited = 0;
    int i = 0;
    while (i < length) {
        TypingClear clear = WaitClearToType(&waited);
        if (clear == kMenuOpen)
            return;
        if (clear != kClear) {
            /* Nothing is lost, and a character message makes no
               shortcut: the rest goes as characters, as without Keys. */
            for (; i < length; i++)
                PostMessageW(target, WM_CHAR, text[i], 0);
            return;
        }

        UINT n = 0;
        for (DWORD chars = 0; i < length && chars < kCharsPerCall; i++) {
            WCHAR c = text[i];
            /* CR LF is one Enter; NUL is what a line glitch makes, and
               no key types it. */
            bool skip = c == 0 || (c == L'\n' && afterCr);
            afterCr = c == L'\r';
            if (skip)
                continue;
            n += PlanChar(c, capsLock, layout, &events[n]);
            chars++;
        }
        if (!n)
            continue;
        UINT sent = SendInput(n, events, sizeof(INPUT));
        if (sent != n) {
            /* The input was blocked (a secure desktop, the lock screen):
               let go of what went in, and try nothing more. */
            ReleasePressed(events, sent);
            return;
        }
        if (i < length)
            Sleep(kCallGapMs);
    }
}
