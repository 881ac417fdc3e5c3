// What this process writes to its standard output handle while the object lives: the bridge
// library writes its diagnostic lines there. The C runtime's own streams (doctest's) are not touched.
#pragma once

#include <windows.h>

#include <string>

#include "files.h"
#include "ql/unique_handle.h"

namespace ql::test {

class CapturedOutput {
public:
    explicit CapturedOutput(const std::string& name = "captured_stdout.txt") : path_(ProgramDirectory() + name) {
        file_.reset(CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        if (file_) SetStdHandle(STD_OUTPUT_HANDLE, file_.get());
    }
    ~CapturedOutput() { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Ends the capture and gives what was written.
    std::string Text() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        if (!file_) return "<no capture file>";
        file_.reset();
        return ReadWholeFile(path_).value_or("<unreadable>");
    }

private:
    std::string path_;
    UniqueFile file_;
    HANDLE saved_ = nullptr;
};

}  // namespace ql::test
