/*
 * The port coming back: a port that could not be opened, or whose device
 * went away, is tried again when Windows announces a device arrival, a
 * change of the device tree or a resume from sleep. Main thread.
 *
 * Nothing polls the port: a port that is open, or a choice that can never
 * work, makes these announcements do nothing, so that a port another
 * program uses now and then is never grabbed behind the user's back. The
 * system waits for our answer to its broadcasts, so an announcement only
 * arms a timer, and the try (which may block in CreateFile for a while)
 * is made when the timer comes due. A plug-in brings a burst of
 * announcements, and anyone may send thousands: all that come while a
 * try is pending are one try, and two tries are at least
 * PORT_RETRY_GAP_MS apart.
 */
#include "app.h"

#include "../serial/serial.h"

/* The watch belongs to one hidden window: a new window starts afresh. */
static struct {
    HWND window;
    bool armed;        /* IDT_PORT_RETRY is set for a try */
    bool tried;        /* a try was made, at lastTry */
    DWORD lastTry;
    LONG tries;
} watch;

static void WatchThisWindow(void)
{
    if (watch.window != AppState.mainWindow) {
        watch = {};
        watch.window = AppState.mainWindow;
    }
}

/* A try can help: the choice is one that can work, and its port is not
   open (it failed to open, or its device went away). */
static bool TryCanHelp(void)
{
    if (AppState.portNumber < 1 || AppState.portNumber > 4 || AppState.speedIndex < 0
        || AppState.speedIndex >= SPEED_COUNT)
        return false;
    return !IsPortOpen() || ReaderLost();
}

/* Milliseconds until the next try may be made. */
static DWORD GapLeft(void)
{
    DWORD since = GetTickCount() - watch.lastTry;
    return watch.tried && since < PORT_RETRY_GAP_MS ? PORT_RETRY_GAP_MS - since : 0;
}

static void ArmTry(void)
{
    DWORD delay = GapLeft();
    watch.armed = SetTimer(AppState.mainWindow, IDT_PORT_RETRY, delay > USER_TIMER_MINIMUM ? delay : USER_TIMER_MINIMUM,
                           nullptr)
                  != 0;
}

void ApplyPortChoice(int port, int speed)
{
    StopReader();
    AppState.portNumber = port;
    AppState.speedIndex = speed;
    int portOk = SelectPort(port, speed);
    UpdateTrayIcon(portOk);
    StartReader();
}

void NoteDeviceAnnouncement(void)
{
    WatchThisWindow();
    if (!watch.armed && TryCanHelp())
        ArmTry();
}

void OnPortRetryTimer(void)
{
    WatchThisWindow();
    KillTimer(AppState.mainWindow, IDT_PORT_RETRY);
    /* A timer message nobody armed, or one that came early (anyone can
       post WM_TIMER), changes nothing but the time of the pending try. */
    if (!watch.armed)
        return;
    if (GapLeft() > 0) {
        ArmTry();
        return;
    }
    watch.armed = false;
    /* A device that left and came back before we heard it leave. */
    ReleaseLostReader();
    if (!TryCanHelp())
        return;
    watch.tried = true;
    watch.lastTry = GetTickCount();
    watch.tries++;
    ApplyPortChoice(AppState.portNumber, AppState.speedIndex);
}

void OnReaderLost(void)
{
    /* The icon already shows no port; from now on an announcement tries
       the port again. */
    ReleaseLostReader();
}

LONG PortTriesMade(void)
{
    WatchThisWindow();
    return watch.tries;
}
