// Folders a test owns in the temp folder, and product trees laid out in them as installed.
//
// A Sandbox is a fresh folder whose name has a blank, removed with everything in it when the test
// ends, pass or fail: <temp>\qltest-<pid>-<n>\ (outer(), where a program planted at the first blank
// of a path with blanks would go) holding "ql product\" (root()).
//
// A ProductTree fills the sandbox's root as the product is installed:
//   <root>\bin\<deliverables>, qlopgp.jar       (as listed: the launcher and the bridge library unless
//                                                told otherwise, copied from the build)
//   <root>\bin\<recorders>                      (the recorder program under the names given)
//   <root>\jre\bin\java.exe, javaw.exe          (the Java runtime double; optional)
//   <root>\help\index.htm                       (optional)
// and reads what the doubles recorded there.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ql::test {

class Sandbox {
public:
    Sandbox();
    ~Sandbox();  // removes the folder, waiting a little for programs still ending in it
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& outer() const { return outer_; }  // trailing backslash
    std::string root() const { return outer_ + "ql product\\"; }
    // Without a trailing backslash.
    std::string path() const { return outer_.substr(0, outer_.size() - 1); }

    // Writes or reads a whole file (the folders above are made as needed); throws when it cannot
    // write, reads "" for a missing file.
    void WriteFile(const std::string& path, const std::string& contents) const;
    std::string ReadText(const std::string& path) const;
    // Copies a file from the build's program folder (or an absolute path) to `to`; throws on failure.
    void CopyBuilt(const std::string& from, const std::string& to) const;

private:
    std::string outer_;
};

// One line of the application double's record: "<pid> <event> <rest>".
struct RecordLine {
    DWORD pid = 0;
    std::string event;
    std::string rest;
};

// One start of the recorder program (tests/support/recorder.cpp), as it saw itself started.
struct Start {
    std::string commandLine;       // GetCommandLineA, byte for byte
    std::string request;           // the text after the program name, as WinMain gets it
    std::string currentDirectory;
    int show = -1;                 // the show command the starter asked for; -1: none
};

class ProductTree : public Sandbox {
public:
    struct Contents {
        std::vector<std::string> deliverables{"QuilloraOpenPGP.exe", "QLPGPUtils.dll"};
        bool runtime = true;                 // jre\bin with the runtime double
        bool help = false;                   // help\index.htm
        std::vector<std::string> recorders;  // file names in bin\ the recorder program is copied as
    };
    enum class Runtime { Bundled, None };
    // The launcher's tree: launcher, bridge library, jar, and the bundled runtime double or none.
    explicit ProductTree(Runtime runtime = Runtime::Bundled);
    explicit ProductTree(const Contents& contents);
    ~ProductTree();  // ends the application doubles still running; the sandbox goes with it

    std::string bin() const { return root() + "bin\\"; }
    std::string launcher() const { return bin() + "QuilloraOpenPGP.exe"; }
    std::string jreBin() const { return root() + "jre\\bin\\"; }

    // Lays a runtime double out under `home` (a folder below the root; "bin\" is added).
    std::string AddRuntime(const std::string& home);
    // Places the recorder program at `path` (anywhere: in bin\, at the first blank of the tree's path).
    void PlaceRecorder(const std::string& path) const;

    // The launcher started with `arguments` after its quoted path.
    std::string LauncherCommand(const std::string& arguments) const;

    // The application double's record (of the bundled runtime unless `runtimeBin` says otherwise).
    std::vector<RecordLine> Record(const std::string& runtimeBin = {}) const;
    // Waits until the record has `count` lines of `event` (any process); false on time-out.
    bool WaitForRecord(const std::string& event, size_t count, DWORD timeoutMs, const std::string& runtimeBin = {}) const;
    // The `rest` of every line of `event`, in order.
    std::vector<std::string> Events(const std::string& event, const std::string& runtimeBin = {}) const;

    // The starts of recorders placed in `folder` (trailing backslash; default bin\), in order.
    std::vector<Start> Starts(const std::string& folder = {}) const;
    // Waits until there are `count` starts; false on time-out.
    bool WaitForStarts(size_t count, DWORD timeoutMs, const std::string& folder = {}) const;
    void ClearStarts(const std::string& folder = {}) const;

private:
    std::vector<std::string> runtimeBins_;
};

}  // namespace ql::test
