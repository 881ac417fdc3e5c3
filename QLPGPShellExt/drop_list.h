// The file list of a CF_HDROP medium (a DROPFILES header, then the names, each ended by a zero, the
// list ended by an empty name), read in one pass within the bounds of the block. The shell's
// DragQueryFile walks the list from its start for every index, which makes a selection of n files
// cost n² steps, and trusts the terminators; this reader does neither. Text only: no Windows API.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ql::shellext {

struct DropList {
    bool valid = false;  // false: the header does not fit the block
    bool wide = false;   // names in UTF-16 (else 8-bit text in the ANSI code page, in ansiNames)
    std::vector<std::u16string> wideNames;
    std::vector<std::string> ansiNames;
};

// `block` is the locked memory of the medium and `size` its size in bytes. A name that runs into the
// end of the block without its terminator is not taken; empty names end the list.
DropList ReadDropList(const void* block, std::size_t size);

}  // namespace ql::shellext
