/*
 * Serial bridge: opening and configuring the port, and the reader worker
 * that types every received burst into the focused window.
 */
#ifndef TAVRIN_SERIAL_H
#define TAVRIN_SERIAL_H

#include <windows.h>

/* Port number (1..4) to device name; entry 0 is unused. */
extern const char *const PortNameTable[5];

struct SpeedEntry {
    const char *label;   /* what the settings dialog lists */
    DWORD baudRate;      /* what goes to the line settings */
};
#define SPEED_COUNT 9
extern const SpeedEntry SpeedTable[SPEED_COUNT];

/* Port selection and line configuration (serial_port.cpp). Main thread,
   only while no reader worker runs; IsPortOpen from either thread. */
int IsPortOpen(void);
int OpenPortDevice(const char *name);
int ClosePort(void);
int ConfigureLine(DWORD baudRate);
int SelectPort(int portNumber, int speedIndex);
/* Closes the handle of a device that has gone and forgets it, even if the
   close fails: the port then counts as not open. */
void DropLostPort(void);

/* Reader worker (reader.cpp). Start and stop on the main thread only. */
#define READER_STOP_TIMEOUT_MS 1000   /* StopReader's bound before a forced end */
#define BURST_MAX 1024                /* a burst is cut at this many bytes */
void StartReader(void);
void StopReader(void);
DWORD WINAPI ReaderThreadProc(LPVOID parameter);
void DeliverBurst(const BYTE *buffer, DWORD count);
/* Key presses (key_typing.cpp), worker thread: types the burst into the
   foreground thread's focus `target` (of `targetThread`, whose Caps Lock
   state is `capsLock`) with SendInput. Waits, bounded, while the user
   holds a modifier or a menu is open; after that the rest goes as
   character messages, or, into a menu, not at all. */
void TypeBurstAsKeys(const BYTE *buffer, DWORD count, HWND target, DWORD targetThread, bool capsLock);
/* Whether the current worker's receive wait failed while it was wanted
   (the device is gone); the worker then posts WM_READERLOST and ends. */
int ReaderLost(void);
/* Main thread: if the worker has so ended, waits for it (bounded by
   READER_STOP_TIMEOUT_MS), releases its thread handle and drops the dead
   port. Returns whether it did; does nothing in any other state. */
int ReleaseLostReader(void);

#endif
