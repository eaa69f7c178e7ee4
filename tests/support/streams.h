/*
 * What a test sends and checks: deterministic pseudo-random data and scans
 * (a run repeats from the seed it prints), and comparisons that print
 * where two byte streams or two UTF-16 texts differ.
 */
#ifndef TAVRIN_TESTS_STREAMS_H
#define TAVRIN_TESTS_STREAMS_H

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <utility>
#include <string>
#include <vector>

namespace testbed {

/* A tiny deterministic generator (xorshift32), so that a run can be
   repeated from the seed it prints. */
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
    uint32_t Next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        return state_ ^= state_ << 5;
    }
    uint32_t Below(uint32_t bound) { return bound ? Next() % bound : 0; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }

private:
    uint32_t state_;
};

/* Deterministic pseudo-random bytes (every value occurs), from a seed. */
std::vector<BYTE> PatternBytes(size_t count, uint32_t seed);

/* Short scans of digits and capital letters ending in a carriage return,
   from a seed; each scan is unique within the run (it carries a serial). */
std::string ScanText(uint32_t serial, uint32_t seed);

/* A scan as a retail scanner sends a UPC-A code: twelve digits (a 4,
   then eleven drawn from the serial) and a carriage return, 13 bytes;
   distinct for serials below 100 000 000. */
std::string DigitScan(uint32_t serial);

/* The received WM_CHAR values as bytes. */
std::vector<BYTE> ToBytes(const std::string &text);

/* Empty when `received` equals `sent`; otherwise says where they part.
   Written EXPECT_EQ("", CompareStreams(sent, received)). */
std::string CompareStreams(const std::vector<BYTE> &sent, const std::vector<BYTE> &received);
std::string CompareStreams(const std::string &sent, const std::string &received);

/* A UTF-16 text for EXPECT_EQ and friends, which print it on a failure as
   Wine's tests print one: L"..." with every unit outside printable ASCII
   as \x and four hex digits (L"\x041e \x043f..."). */
struct Utf16 {
    Utf16(std::wstring value) : text(std::move(value)) {}
    bool operator==(const Utf16 &other) const { return text == other.text; }
    std::wstring text;
};
std::string Escape(const std::wstring &text);
void PrintTo(const Utf16 &value, std::ostream *out);

}  // namespace testbed

#endif
