/*
 * The program in the test's own process: fixtures for tests that call the
 * program's functions directly. Each owns the program's global state for
 * the length of a case: whatever the case started (reader, port, icon,
 * menu, window) is ended afterwards and every field is put back as it
 * was, in one place.
 *
 * ProgramStateTest is the bare level (the case makes what it needs);
 * HostedWindowTest adds the program's hidden window and tray menu on the
 * test's thread. Used by the in-process tests of app/, serial/, settings/
 * and robust/.
 */
#ifndef TAVRIN_TESTS_HOST_H
#define TAVRIN_TESTS_HOST_H

#include <windows.h>

#include <gtest/gtest.h>

namespace testbed {

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
        LONG readerRun, dialogOpen, transferActive;
    } saved_ = {};
    /* Calls visit(copy, field) for each field of AppState and its copy. */
    template <class Visit> void EachField(Visit visit);
};

class HostedWindowTest : public ProgramStateTest {
protected:
    void SetUp() override;
};

}  // namespace testbed

#endif
