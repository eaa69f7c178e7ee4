#include "support/target.h"

#include "support/timing.h"

namespace testbed {

static const char kTargetClass[] = "TavrinTestTarget";

LRESULT CALLBACK TargetWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    TargetWindow *self = reinterpret_cast<TargetWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_CHAR && self) {
        self->chars_.push_back({wParam, lParam, GetTickCount(), NowMs()});
        if (self->slowMs_)
            Sleep(self->slowMs_);
        return 0;
    }
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
    DWORD start = GetTickCount();
    for (;;) {
        DispatchPending();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

bool TargetWindow::WaitForQuiet(DWORD quietMs, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    DWORD lastChange = start;
    size_t seen = chars_.size();
    while (GetTickCount() - start < timeoutMs) {
        Pump(10);
        if (chars_.size() != seen) {
            seen = chars_.size();
            lastChange = GetTickCount();
        } else if (GetTickCount() - lastChange >= quietMs) {
            return true;
        }
    }
    return false;
}

std::string TargetWindow::Text() const
{
    std::string text;
    for (const Char &c : chars_)
        text.push_back((char)(BYTE)c.wParam);
    return text;
}

std::vector<std::string> SplitBursts(const std::vector<TargetWindow::Char> &chars, DWORD gapMs)
{
    std::vector<std::string> bursts;
    for (size_t i = 0; i < chars.size(); i++) {
        if (i == 0 || chars[i].tick - chars[i - 1].tick > gapMs)
            bursts.emplace_back();
        bursts.back().push_back((char)(BYTE)chars[i].wParam);
    }
    return bursts;
}

}  // namespace testbed
