// scheduleTask end to end: a peer process (bridge_peer.exe schedule) plays the Java application and
// calls the native; this test drives the real property sheet and question boxes of that process as
// a user would (find, read, type, click) and checks the returned text, the library's lines on
// standard output and what the Task Scheduler was asked to do.
//
// Wine's Task Scheduler has no property pages and never reports a name clash, so most cases run
// against a recording scheduler (task_scheduler_double.dll), registered in the test prefix as the
// Task Scheduler class for the length of the test. The last case runs against Wine's own scheduler
// for what it does support: creating, setting the program, saving, counting triggers.

#include <doctest/doctest.h>

#include "printers.h"

#include <windows.h>
#include <commctrl.h>
#include <mstask.h>
#include <prsht.h>

#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_peer.h"
#include "child_process.h"
#include "ql/com_ptr.h"
#include "fake_jni.h"
#include "files.h"
#include "window_finder.h"
#include "sandbox.h"
#include "task_scheduler_ids.h"

using namespace ql::test;

namespace {

constexpr DWORD kUiTimeoutMs = 30000;  // generous: the 32-bit run goes through qemu
constexpr char kServerKey[] = "CLSID\\{148BD52A-A2AB-11CE-B11F-00AA00530503}\\InprocServer32";
constexpr char kSystemScheduler[] = "C:\\windows\\system32\\mstask.dll";

std::string ReadDefault(HKEY root, const char* path) {
    char value[MAX_PATH * 2] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(root, path, nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return {};
    return value;
}

bool WriteDefault(HKEY root, const char* path, const std::string& value) {
    return RegSetKeyValueA(root, path, nullptr, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1)) ==
           ERROR_SUCCESS;
}

// The recording scheduler as the in-process server of the Task Scheduler class, for one scope;
// the system's server is put back afterwards, pass or fail.
class DoubleSchedulerRegistration {
public:
    DoubleSchedulerRegistration() : double_(ProgramDirectory() + "task_scheduler_double.dll") {
        original_ = ReadDefault(HKEY_CLASSES_ROOT, kServerKey);
        // A run that died before restoring left the double registered.
        if (original_.empty() || original_.find("task_scheduler_double") != std::string::npos) original_ = kSystemScheduler;
        registered_ = WriteDefault(HKEY_CLASSES_ROOT, kServerKey, double_);
    }
    ~DoubleSchedulerRegistration() { WriteDefault(HKEY_CLASSES_ROOT, kServerKey, original_); }
    DoubleSchedulerRegistration(const DoubleSchedulerRegistration&) = delete;
    DoubleSchedulerRegistration& operator=(const DoubleSchedulerRegistration&) = delete;

    bool registered() const { return registered_ && ReadDefault(HKEY_CLASSES_ROOT, kServerKey) == double_; }

private:
    std::string double_;
    std::string original_;
    bool registered_ = false;
};

// --- The user's side of the sheet and the question box ------------------------------------------

struct Action {
    enum Kind { Edit, Ok, Cancel, Answer } kind;
    int page = 0;          // Edit: the page whose field gets the text
    std::string text;      // Edit: the field's new text; Answer: the question expected
    int button = 0;        // Answer: IDYES or IDNO
};
Action EditField(int page, std::string text) { return {Action::Edit, page, std::move(text), 0}; }
Action PressOk() { return {Action::Ok, 0, {}, 0}; }
Action PressCancel() { return {Action::Cancel, 0, {}, 0}; }
Action AnswerQuestion(std::string question, int button) { return {Action::Answer, 0, std::move(question), button}; }

struct SheetSeen {
    std::wstring caption;
    HWND owner = nullptr;
    bool applyButton = false;
    std::vector<std::string> pageLabels;  // the label of each page, in tab order
};

// The property sheet: a dialog box of the process with a tab control.
HWND WaitForSheet(DWORD processId) {
    HWND sheet = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : FindWindows({kDialogClass, processId}))
                if (FindWindowExA(window, nullptr, "SysTabControl32", nullptr) != nullptr) sheet = window;
            return sheet != nullptr;
        },
        kUiTimeoutMs);
    return sheet;
}

bool WaitUntilGone(HWND window) { return WaitUntil([&] { return !IsWindow(window); }, kUiTimeoutMs); }

HWND ShowPage(HWND sheet, int page) {
    SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(page), 0);
    return reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

SheetSeen Inspect(HWND sheet) {
    SheetSeen seen;
    wchar_t caption[512] = {};
    GetWindowTextW(sheet, caption, 512);
    seen.caption = caption;
    seen.owner = GetWindow(sheet, GW_OWNER);
    HWND apply = GetDlgItem(sheet, 0x3021);  // the sheet's Apply button
    seen.applyButton = apply != nullptr && IsWindowVisible(apply);
    for (int page = 0; page < 3; ++page) {
        char label[64] = {};
        GetDlgItemTextA(ShowPage(sheet, page), 1000, label, sizeof label);
        seen.pageLabels.push_back(label);
    }
    ShowPage(sheet, 0);
    return seen;
}

// --- Cases ---------------------------------------------------------------------------------------

struct TaskCase {
    const char* name;
    std::string existing;                 // QL_TASKS_EXISTING
    std::string fail;                     // QL_TASKS_FAIL
    std::string taskName;                 // UTF-8
    std::string command;                  // UTF-8
    std::vector<Action> user;
    std::string result;                   // "(null)" or the error text
    std::vector<std::string> printed;     // the library's lines on standard output
    std::vector<std::string> calls;       // the scheduler's record
    std::wstring caption;                 // of every sheet shown
};

using Lines = std::vector<std::string>;

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Stored(const std::string& task, const std::string& program, int triggers) {
    return "stored " + task + " program=" + program + " triggers=" + std::to_string(triggers);
}

// The calls up to the task page provider, when nothing fails.
Lines Prepared(const std::string& givenName, const std::string& task, const std::string& program,
               const Lines& clashes = {}) {
    return Lines{"CreateInstance -> 0x00000000"} + clashes +
           Lines{"NewWorkItem " + (clashes.empty() ? givenName : task) + " -> 0x00000000",
                 "SetApplicationName " + program + " -> 0x00000000", "QueryInterface IPersistFile -> 0x00000000",
                 "Save file=(null) remember=1 -> 0x00000000", Stored(task, program, 0),
                 "QueryInterface IProvideTaskPage -> 0x00000000"};
}

// One round of the sheet: three pages fetched, shown (the test looks at each), closed. A confirmed
// sheet stores each page in turn: the task page while the trigger count is still `triggersBefore`.
Lines Round(bool confirmed = false, const std::string& task = {}, const std::string& program = {}, int triggers = 0,
            int triggersBefore = -1) {
    if (triggersBefore < 0) triggersBefore = triggers;
    Lines lines = {"GetPage 0 persist=1 -> 0x00000000", "GetPage 1 persist=1 -> 0x00000000",
                   "GetPage 2 persist=1 -> 0x00000000", "page task shown", "page schedule shown", "page settings shown"};
    if (confirmed) {
        lines = lines + Lines{"page task applied field=" + program, Stored(task, program, triggersBefore),
                              "page schedule applied field=" + std::to_string(triggers), Stored(task, program, triggers),
                              "page settings applied field=", Stored(task, program, triggers)};
    }
    return lines + Lines{"page task released", "page schedule released", "page settings released"};
}

Lines Checked(const std::string& program, int triggers = -1) {
    Lines lines = {"GetApplicationName -> 0x00000000 " + program};
    if (triggers >= 0) lines.push_back("GetTriggerCount -> 0x00000000 " + std::to_string(triggers));
    return lines;
}

const Lines kAllReleased = {"release IProvideTaskPage", "release IPersistFile", "release ITask", "release ITaskScheduler"};

const std::string kProgram = "C:\\Program Files\\Backup\\run.exe";
const std::string kMissingQuestion = "Task command is missing. Are you sure you want continue?";
const std::string kTriggerQuestion = "No trigger was set. Are you sure you want continue?";

std::vector<TaskCase> Cases() {
    const std::string longName(126, 'N');
    const std::string tooLongName(127, 'N');
    std::vector<TaskCase> cases = {
        {"a new name is taken as given; Cancel leaves the task stored with its program and no trigger",
         "", "", "Sicherung f\xC3\xBCr M\xC3\xBCller", kProgram, {PressCancel()}, "(null)",
         {"Try to create task", "Return code is: 0"},
         Prepared("Sicherung f\xC3\xBCr M\xC3\xBCller", "Sicherung f\xC3\xBCr M\xC3\xBCller", kProgram) + Round() +
             kAllReleased,
         L"Sicherung f\u00FCr M\u00FCller"},
        {"Backup and Backup1 taken: the task is Backup2; program and trigger set on the pages",
         "Backup|Backup1", "", "Backup", "old.exe", {EditField(0, kProgram), EditField(1, "1"), PressOk()}, "(null)",
         {"Try to create task", "already exist... try with id 1", "already exist... try with id 2", "Return code is: 1"},
         Prepared("Backup", "Backup2", "old.exe",
                  {"NewWorkItem Backup -> 0x80070050", "NewWorkItem Backup1 -> 0x80070050"}) +
             Round(true, "Backup2", kProgram, 1, 0) + Checked(kProgram, 1) + kAllReleased,
         L"Backup2"},
        {"an emptied program asks; No shows the sheet again, Yes returns null",
         "", "", "Backup", kProgram,
         {EditField(0, ""), PressOk(), AnswerQuestion(kMissingQuestion, IDNO), PressOk(),
          AnswerQuestion(kMissingQuestion, IDYES)},
         "(null)", {"Try to create task", "Return code is: 1", "Return code is: 1"},
         Prepared("Backup", "Backup", kProgram) + Round(true, "Backup", "", 0) + Checked("") +
             Round(true, "Backup", "", 0) + Checked("") + kAllReleased,
         L"Backup"},
        {"no trigger asks the other question; No, then a trigger set, returns null",
         "", "", "Backup", kProgram,
         {PressOk(), AnswerQuestion(kTriggerQuestion, IDNO), EditField(1, "2"), PressOk()}, "(null)",
         {"Try to create task", "Return code is: 1", "Return code is: 1"},
         Prepared("Backup", "Backup", kProgram) + Round(true, "Backup", kProgram, 0) + Checked(kProgram, 0) +
             Round(true, "Backup", kProgram, 2, 0) + Checked(kProgram, 2) + kAllReleased,
         L"Backup"},
        {"a numbered name of 127 units still fits the name buffer", longName, "", longName, kProgram, {PressCancel()},
         "(null)", {"Try to create task", "already exist... try with id 1", "Return code is: 0"},
         Prepared(longName, longName + "1", kProgram, {"NewWorkItem " + longName + " -> 0x80070050"}) + Round() +
             kAllReleased,
         std::wstring(126, L'N') + L"1"},
        {"a numbered name of 128 units does not fit: no task", tooLongName, "", tooLongName, kProgram, {},
         "Task name too long to number. Error code 0x800700CE",
         {"Try to create task", "already exist... try with id 1", "Error 0x800700ce"},
         {"CreateInstance -> 0x00000000", "NewWorkItem " + tooLongName + " -> 0x80070050", "release ITaskScheduler"},
         L""},
    };

    // The scheduler would read either text only up to a U+0000 ("C:\x.exe" would be the program).
    const Lines refused = {"CreateInstance -> 0x00000000", "release ITaskScheduler"};
    cases.push_back({"a U+0000 in the name: refused before anything is created", "", "", std::string("Back\0up", 7),
                     kProgram, {},
                     "Failed to create task. Error code 0x80070057", {"Try to create task", "Error 0x80070057"},
                     refused, L""});
    cases.push_back({"a U+0000 in the program: refused before anything is created", "", "", "Backup",
                     std::string("C:\\x.exe\0 /other", 16), {}, "Failed to set task command. Error code 0x80070057",
                     {"Try to create task", "Error 0x80070057"}, refused, L""});

    // Every step failing in turn, each with a code of its own.
    const Lines start = {"CreateInstance -> 0x00000000", "NewWorkItem Backup -> 0x00000000"};
    const Lines setProgram = {"SetApplicationName " + kProgram + " -> 0x00000000"};
    const Lines persist = {"QueryInterface IPersistFile -> 0x00000000"};
    const Lines saved = {"Save file=(null) remember=1 -> 0x00000000", Stored("Backup", kProgram, 0)};
    const Lines pages = {"QueryInterface IProvideTaskPage -> 0x00000000"};
    const Lines releaseTask = {"release ITask", "release ITaskScheduler"};
    const Lines releasePersist = Lines{"release IPersistFile"} + releaseTask;
    auto failing = [&](const char* name, const char* step, const char* code, const char* text, Lines calls,
                       std::vector<Action> user = {}, Lines printedBefore = {"Try to create task"}) {
        std::string lower = code;
        for (char& c : lower) c = static_cast<char>(tolower(c));
        return TaskCase{name, "", std::string(step) + "=" + code, "Backup", kProgram, std::move(user),
                        std::string(text) + ". Error code 0x" + code, printedBefore + Lines{"Error 0x" + lower},
                        std::move(calls), L"Backup"};
    };
    cases.push_back(failing("no scheduler", "CreateInstance", "80070005", "Failed to connect to Task Scheduler",
                            {"CreateInstance -> 0x80070005"}, {}, {}));
    cases.push_back(failing("task not created", "NewWorkItem", "80070057", "Failed to create task",
                            {"CreateInstance -> 0x00000000", "NewWorkItem Backup -> 0x80070057",
                             "release ITaskScheduler"}));
    cases.push_back(failing("program not set", "SetApplicationName", "8007000E", "Failed to set task command",
                            start + Lines{"SetApplicationName " + kProgram + " -> 0x8007000E"} + releaseTask));
    cases.push_back(failing("no serialisation", "QueryPersistFile", "80004002", "Failed to init serialization",
                            start + setProgram + Lines{"QueryInterface IPersistFile -> 0x80004002"} + releaseTask));
    cases.push_back(failing("save refused", "Save", "80070005", "Failed to save task",
                            start + setProgram + persist + Lines{"Save file=(null) remember=1 -> 0x80070005"} +
                                releasePersist));
    cases.push_back(failing("no property pages", "QueryTaskPage", "80004002", "Failed to init properties editor",
                            start + setProgram + persist + saved +
                                Lines{"QueryInterface IProvideTaskPage -> 0x80004002"} + releasePersist));
    const Lines ready = start + setProgram + persist + saved + pages;
    cases.push_back(failing("task page refused", "GetPage0", "80004005", "Failed to retrieve task editor page",
                            ready + Lines{"GetPage 0 persist=1 -> 0x80004005"} + kAllReleased));
    cases.push_back(failing("schedule page refused", "GetPage1", "8007000E", "Failed to retrieve schedule editor page",
                            ready +
                                Lines{"GetPage 0 persist=1 -> 0x00000000", "GetPage 1 persist=1 -> 0x8007000E",
                                      "page task released"} +
                                kAllReleased));
    cases.push_back(failing("settings page refused", "GetPage2", "80070008", "Failed to retrieve settings editor page",
                            ready +
                                Lines{"GetPage 0 persist=1 -> 0x00000000", "GetPage 1 persist=1 -> 0x00000000",
                                      "GetPage 2 persist=1 -> 0x80070008", "page task released",
                                      "page schedule released"} +
                                kAllReleased));
    cases.push_back(failing("program not readable", "GetApplicationName", "8000FFFF", "Failed to check task parameters",
                            ready + Round(true, "Backup", kProgram, 0) +
                                Lines{"GetApplicationName -> 0x8000FFFF " + kProgram} + kAllReleased,
                            {PressOk()}, {"Try to create task", "Return code is: 1"}));
    cases.push_back(failing("triggers not countable", "GetTriggerCount", "80004005", "Failed to check task trigger count",
                            ready + Round(true, "Backup", kProgram, 0) + Checked(kProgram) +
                                Lines{"GetTriggerCount -> 0x80004005 0"} + kAllReleased,
                            {PressOk()}, {"Try to create task", "Return code is: 1"}));
    return cases;
}

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct RunOutcome {
    std::string result;
    Lines printed;   // between the owner line and the result line
    Lines tail;      // the accounting lines after the result
    HWND owner = nullptr;
};

// Runs the runner, plays the user's actions, and splits what the runner wrote.
RunOutcome RunTask(const TaskCase& c, std::vector<SheetSeen>& sheets, std::vector<MessageBoxSeen>& boxes) {
    RunOutcome outcome;
    Child runner(PeerCommand("schedule", {c.taskName, c.command}));
    REQUIRE(runner.started());
    HWND sheet = nullptr;
    for (const Action& action : c.user) {
        if (action.kind == Action::Answer) {
            auto box = TakeMessageBox(runner.id(), kUiTimeoutMs, action.button);
            REQUIRE_MESSAGE(box.has_value(), "no question box appeared");
            CHECK(box->text == action.text);
            boxes.push_back(*box);
            continue;
        }
        if (sheet == nullptr) {
            sheet = WaitForSheet(runner.id());
            REQUIRE_MESSAGE(sheet != nullptr, "no property sheet appeared");
            sheets.push_back(Inspect(sheet));
        }
        if (action.kind == Action::Edit) {
            HWND page = ShowPage(sheet, action.page);
            const std::wstring text(action.text.begin(), action.text.end());
            SendMessageW(GetDlgItem(page, 1001), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
            ShowPage(sheet, 0);
        } else {
            PostMessageA(sheet, PSM_PRESSBUTTON, action.kind == Action::Ok ? PSBTN_OK : PSBTN_CANCEL, 0);
            REQUIRE(WaitUntilGone(sheet));
            sheet = nullptr;
        }
    }
    REQUIRE_MESSAGE(runner.Wait(kUiTimeoutMs), "the runner did not finish: " << runner.Output());
    const Lines lines = SplitLines(runner.Output());
    REQUIRE_MESSAGE(lines.size() >= 4, runner.Output());
    REQUIRE(lines.front().rfind("owner=", 0) == 0);
    outcome.owner = reinterpret_cast<HWND>(static_cast<INT_PTR>(std::stoll(lines.front().substr(6))));
    const std::size_t resultLine = lines.size() - 3;
    REQUIRE(lines[resultLine].rfind("result=", 0) == 0);
    outcome.result = lines[resultLine].substr(7);
    outcome.printed.assign(lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(resultLine));
    outcome.tail.assign(lines.begin() + static_cast<std::ptrdiff_t>(resultLine) + 1, lines.end());
    return outcome;
}

}  // namespace

TEST_SUITE_BEGIN("schedule_task");

TEST_CASE("scheduleTask against the recording scheduler: names, steps, sheet and questions") {
    // The sheet's caption is the task name in the ANSI code page; the cases' names fit code page 1252.
    REQUIRE(GetACP() == 1252);
    DoubleSchedulerRegistration registration;
    REQUIRE(registration.registered());
    const Sandbox sandbox;
    const std::string log = sandbox.root() + "tasks log.txt";
    SetEnvironmentVariableA("QL_TASKS_LOG", log.c_str());

    for (const TaskCase& c : Cases()) {
        const std::string caseName = c.name;
        CAPTURE(caseName);
        DeleteFileA(log.c_str());
        SetEnvironmentVariableA("QL_TASKS_EXISTING", c.existing.empty() ? nullptr : c.existing.c_str());
        SetEnvironmentVariableA("QL_TASKS_FAIL", c.fail.empty() ? nullptr : c.fail.c_str());

        std::vector<SheetSeen> sheets;
        std::vector<MessageBoxSeen> boxes;
        const RunOutcome outcome = RunTask(c, sheets, boxes);
        CHECK(outcome.result == c.result);
        CHECK(outcome.printed == c.printed);
        CHECK(outcome.tail == Lines{"outstanding chars=0", "release problems=0"});
        CHECK(SplitLines(ReadWholeFile(log).value_or("")) == c.calls);
        for (const SheetSeen& sheet : sheets) {
            CHECK(sheet.caption == c.caption);
            CHECK(sheet.owner == outcome.owner);
            CHECK_FALSE(sheet.applyButton);
            CHECK(sheet.pageLabels == Lines{"task page", "schedule page", "settings page"});
        }
        for (const MessageBoxSeen& box : boxes) {
            CHECK(box.caption == "Error");
            CHECK(box.owner == outcome.owner);
        }
    }
    SetEnvironmentVariableA("QL_TASKS_LOG", nullptr);
    SetEnvironmentVariableA("QL_TASKS_EXISTING", nullptr);
    SetEnvironmentVariableA("QL_TASKS_FAIL", nullptr);
}

TEST_CASE("scheduleTask when the runtime gives no characters: no Java call with its exception pending") {
    DoubleSchedulerRegistration registration;
    REQUIRE(registration.registered());
    Bridge bridge;
    REQUIRE(bridge.loaded());
    using ScheduleTaskFn = jstring(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jint);
    const auto scheduleTask = bridge.Native<ScheduleTaskFn>("scheduleTask", 20);
    const bool exported = scheduleTask != nullptr;
    REQUIRE(exported);
    for (const bool refuseName : {true, false}) {
        CAPTURE(refuseName);
        FakeJvm jvm;
        jstring name = jvm.NewString(u"Backup");
        jstring command = jvm.NewString(u"C:\\x.exe");
        jvm.RefuseChars(refuseName ? name : command);
        CHECK(scheduleTask(jvm.env(), nullptr, name, command, 0) == nullptr);
        CHECK(jvm.PendingException() == "java/lang/OutOfMemoryError");
        CHECK(jvm.Misuses().empty());
        CHECK(jvm.OutstandingChars() == 0);
        CHECK(jvm.ReleaseProblems().empty());
    }
}

TEST_CASE("scheduleTask against Wine's own scheduler: the task is created, given its program and saved") {
    // Wine's scheduler stops at the property pages (E_NOINTERFACE): what came before is real.
    REQUIRE(ReadDefault(HKEY_CLASSES_ROOT, kServerKey).find("mstask.dll") != std::string::npos);
    const std::wstring taskName = L"QL real scheduler \u00E9t\u00E9";
    const std::wstring program = L"C:\\windows\\system32\\notepad.exe";

    REQUIRE(SUCCEEDED(CoInitialize(nullptr)));
    {
        ql::ComPtr<ITaskScheduler> scheduler;
        REQUIRE(SUCCEEDED(CoCreateInstance(ql::kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                           ql::kIidITaskScheduler, scheduler.put_void())));
        scheduler->Delete(taskName.c_str());  // left by an interrupted run, if at all

        TaskCase c{};
        c.taskName = "QL real scheduler \xC3\xA9t\xC3\xA9";
        c.command = "C:\\windows\\system32\\notepad.exe";
        std::vector<SheetSeen> sheets;
        std::vector<MessageBoxSeen> boxes;
        const RunOutcome outcome = RunTask(c, sheets, boxes);
        CHECK(outcome.result == "Failed to init properties editor. Error code 0x80004002");
        CHECK(outcome.printed == Lines{"Try to create task", "Error 0x80004002"});
        CHECK(outcome.tail == Lines{"outstanding chars=0", "release problems=0"});

        ql::ComPtr<ITask> task;
        REQUIRE(SUCCEEDED(scheduler->Activate(taskName.c_str(), ql::kIidITask, reinterpret_cast<IUnknown**>(task.put()))));
        LPWSTR stored = nullptr;
        REQUIRE(SUCCEEDED(task->GetApplicationName(&stored)));
        CHECK(std::wstring(stored) == program);
        CoTaskMemFree(stored);
        // The native stored the task without a trigger; Wine, like Windows, writes a job file with at
        // least one (a placeholder it drops again in memory), so the stored task reads back with 1.
        WORD triggers = 99;
        CHECK(SUCCEEDED(task->GetTriggerCount(&triggers)));
        CHECK(triggers == 1);
        CHECK(FileExists("C:\\windows\\Tasks\\QL real scheduler \xE9t\xE9.job"));
        task.reset();
        CHECK(SUCCEEDED(scheduler->Delete(taskName.c_str())));
        CHECK_FALSE(FileExists("C:\\windows\\Tasks\\QL real scheduler \xE9t\xE9.job"));
    }
    CoUninitialize();
}

TEST_SUITE_END();
