#include "race_text.h"

#include <cstdio>

namespace ql::test {

namespace {

// Lengths from a few bytes to most of the slot, so that copies of different texts overlap.
int LengthFor(int writer, int sequence) { return 16 + (sequence * 7919 + writer * 104729) % 60000; }

std::string Build(int writer, int sequence, int length) {
    char header[48];
    int headerLength = std::snprintf(header, sizeof header, "0*protect*W%d#%d#%d#", writer, sequence, length);
    std::string text(header, headerLength);
    const char fill = static_cast<char>('a' + (writer * 31 + sequence) % 26);
    while (static_cast<int>(text.size()) < length - 1) text += fill;
    text += '*';
    return text;
}

}  // namespace

std::string RaceText(int writer, int sequence) {
    return Build(writer, sequence, LengthFor(writer, sequence));
}

bool IsWholeRaceText(const std::string& text) {
    int writer = 0, sequence = 0, length = 0;
    if (std::sscanf(text.c_str(), "0*protect*W%d#%d#%d#", &writer, &sequence, &length) != 3) return false;
    return length == LengthFor(writer, sequence) && text == Build(writer, sequence, length);
}

}  // namespace ql::test
