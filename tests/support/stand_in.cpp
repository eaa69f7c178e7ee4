#include "support/stand_in.h"

namespace testbed {

StandInWindow::StandInWindow(const Look &look, Handler handler, std::function<void(HWND)> onCreated)
    : look_(look), handler_(std::move(handler)), onCreated_(std::move(onCreated))
{
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, &threadId_);
    if (thread_)
        WaitForSingleObject(ready_, 5000);
}

StandInWindow::~StandInWindow()
{
    if (thread_) {
        if (hwnd_)
            PostMessageA(hwnd_, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(thread_, joinBoundMs_) != WAIT_OBJECT_0)
            TerminateThread(thread_, 1);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

LRESULT CALLBACK StandInWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    StandInWindow *self = reinterpret_cast<StandInWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    LRESULT result = 0;
    if (self && self->handler_ && self->handler_(hwnd, message, wParam, lParam, &result))
        return result;
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

DWORD WINAPI StandInWindow::Run(LPVOID parameter)
{
    StandInWindow *self = static_cast<StandInWindow *>(parameter);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = self->look_.className;
    RegisterClassA(&wc);
    const RECT &r = self->look_.rect;
    HWND hwnd = CreateWindowExA(0, self->look_.className, self->look_.title, self->look_.style, r.left, r.top,
                                r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    if (hwnd) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self->onCreated_)
            self->onCreated_(hwnd);
    }
    self->hwnd_ = hwnd;
    SetEvent(self->ready_);
    MSG msg;
    while (hwnd && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    UnregisterClassA(self->look_.className, instance);
    return 0;
}

StandInTray::StandInTray(Answer answer)
    : window_({"Shell_TrayWnd", "", WS_POPUP, {0, 0, 0, 0}},
              [answer](HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) {
                  if (message != WM_COPYDATA)
                      return false;
                  *result = answer((HWND)wParam, *reinterpret_cast<const COPYDATASTRUCT *>(lParam));
                  return true;
              })
{
}

}  // namespace testbed
