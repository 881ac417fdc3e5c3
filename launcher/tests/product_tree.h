// A product tree laid out as installed, in a temporary folder whose name has blanks:
//   <root>\bin\QuilloraOpenPGP.exe, QLPGPUtils.dll, qlopgp.jar
//   <root>\jre\bin\java.exe, javaw.exe     (the Java runtime double; optional)
// and what the runtime double recorded there.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ql::test {

// One line of the application double's record: "<pid> <event> <rest>".
struct RecordLine {
    DWORD pid = 0;
    std::string event;
    std::string rest;
};

class ProductTree {
public:
    enum class Runtime { Bundled, None };
    explicit ProductTree(Runtime runtime = Runtime::Bundled);
    ~ProductTree();  // ends the application doubles still running, then removes the tree
    ProductTree(const ProductTree&) = delete;
    ProductTree& operator=(const ProductTree&) = delete;

    const std::string& root() const { return root_; }        // trailing backslash
    std::string bin() const { return root_ + "bin\\"; }
    std::string launcher() const { return bin() + "QuilloraOpenPGP.exe"; }
    std::string jreBin() const { return root_ + "jre\\bin\\"; }

    // Lays a runtime double out under `home` (a folder below the root; "bin\" is added).
    std::string AddRuntime(const std::string& home);
    // Writes or reads a whole file (control files and logs of the runtime doubles).
    void WriteFile(const std::string& path, const std::string& contents) const;
    std::string ReadText(const std::string& path) const;

    // The launcher started with `arguments` after its quoted path.
    std::string LauncherCommand(const std::string& arguments) const;

    // The application double's record (of the bundled runtime unless `runtimeBin` says otherwise).
    std::vector<RecordLine> Record(const std::string& runtimeBin = {}) const;
    // Waits until the record has `count` lines of `event` (any process); false on time-out.
    bool WaitForRecord(const std::string& event, size_t count, DWORD timeoutMs, const std::string& runtimeBin = {}) const;
    // The `rest` of every line of `event`, in order.
    std::vector<std::string> Events(const std::string& event, const std::string& runtimeBin = {}) const;

private:
    std::string root_;
    std::vector<std::string> runtimeBins_;
};

}  // namespace ql::test
