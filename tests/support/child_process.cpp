#include "child_process.h"

#include <mutex>
#include <utility>

#include "ql/unique_handle.h"

namespace ql::test {

std::string Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t") == std::string::npos) return argument;
    return "\"" + argument + "\"";
}

struct Child::State {
    UniqueHandle process;
    UniqueHandle thread;
    UniqueHandle outputRead;
    UniqueHandle reader;
    DWORD id = 0;
    DWORD startError = 0;
    mutable std::mutex mutex;
    std::string output;

    static DWORD WINAPI ReadOutput(void* parameter) {
        auto* self = static_cast<State*>(parameter);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(self->outputRead.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            std::lock_guard lock(self->mutex);
            self->output.append(chunk, got);
        }
        return 0;
    }
};

Child::Child(const std::string& commandLine, const Options& options) : state_(std::make_unique<State>()) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    UniqueHandle outputWrite;
    UniqueFile nullInput;
    if (options.captureOutput) {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!CreatePipe(&read, &write, &inheritable, 0)) {
            state_->startError = GetLastError();
            return;
        }
        outputWrite.reset(write);
        // Our end must not be inherited, or the child would keep its own pipe open.
        HANDLE ours = nullptr;
        DuplicateHandle(GetCurrentProcess(), read, GetCurrentProcess(), &ours, 0, FALSE, DUPLICATE_SAME_ACCESS);
        CloseHandle(read);
        state_->outputRead.reset(ours);
        nullInput.reset(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, 0, nullptr));
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullInput ? nullInput.get() : nullptr;
        startup.hStdOutput = write;
        startup.hStdError = write;
    }
    std::string desktop = options.desktop;
    if (!desktop.empty()) startup.lpDesktop = desktop.data();
    std::string mutableLine = commandLine;
    PROCESS_INFORMATION info{};
    const char* directory = options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str();
    const DWORD flags = options.suspended ? CREATE_SUSPENDED : 0;
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, options.captureOutput, flags, nullptr,
                        directory, &startup, &info)) {
        state_->startError = GetLastError();
        return;
    }
    state_->thread.reset(info.hThread);
    state_->process.reset(info.hProcess);
    state_->id = info.dwProcessId;
    if (options.captureOutput) {
        outputWrite.reset();
        state_->reader.reset(CreateThread(nullptr, 0, &State::ReadOutput, state_.get(), 0, nullptr));
    }
}

Child::Child(Child&&) noexcept = default;
Child& Child::operator=(Child&&) noexcept = default;

Child::~Child() {
    if (!state_) return;
    Kill();
    // The reader ends when the pipe breaks; a grandchild holding the pipe must not hang us.
    if (state_->reader && WaitForSingleObject(state_->reader.get(), 5000) != WAIT_OBJECT_0) {
        CancelSynchronousIo(state_->reader.get());
        state_->outputRead.reset();
        WaitForSingleObject(state_->reader.get(), 5000);
    }
}

bool Child::started() const { return state_ && state_->process; }

void Child::Resume() {
    if (started()) ResumeThread(state_->thread.get());
}
DWORD Child::startError() const { return state_->startError; }
DWORD Child::id() const { return state_->id; }
HANDLE Child::handle() const { return state_->process.get(); }

bool Child::Wait(DWORD milliseconds) {
    if (!started()) return true;
    if (WaitForSingleObject(state_->process.get(), milliseconds) != WAIT_OBJECT_0) return false;
    // Let the reader drain what the child wrote last (bounded, see Output()).
    if (state_->reader) WaitForSingleObject(state_->reader.get(), 2000);
    return true;
}

DWORD Child::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (started()) GetExitCodeProcess(state_->process.get(), &code);
    return code;
}

std::string Child::Output() const {
    std::lock_guard lock(state_->mutex);
    return state_->output;
}

bool Child::WaitForOutput(const std::string& text, DWORD milliseconds) const {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (Output().find(text) == std::string::npos) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

void Child::Kill() {
    if (started() && ExitCode() == STILL_ACTIVE) {
        TerminateProcess(state_->process.get(), 0xDEAD);
        WaitForSingleObject(state_->process.get(), 5000);
    }
}

RunResult Run(const std::string& commandLine, DWORD timeoutMs) {
    Child child(commandLine);
    RunResult result;
    if (!child.started()) return result;
    result.finished = child.Wait(timeoutMs);
    if (!result.finished) child.Kill();
    result.exitCode = child.ExitCode();
    result.output = child.Output();
    return result;
}

}  // namespace ql::test
