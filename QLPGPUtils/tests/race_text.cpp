#include "race_text.h"

#include <cstdio>

#include "request_slot.h"

namespace ql::test {

namespace {

constexpr int kSlotText = static_cast<int>(ql::kRequestTextLimit);

// Lengths from a few bytes to most of the slot, so that copies of different texts overlap; every
// tenth text is one the slot holds exactly, every tenth one longer than the slot, cut to its last
// whole field on the way in.
int LengthFor(int writer, int sequence) {
    switch (sequence % 10) {
    case 3: return 32 + sequence % 7;
    case 6: return kSlotText;
    case 9: return kSlotText + 1 + (sequence * 7919 + writer * 104729) % 9000;
    default: return 16 + (sequence * 7919 + writer * 104729) % 60000;
    }
}

// The header, then fields of 100 bytes (99 fill bytes and an asterisk), the last one shorter.
std::string Build(int writer, int sequence, int length) {
    char header[48];
    int headerLength = std::snprintf(header, sizeof header, "0*protect*W%d#%d#%d#", writer, sequence, length);
    std::string text(header, headerLength);
    const char fill = static_cast<char>('a' + (writer * 31 + sequence) % 26);
    while (static_cast<int>(text.size()) < length - 1) text += text.size() % 100 == 99 ? '*' : fill;
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
    if (length != LengthFor(writer, sequence)) return false;
    // What the slot holds of the text: all of it, or a longer one cut after its last whole field.
    const std::optional<std::string> stored = ql::FitRequestToSlot(Build(writer, sequence, length));
    return stored && text == *stored;
}

}  // namespace ql::test
