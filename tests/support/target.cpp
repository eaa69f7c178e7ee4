#include "support/target.h"

#include "support/timing.h"

namespace testbed {

static const char kTargetClass[] = "TavrinTestTarget";

LRESULT CALLBACK TargetWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    TargetWindow *self = reinterpret_cast<TargetWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_CHAR && self) {
        self->chars_.push_back({wParam, lParam, NowMs(), (DWORD)GetMessageTime()});
        if (self->slowMs_)
            Sleep(self->slowMs_);
        return 0;
    }
    if ((message == WM_KEYDOWN || message == WM_SYSKEYDOWN) && self)
        self->keys_.push_back({wParam, lParam, GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0});
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TargetWindow::TargetWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = kTargetClass;
    RegisterClassA(&wc);  /* fails harmlessly when already registered */
    hwnd_ = CreateWindowExA(0, kTargetClass, "Tavrin test target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                            100, 100, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    TakeFocus();
}

TargetWindow::~TargetWindow()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
    /* Drop anything still queued for the window. */
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

bool TargetWindow::TakeFocus()
{
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    SetFocus(hwnd_);
    Pump(50);
    return GetForegroundWindow() == hwnd_ && GetFocus() == hwnd_;
}

bool TargetWindow::WaitForChars(size_t count, DWORD timeoutMs)
{
    return PumpUntil("characters", [&] { return chars_.size() >= count; }, timeoutMs);
}

void TargetWindow::Pump(DWORD ms)
{
    /* A span, not a wait: the time itself is the condition. */
    double end = NowMs() + ms;
    PumpUntil("the span to pass", [&] { return NowMs() >= end; }, ms + 1000);
}

bool TargetWindow::WaitForQuiet(DWORD quietMs, DWORD timeoutMs)
{
    size_t seen = chars_.size();
    double lastChange = NowMs();
    return PumpUntil("no character to come for a while", [&] {
        if (chars_.size() != seen) {
            seen = chars_.size();
            lastChange = NowMs();
        }
        return NowMs() - lastChange >= quietMs;
    }, timeoutMs);
}

std::string TargetWindow::Text() const
{
    std::string text;
    for (const Char &c : chars_)
        text.push_back((char)(BYTE)c.wParam);
    return text;
}

HWND ThreadFocus(DWORD threadId)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : (HWND)-1;
}

std::vector<Burst> FindBursts(const std::vector<TargetWindow::Char> &chars, double gapMs, BurstClock clock)
{
    std::vector<Burst> bursts;
    for (size_t i = 0; i < chars.size(); i++) {
        /* Post times are DWORD ticks: their difference survives a wrap. */
        double at = clock == BurstClock::Posted ? (double)(DWORD)(chars[i].posted - chars[0].posted) : chars[i].ms;
        double gap = i ? at - bursts.back().lastMs : 0;
        if (i == 0 || gap > gapMs)
            bursts.push_back({"", at, at, gap});
        bursts.back().text.push_back((char)(BYTE)chars[i].wParam);
        bursts.back().lastMs = at;
    }
    return bursts;
}

}  // namespace testbed
