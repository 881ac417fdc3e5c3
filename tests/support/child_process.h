// Real child processes for tests: start a program, collect what it writes, wait for it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "files.h"

namespace ql::test {

// The argument quoted for a command line when it holds blanks or is empty.
std::string Quote(const std::string& argument);

class Child {
public:
    struct Options {
        std::string currentDirectory;   // empty: the test program's own
        bool captureOutput = true;      // standard output and error into Output()
        bool suspended = false;         // created suspended, to be started with Resume()
        // The desktop to start on; empty: the default one. Wine starts a child on the default
        // desktop even when its parent runs on another (Windows would inherit the parent's).
        std::string desktop;
    };

    // Starts the command line; started() tells whether it worked (startError() why not).
    explicit Child(const std::string& commandLine, const Options& options);
    explicit Child(const std::string& commandLine) : Child(commandLine, Options{}) {}
    Child(Child&&) noexcept;
    Child& operator=(Child&&) noexcept;
    ~Child();  // a child still running is ended

    bool started() const;
    // Lets a child created suspended run.
    void Resume();
    DWORD startError() const;
    DWORD id() const;
    HANDLE handle() const;

    // True when the process ended within the time.
    bool Wait(DWORD milliseconds);
    // The exit code; STILL_ACTIVE while it runs.
    DWORD ExitCode() const;
    // Everything collected so far. After Wait() returned true this is the whole output, as long as
    // no process started by the child still holds the output pipe.
    std::string Output() const;
    // Waits until the output contains `text`, or the time is up.
    bool WaitForOutput(const std::string& text, DWORD milliseconds) const;
    void Kill();

private:
    struct State;
    std::unique_ptr<State> state_;
};

struct RunResult {
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;
};

// Runs a command line to its end (or kills it after the time) and returns what it wrote.
RunResult Run(const std::string& commandLine, DWORD timeoutMs = 30000);

}  // namespace ql::test
