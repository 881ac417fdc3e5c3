#include "product_tree.h"

#include <sstream>
#include <stdexcept>

#include "files.h"

namespace ql::test {

namespace {

void Copy(const std::string& from, const std::string& to) {
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) throw std::runtime_error("cannot copy " + from + " to " + to);
}

}  // namespace

ProductTree::ProductTree(Runtime runtime) {
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "ql launcher " + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter) + "\\";
    RemoveTree(root_.substr(0, root_.size() - 1));  // without the trailing backslash
    if (!MakeFolders(bin())) throw std::runtime_error("cannot make " + bin());

    const std::string built = ProgramDirectory();
    Copy(built + "QuilloraOpenPGP.exe", launcher());
    Copy(built + "QLPGPUtils.dll", bin() + "QLPGPUtils.dll");
    WriteFile(bin() + "qlopgp.jar", "");
    if (runtime == Runtime::Bundled) AddRuntime("jre");
}

ProductTree::~ProductTree() {
    for (const std::string& runtimeBin : runtimeBins_) {
        for (const RecordLine& line : Record(runtimeBin)) {
            if (line.event != "start") continue;
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, line.pid)) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
    }
    RemoveTree(root_.substr(0, root_.size() - 1));  // without the trailing backslash
}

std::string ProductTree::AddRuntime(const std::string& home) {
    const std::string runtimeBin = root_ + home + "\\bin\\";
    if (!MakeFolders(runtimeBin)) throw std::runtime_error("cannot make " + runtimeBin);
    const std::string doubles = ProgramDirectory() + "..\\testjre\\bin\\";
    Copy(doubles + "java.exe", runtimeBin + "java.exe");
    Copy(doubles + "javaw.exe", runtimeBin + "javaw.exe");
    runtimeBins_.push_back(runtimeBin);
    return runtimeBin;
}

void ProductTree::WriteFile(const std::string& path, const std::string& contents) const {
    if (!WriteWholeFile(path, contents)) throw std::runtime_error("cannot write " + path);
}

std::string ProductTree::ReadText(const std::string& path) const { return ReadWholeFile(path).value_or(""); }

std::string ProductTree::LauncherCommand(const std::string& arguments) const {
    return "\"" + launcher() + "\"" + (arguments.empty() ? "" : " " + arguments);
}

std::vector<RecordLine> ProductTree::Record(const std::string& runtimeBin) const {
    std::string contents = ReadText((runtimeBin.empty() ? jreBin() : runtimeBin) + "javaw-record.log");
    // A line the double is writing right now is not whole yet: left for the next look.
    contents.erase(contents.find_last_of('\n') + 1);
    std::istringstream lines(contents);
    std::vector<RecordLine> record;
    for (std::string text; std::getline(lines, text);) {
        RecordLine line;
        const size_t space = text.find(' ');
        line.pid = static_cast<DWORD>(std::stoul(text.substr(0, space)));
        const size_t eventEnd = text.find(' ', space + 1);
        line.event = text.substr(space + 1, eventEnd == std::string::npos ? std::string::npos : eventEnd - space - 1);
        if (eventEnd != std::string::npos) line.rest = text.substr(eventEnd + 1);
        record.push_back(line);
    }
    return record;
}

std::vector<std::string> ProductTree::Events(const std::string& event, const std::string& runtimeBin) const {
    std::vector<std::string> found;
    for (const RecordLine& line : Record(runtimeBin))
        if (line.event == event) found.push_back(line.rest);
    return found;
}

bool ProductTree::WaitForRecord(const std::string& event, size_t count, DWORD timeoutMs,
                                const std::string& runtimeBin) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Events(event, runtimeBin).size() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
    return true;
}

}  // namespace ql::test
