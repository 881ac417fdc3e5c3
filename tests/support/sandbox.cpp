#include "sandbox.h"

#include <sstream>
#include <stdexcept>
#include <utility>

#include "files.h"

namespace ql::test {

Sandbox::Sandbox() {
    static int counter = 0;
    char temp[MAX_PATH];
    char longTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    // The long form: a test that compares paths must not meet "QLTEST~1" where it built "qltest-...".
    if (GetLongPathNameA(temp, longTemp, MAX_PATH) == 0) lstrcpynA(longTemp, temp, MAX_PATH);
    outer_ = std::string(longTemp) + "qltest-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++counter) + "\\";
    RemoveTree(path());
    if (!MakeFolders(root())) throw std::runtime_error("cannot make " + root());
}

Sandbox::~Sandbox() {
    // A program that was just told to end may still hold its file for a moment.
    for (int attempt = 0; attempt < 50 && FolderExists(path()); ++attempt) {
        if (attempt > 0) Sleep(100);
        RemoveTree(path());
    }
}

void Sandbox::WriteFile(const std::string& path, const std::string& contents) const {
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    if (!MakeFolders(folder) || !WriteWholeFile(path, contents)) throw std::runtime_error("cannot write " + path);
}

std::string Sandbox::ReadText(const std::string& path) const { return ReadWholeFile(path).value_or(""); }

void Sandbox::CopyBuilt(const std::string& from, const std::string& to) const {
    const std::string source = from.find(':') == std::string::npos ? ProgramDirectory() + from : from;
    const std::string folder = to.substr(0, to.find_last_of('\\'));
    if (!MakeFolders(folder) || !CopyFileA(source.c_str(), to.c_str(), FALSE))
        throw std::runtime_error("cannot copy " + source + " to " + to);
}

ProductTree::ProductTree(Runtime runtime)
    : ProductTree(Contents{{"QuilloraOpenPGP.exe", "QLPGPUtils.dll"}, runtime == Runtime::Bundled, false, {}}) {}

ProductTree::ProductTree(const Contents& contents) {
    if (!MakeFolders(bin())) throw std::runtime_error("cannot make " + bin());
    for (const std::string& file : contents.deliverables) CopyBuilt(file, bin() + file);
    for (const std::string& name : contents.recorders) PlaceRecorder(bin() + name);
    if (!contents.deliverables.empty()) WriteFile(bin() + "qlopgp.jar", "");
    if (contents.help) WriteFile(root() + "help\\index.htm", "<html></html>");
    if (contents.runtime) AddRuntime("jre");
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
}

std::string ProductTree::AddRuntime(const std::string& home) {
    const std::string runtimeBin = root() + home + "\\bin\\";
    CopyBuilt("..\\testjre\\bin\\java.exe", runtimeBin + "java.exe");
    CopyBuilt("..\\testjre\\bin\\javaw.exe", runtimeBin + "javaw.exe");
    runtimeBins_.push_back(runtimeBin);
    return runtimeBin;
}

void ProductTree::PlaceRecorder(const std::string& path) const { CopyBuilt("recorder.exe", path); }

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

std::vector<Start> ProductTree::Starts(const std::string& folder) const {
    std::istringstream lines(ReadText((folder.empty() ? bin() : folder) + "start-record.log"));
    std::vector<Start> starts;
    Start current;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("cmdline ", 0) == 0) current.commandLine = line.substr(8);
        if (line.rfind("request ", 0) == 0) current.request = line.substr(8);
        if (line.rfind("cwd ", 0) == 0) current.currentDirectory = line.substr(4);
        if (line.rfind("show ", 0) == 0) current.show = std::stoi(line.substr(5));
        if (line == "end") starts.push_back(std::exchange(current, Start{}));
    }
    return starts;
}

bool ProductTree::WaitForStarts(size_t count, DWORD timeoutMs, const std::string& folder) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Starts(folder).size() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

void ProductTree::ClearStarts(const std::string& folder) const {
    DeleteFileA(((folder.empty() ? bin() : folder) + "start-record.log").c_str());
}

}  // namespace ql::test
