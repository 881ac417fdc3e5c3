// Self-checking request texts for the writer/reader race: each text says who wrote it and how long
// it is, and the rest follows from that, so a reader can tell a whole text from a mix of two. Some
// are longer than the slot: those arrive cut after their last whole field, and only so.
#pragma once

#include <string>

namespace ql::test {

std::string RaceText(int writer, int sequence);
bool IsWholeRaceText(const std::string& text);

}  // namespace ql::test
