/*
 * The program in the test's own process, for the tests of app/, serial/,
 * settings/ and robust/ that call its functions directly: fixtures that
 * own its global state for the length of a case, and a check of stopping
 * its reader worker.
 */
#ifndef TAVRIN_TESTS_HOST_H
#define TAVRIN_TESTS_HOST_H

#include <windows.h>

#include <gtest/gtest.h>

namespace testbed {

/* Saves every field of AppState before a case; afterwards ends whatever
   the case started (reader, port, icon, menu, window) and puts every
   field back. */
class ProgramStateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    struct Saved {
        HINSTANCE instance;
        HWND mainWindow;
        HMENU trayMenu;
        int portNumber, speedIndex;
        HANDLE portHandle;
        DCB lineSettings;
        HANDLE readerThread;
        DWORD readerThreadId;
        LONG readerRun, dialogOpen, transferActive, typeKeys;
    } saved_ = {};
    /* Calls visit(copy, field) for each field of AppState and its copy. */
    template <class Visit> void EachField(Visit visit);
};

/* Adds the program's hidden window and tray menu on the test's thread. */
class HostedWindowTest : public ProgramStateTest {
protected:
    void SetUp() override;
};

/* Allowed on top of READER_STOP_TIMEOUT_MS, for a loaded machine. */
const DWORD kStopSlackMs = 1000;

/* Calls StopReader on the worker of this process and checks what it
   promises: it returns within its bound (plus kStopSlackMs) with the
   worker's thread ended and the worker's handle and the active flag
   cleared. `exitCode` (optional) receives the worker's exit code: 0 when
   it ended by itself, 0xFFFFFFFF when it was ended by force. */
::testing::AssertionResult StopReaderWithinBound(DWORD *exitCode = nullptr);

}  // namespace testbed

#endif
