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

/* Reader worker (reader.cpp). Start and stop on the main thread only. */
#define READER_STOP_TIMEOUT_MS 1000   /* StopReader's bound before a forced end */
#define BURST_MAX 1024                /* a burst is cut at this many bytes */
void StartReader(void);
void StopReader(void);
DWORD WINAPI ReaderThreadProc(LPVOID parameter);
void DeliverBurst(const BYTE *buffer, DWORD count);

#endif
