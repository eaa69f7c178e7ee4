/*
 * The test bed's null-modem cables, for every test that sends bytes to the
 * program or checks how its port's line was set: the partner ends, where a
 * test plays the scanner, and the program's own ends.
 *
 * Port map of the test bed (scripts/lib/testbed.sh): COM1..COM3 are wired
 * to COM11..COM13; COM4 does not exist, until a PluggedPort puts it there.
 */
#ifndef TAVRIN_TESTS_CABLE_H
#define TAVRIN_TESTS_CABLE_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testbed {

/* "\\.\COM11" for port 1, and so on. */
std::string PartnerName(int port);

/* Bytes a second on a cable at the partners' 38400 8N1. */
const DWORD kLineRate = 3840;

/* The partner end of a cable, opened for writing at 38400 8N1. */
class PartnerPort {
public:
    explicit PartnerPort(int port) : PartnerPort(port, 5000) {}
    ~PartnerPort();
    PartnerPort(const PartnerPort &) = delete;
    PartnerPort &operator=(const PartnerPort &) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    /* Writes all bytes; returns false if the device refused. */
    bool Write(const void *data, size_t size);
    bool Write(const std::string &text) { return Write(text.data(), text.size()); }
    /* Writes at a given line rate, in chunks, so that no gap of 100 ms
       or more opens between them. */
    bool WritePaced(const std::vector<BYTE> &data, DWORD bytesPerSecond);

protected:
    PartnerPort(int port, DWORD writeTimeoutMs);
    HANDLE handle_;
};

/* The partner end of a cable, for long streams: when the program reads
   more slowly than the line and the cable's buffers are full, a write is
   tried again until nothing at all has moved for `stallMs`. */
class PatientWriter : public PartnerPort {
public:
    explicit PatientWriter(int port) : PartnerPort(port, 500) {}
    /* `written` (optional) receives how much went out, also on failure. */
    bool Write(const BYTE *data, size_t size, DWORD stallMs, size_t *written = nullptr);
    /* Writes that had to wait for room, so far. */
    unsigned Waits() const { return waits_; }

private:
    unsigned waits_ = 0;
};

/* A device plugged in while programs run: COM4, absent in the test bed,
   comes to be on the cable of COM`live` (whose partner then plays the
   device), and goes again when the object goes. Wine finds a COM name
   through its link in the prefix's dosdevices folder at every open, so the
   link is pointed at the cable, and back at nothing. Check ok() (or
   Plugged()) before use: it fails saying why. */
class PluggedPort {
public:
    explicit PluggedPort(int live);
    ~PluggedPort();
    PluggedPort(const PluggedPort &) = delete;
    PluggedPort &operator=(const PluggedPort &) = delete;
    const ::testing::AssertionResult &Plugged() const { return plugged_; }

private:
    std::string link_, absent_;
    ::testing::AssertionResult plugged_ = ::testing::AssertionFailure();
};

/* ---- The program's end of a cable, in this process ---- */

/* Bytes waiting in the input queue of an open port handle; (DWORD)-1 when
   it cannot be asked. */
DWORD InputQueued(HANDLE port);

/* For a worker reading `port` (the program's open end, in this process)
   whose reads have no time-out: writes a byte on the partner and waits
   until it has left the input queue, twice. The second byte can only have
   been read, since a worker purges the port once, at its start; so the
   worker is then past its purge and held in its next read, which waits
   for a byte that never comes. (It holds the bytes it took until that
   read ends, and then types them.) A failure says which byte stayed. */
::testing::AssertionResult WaitForHeldRead(PartnerPort &partner, HANDLE port, DWORD timeoutMs);

/* A port's line settings and its baud rate, read through a handle of our
   own (a pseudo-terminal's settings are shared by every handle on it);
   false or 0 when the port cannot be opened or read. */
bool LineSettings(int port, DCB *dcb);
DWORD LineRate(int port);
/* Sets a port's line to a rate through a handle of our own. */
bool SetLineRate(int port, DWORD rate);

}  // namespace testbed

#endif
