/*
 * Port selection and serial line configuration. This file is the only
 * code that opens, closes or configures the device. Runs on the main
 * thread while no reader worker is alive; the worker only asks
 * IsPortOpen.
 */
#include "serial.h"

#include "../app/app.h"

const char *const PortNameTable[5] = {nullptr, "COM1", "COM2", "COM3", "COM4"};

const SpeedEntry SpeedTable[SPEED_COUNT] = {
    {"110", 110},     {"300", 300},     {"600", 600},
    {"1200", 1200},   {"2400", 2400},   {"4800", 4800},
    {"9600", 9600},   {"14400", 14400}, {"38400", 38400},
};

/* Queue sizes and time-outs. A one-byte read returns as soon as a byte is
   there, or after READ_CONSTANT_MS with none: that gap frames a burst. */
static const DWORD kQueueSize = 1024;
static const DWORD kReadIntervalMs = 500;
static const DWORD kReadConstantMs = 100;
static const DWORD kWriteMultiplierMs = 4;
static const DWORD kWriteConstantMs = 250;

int IsPortOpen(void)
{
    /* Closed is 0 (never opened, or closed) or -1 (a failed open). */
    return (LONG)(LONG_PTR)AppState.portHandle > 0;
}

int OpenPortDevice(const char *name)
{
    /* Read-only, exclusive, not overlapped: every read and wait blocks. */
    AppState.portHandle = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsPortOpen();
}

int ClosePort(void)
{
    if (!IsPortOpen())
        return 1;
    if (!CloseHandle(AppState.portHandle))
        return 0;
    AppState.portHandle = nullptr;
    return 1;
}

void DropLostPort(void)
{
    if (IsPortOpen())
        CloseHandle(AppState.portHandle);
    AppState.portHandle = nullptr;
}

int ConfigureLine(DWORD baudRate)
{
    HANDLE port = AppState.portHandle;

    if (!SetupComm(port, kQueueSize, kQueueSize))
        return 0;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMultiplierMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    if (!SetCommTimeouts(port, &timeouts))
        return 0;

    /* The record is never read back from the device: the fields below are
       written and every other bit stays zero (no flow control of any kind,
       no error replacement, no null stripping). */
    DCB *dcb = &AppState.lineSettings;
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = baudRate;
    dcb->fBinary = 1;
    dcb->fParity = 0;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->fAbortOnError = 0;
    dcb->wReserved = 0;
    dcb->XonLim = 0;
    dcb->XoffLim = 0;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    /* XON/XOFF is off both ways, but SetCommState refuses equal XON and
       XOFF characters (the driver checks them), so they get their usual
       values, DC1 and DC3. */
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->ErrorChar = 0;
    dcb->EofChar = 0;
    dcb->EvtChar = 0;
    if (!SetCommState(port, dcb))
        return 0;

    return SetCommMask(port, EV_RXCHAR) ? 1 : 0;
}

int SelectPort(int portNumber, int speedIndex)
{
    /* An invalid port number changes nothing: an open port stays open. */
    if (portNumber < 1 || portNumber > 4)
        return 0;
    ClosePort();
    if (!OpenPortDevice(PortNameTable[portNumber]))
        return 0;
    /* A speed index with no table entry (hand-edited settings) leaves the
       port open but unconfigured, and the selection fails: the user sees
       the no-port icon and picks a speed. */
    if (speedIndex < 0 || speedIndex >= SPEED_COUNT)
        return 0;
    return ConfigureLine(SpeedTable[speedIndex].baudRate);
}
