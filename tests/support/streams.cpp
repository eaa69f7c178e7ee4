#include "support/streams.h"

#include <algorithm>
#include <cstdio>

namespace testbed {

std::vector<BYTE> PatternBytes(size_t count, uint32_t seed)
{
    Random random(seed);
    std::vector<BYTE> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (BYTE)(random.Next() >> 24);
    return bytes;
}

std::string ScanText(uint32_t serial, uint32_t seed)
{
    static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    Random random(seed ^ (serial * 2654435761u));
    char text[48];
    int n = snprintf(text, sizeof text, "%06u-", (unsigned)serial);
    int extra = 4 + (int)random.Below(12);
    for (int i = 0; i < extra; i++)
        text[n++] = kAlphabet[random.Below(sizeof kAlphabet - 1)];
    text[n++] = '\r';
    return std::string(text, (size_t)n);
}

std::string DigitScan(uint32_t serial)
{
    /* 7919 is prime to 10^8, so serials below 10^8 map to distinct codes. */
    char text[16];
    snprintf(text, sizeof text, "4%011u\r", (unsigned)(((uint64_t)serial * 7919u) % 100000000u));
    return text;
}

std::vector<BYTE> ToBytes(const std::string &text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

std::string CompareStreams(const std::vector<BYTE> &sent, const std::vector<BYTE> &received)
{
    size_t common = std::min(sent.size(), received.size());
    size_t i = std::mismatch(sent.begin(), sent.begin() + common, received.begin()).first - sent.begin();
    if (i == common && sent.size() == received.size())
        return std::string();
    char text[200];
    if (i == common)
        snprintf(text, sizeof text, "sent %zu bytes, received %zu; the first %zu agree", sent.size(),
                 received.size(), common);
    else
        snprintf(text, sizeof text, "sent %zu bytes, received %zu; first difference at byte %zu: sent 0x%02X, got 0x%02X",
                 sent.size(), received.size(), i, sent[i], received[i]);
    return text;
}

std::string CompareStreams(const std::string &sent, const std::string &received)
{
    return CompareStreams(ToBytes(sent), ToBytes(received));
}

std::string Escape(const std::wstring &text)
{
    std::string out = "L\"";
    for (wchar_t c : text) {
        char unit[8];
        if (c == L'\\' || c == L'"')
            snprintf(unit, sizeof unit, "\\%c", (char)c);
        else if (c == L'\n' || c == L'\r' || c == L'\t')
            snprintf(unit, sizeof unit, "\\%c", c == L'\n' ? 'n' : c == L'\r' ? 'r' : 't');
        else if (c >= 0x20 && c < 0x7F)
            snprintf(unit, sizeof unit, "%c", (char)c);
        else
            snprintf(unit, sizeof unit, "\\x%04x", (unsigned)(WORD)c);
        out += unit;
    }
    return out + "\"";
}

void PrintTo(const Utf16 &value, std::ostream *out)
{
    *out << Escape(value.text);
}

}  // namespace testbed
