#include "support/dialogs.h"

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "resource.h"
#include "support/census.h"

namespace testbed {

/* What GetWindowTextA or GetClassNameA answers for the window. */
static std::string Read(int(WINAPI *get)(HWND, LPSTR, int), HWND window)
{
    char text[512];
    int n = get(window, text, sizeof text);
    return std::string(text, n > 0 ? (size_t)n : 0);
}

std::string WindowText(HWND window)
{
    return Read(GetWindowTextA, window);
}

std::string ClassName(HWND window)
{
    return Read(GetClassNameA, window);
}

std::vector<HWND> Children(HWND dialog)
{
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child && children.size() < 64;
         child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

std::vector<std::string> ComboItems(HWND combo)
{
    /* Read in UTF-16 and converted here: under Wine, CB_GETLBTEXT sent
       with SendMessageA to another process's combo box fills the buffer
       with UTF-16 text. */
    std::vector<std::string> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count && i < 64; i++) {
        wchar_t text[256];
        char narrow[512];
        LRESULT n = SendMessageW(combo, CB_GETLBTEXTLEN, (WPARAM)i, 0);
        if (n >= 0 && n < 256)
            n = SendMessageW(combo, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        int m = n >= 0 && n < 256
                    ? WideCharToMultiByte(CP_ACP, 0, text, (int)n, narrow, sizeof narrow, nullptr, nullptr)
                    : -1;
        items.push_back(m >= 0 ? std::string(narrow, (size_t)m) : "<error>");
    }
    return items;
}

std::string WrongCodePage()
{
    UINT meant = 1251;
    for (int i = 1; i < __argc; i++)
        if (strncmp(__argv[i], "--code-page=", 12) == 0)
            meant = (UINT)strtoul(__argv[i] + 12, nullptr, 10);
    UINT page = GetACP();
    char lang[64] = "";
    GetEnvironmentVariableA("LANG", lang, sizeof lang);
    return page == meant ? std::string()
                         : "the ANSI code page is " + std::to_string(page) + ", this run is meant for " +
                               std::to_string(meant) + " (Wine takes it from LANG, here \"" + lang + "\")";
}

std::vector<HWND> DialogsOfProcess(DWORD pid)
{
    return ProcessWindows(pid, "#32770", true);
}

std::vector<HWND> DialogsOfThread(DWORD tid)
{
    std::vector<HWND> found;
    for (HWND dialog : DialogsOfProcess(GetCurrentProcessId()))
        if (GetWindowThreadProcessId(dialog, nullptr) == tid)
            found.push_back(dialog);
    return found;
}

HWND WaitForDialog(DWORD pid, DWORD timeoutMs)
{
    return WaitForVisibleWindow(pid, "#32770", timeoutMs);
}

bool WaitForWindowHidden(HWND window, DWORD timeoutMs)
{
    return static_cast<bool>(WaitUntil(
        "the window to hide", [window] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs));
}

static ModalDriver *currentDriver;
static const UINT kTickMs = 30;

INT_PTR ModalDriver::Run(const std::function<INT_PTR()> &show, std::vector<Step> steps, DWORD graceMs)
{
    steps_ = std::move(steps);
    next_ = 0;
    dialog_ = nullptr;
    abandoned_ = false;
    graceMs_ = graceMs;
    lastActivity_ = GetTickCount();

    currentDriver = this;
    UINT_PTR timer = SetTimer(nullptr, 0, kTickMs, Tick);
    INT_PTR result = show();
    KillTimer(nullptr, timer);
    currentDriver = nullptr;
    return result;
}

void CALLBACK ModalDriver::Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (currentDriver)
        currentDriver->OnTick();
}

void ModalDriver::OnTick()
{
    std::vector<HWND> dialogs = DialogsOfThread(GetCurrentThreadId());
    if (next_ < steps_.size() && !dialogs.empty()) {
        /* The first dialog seen is the one under test; later steps act on
           it even if a second one (wrongly) appears. */
        if (!dialog_ || !IsWindow(dialog_))
            dialog_ = dialogs.front();
        /* A step may itself run a message loop (a nested dialog, say);
           the index moves on first so that no step runs twice. */
        Step step = steps_[next_++];
        step(dialog_);
        lastActivity_ = GetTickCount();
        return;
    }
    if (GetTickCount() - lastActivity_ < graceMs_)
        return;
    /* Stuck: end whatever dialogs this thread shows, innermost first. */
    abandoned_ = true;
    lastActivity_ = GetTickCount();
    for (HWND d : dialogs)
        EndDialog(d, kAbandoned);
}

static const DWORD kWatchMs = 10;
/* A window still up this long after it was told to close is told again
   (a message may be lost to a loop that was ending). */
static const DWORD kRetellMs = 250;

ModalWatcher::ModalWatcher(Options options) : options_(std::move(options))
{
    thread_.reset(new Background([this] {
        while (!stop_) {
            Pass();
            if (options_.eachPass)
                options_.eachPass();
            Sleep(kWatchMs);
        }
    }));
}

ModalWatcher::~ModalWatcher()
{
    Stop(5000);
}

bool ModalWatcher::Stop(DWORD timeoutMs)
{
    stop_ = true;
    return thread_->Join(timeoutMs);
}

void ModalWatcher::Pass()
{
    int dialogs = 0, up = 0;
    for (const char *cls : {"#32768", "#32770"}) {
        const bool isMenu = lstrcmpA(cls, "#32768") == 0;
        for (HWND window : ProcessWindows(options_.pid, cls, true)) {
            up++;
            dialogs += !isMenu;
            Watched *watched = Watch(window, isMenu);
            DWORD age = GetTickCount() - watched->firstSeen;
            if (age < (isMenu ? options_.menuMs : options_.dialogMs) ||
                (watched->toldAt && GetTickCount() - watched->toldAt < kRetellMs))
                continue;
            watched->toldAt = GetTickCount() | 1;
            if (isMenu) {
                PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
                if (options_.owner)
                    PostMessageA(options_.owner, WM_CANCELMODE, 0, 0);
            } else {
                PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    up_ = up;
    mostDialogs_ = dialogs > mostDialogs_ ? dialogs : mostDialogs_;
}

ModalWatcher::Watched *ModalWatcher::Watch(HWND window, bool isMenu)
{
    for (Watched &watched : watched_) {   /* only this thread changes the list */
        if (watched.seen.window == window)
            return &watched;
    }
    Seen seen = {window, isMenu, nullptr, {}, L""};
    GetWindowRect(window, &seen.rect);
    if (isMenu && options_.pid == GetCurrentProcessId()) {   /* another's HMENU means nothing here */
        DWORD_PTR menu = 0;
        SendMessageTimeoutA(window, MN_GETHMENU, 0, 0, SMTO_NORMAL, 1000, &menu);
        seen.menu = (HMENU)menu;
    } else if (!isMenu) {
        /* Read without a message to the dialog's thread, which may be
           this process's own and busy. */
        wchar_t caption[64] = L"";
        InternalGetWindowText(window, caption, 64);
        seen.caption = caption;
    }
    if (options_.onSeen)
        options_.onSeen(seen);
    std::lock_guard<std::mutex> hold(lock_);
    watched_.push_back({seen, GetTickCount(), 0});
    return &watched_.back();
}

std::vector<ModalWatcher::Seen> ModalWatcher::seen() const
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Seen> all;
    for (const Watched &watched : watched_)
        all.push_back(watched.seen);
    return all;
}

int ModalWatcher::Count(bool menus) const
{
    int n = 0;
    for (const Seen &s : seen())
        n += s.isMenu == menus;
    return n;
}

int ModalWatcher::MostDialogsAtOnce() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return mostDialogs_;
}

bool ModalWatcher::AnyUp() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return up_ > 0;
}

HWND OpenSettingsDialog(HWND mainWindow, DWORD pid, DWORD timeoutMs)
{
    PostMessageA(mainWindow, WM_COMMAND, IDM_SETTINGS, 0);
    HWND found = nullptr;
    WaitUntil("the settings dialog", [&] {
        for (HWND dialog : DialogsOfProcess(pid)) {
            if (GetDlgItem(dialog, IDC_SPEED)) {
                found = dialog;
                return true;
            }
        }
        return false;
    }, timeoutMs);
    return found;
}

void ExpectDialogShows(HWND dialog, int port, int speed)
{
    int shown = 0, checked = 0;
    for (int button = 1; button <= 4; button++) {
        if (IsDlgButtonChecked(dialog, IDC_COM1 + button - 1) == BST_CHECKED) {
            shown = button;
            checked++;
        }
    }
    DWORD_PTR selection = (DWORD_PTR)CB_ERR;
    SendMessageTimeoutA(GetDlgItem(dialog, IDC_SPEED), CB_GETCURSEL, 0, 0, SMTO_NORMAL, 2000, &selection);
    EXPECT_EQ(port, shown) << "port button checked (0: none)";
    EXPECT_EQ(port ? 1 : 0, checked) << "port buttons checked";
    EXPECT_EQ(speed, (int)(LRESULT)selection) << "list position selected (-1: none)";
}

bool ChooseInSettingsDialog(HWND dialog, int port, int speed, DWORD timeoutMs)
{
    DWORD_PTR result;
    if (port >= 1 && port <= 4)
        SendMessageTimeoutA(GetDlgItem(dialog, IDC_COM1 + port - 1), BM_CLICK, 0, 0, SMTO_NORMAL, 2000, &result);
    if (speed >= 0)
        SendMessageTimeoutA(GetDlgItem(dialog, IDC_SPEED), CB_SETCURSEL, (WPARAM)speed, 0, SMTO_NORMAL, 2000,
                            &result);
    /* Posted, as a click would arrive: applying a change stops the reader,
       which may take up to a second. */
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    return WaitForWindowHidden(dialog, timeoutMs);
}

bool ChangeSettings(HWND mainWindow, DWORD pid, int port, int speed, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    HWND dialog = OpenSettingsDialog(mainWindow, pid, timeoutMs);
    if (!dialog)
        return false;
    DWORD spent = GetTickCount() - start;
    return ChooseInSettingsDialog(dialog, port, speed, spent < timeoutMs ? timeoutMs - spent : 1);
}

}  // namespace testbed
