// A Task Scheduler 1.0 in-process COM server for the scheduleTask tests. Wine's scheduler (mstask)
// offers no task property pages (IProvideTaskPage) and accepts a second task of the same name, so
// the tests register this server as the Task Scheduler class in the test prefix instead.
//
// It keeps its tasks in the process, writes every call it gets as a line to the file named by
// QL_TASKS_LOG (UTF-8), and is told by the environment what to answer:
//   QL_TASKS_EXISTING  names of tasks that exist already, separated by '|'
//   QL_TASKS_FAIL      <step>=<HRESULT in hex>: the step that fails, one of CreateInstance,
//                      NewWorkItem, SetApplicationName, QueryPersistFile, Save, QueryTaskPage,
//                      GetPage0, GetPage1, GetPage2, GetApplicationName, GetTriggerCount
// Its property pages are real pages of the common controls, each with a label (id 1000) that names
// the page and an edit field (id 1001): the program on the task page, the number of triggers on
// the schedule page. Confirming the sheet stores what the fields hold, as the system's pages do
// when asked to persist changes.

#include <windows.h>
#include <commctrl.h>
#include <mstask.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "task_scheduler_ids.h"
#include "text.h"

namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;

std::string Utf8(const wchar_t* text) { return text == nullptr ? "(null)" : ql::test::ToUtf8(text); }

std::wstring Environment(const wchar_t* name) {
    wchar_t value[4096] = {};
    DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

std::string Hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

void Log(const std::string& line) {
    const std::wstring path = Environment(L"QL_TASKS_LOG");
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
}

// The answer configured for `step`, S_OK when it is not the failing one.
HRESULT Answer(const char* step) {
    const std::wstring fail = Environment(L"QL_TASKS_FAIL");
    const std::size_t equals = fail.find(L'=');
    if (equals == std::wstring::npos) return S_OK;
    if (Utf8(fail.substr(0, equals).c_str()) != step) return S_OK;
    return static_cast<HRESULT>(std::wcstoul(fail.c_str() + equals + 1, nullptr, 16));
}

LPWSTR CoTaskCopy(const std::wstring& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// One task: what the pages and the task object share.
struct TaskState {
    std::wstring name;
    std::wstring program;
    WORD triggers = 0;

    void LogStored() const {
        Log("stored " + Utf8(name.c_str()) + " program=" + Utf8(program.c_str()) +
            " triggers=" + std::to_string(triggers));
    }
};

std::set<std::wstring>& TaskNames() {
    static std::set<std::wstring> names = [] {
        std::set<std::wstring> existing;
        const std::wstring list = Environment(L"QL_TASKS_EXISTING");
        for (std::size_t start = 0; start < list.size();) {
            std::size_t end = list.find(L'|', start);
            if (end == std::wstring::npos) end = list.size();
            if (end > start) existing.insert(list.substr(start, end - start));
            start = end + 1;
        }
        return existing;
    }();
    return names;
}

// Counts of living objects, for DllCanUnloadNow; each object logs its final release.
template <typename... Interfaces>
class Counted : public Interfaces... {
public:
    explicit Counted(const char* what) : what_(what) { InterlockedIncrement(&g_objects); }
    virtual ~Counted() { InterlockedDecrement(&g_objects); }

    ULONG WINAPI AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG WINAPI Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            Log(std::string("release ") + what_);
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    const char* what_;
    LONG references_ = 1;
};

// --- Property pages ----------------------------------------------------------------------------

constexpr int kLabelId = 1000;
constexpr int kFieldId = 1001;
const char* const kPageKinds[3] = {"task", "schedule", "settings"};
const wchar_t* const kPageTitles[3] = {L"Task", L"Schedule", L"Settings"};

struct PageContext {
    int kind;
    std::shared_ptr<TaskState> task;
    bool persist;
};

// An in-memory dialog template: a label and an edit field.
class PageTemplate {
public:
    explicit PageTemplate(const wchar_t* label) {
        Dword(WS_CHILD | WS_VISIBLE | DS_CONTROL);  // style
        Dword(0);                                   // extended style
        Word(2);                                    // items
        Word(0), Word(0), Word(220), Word(120);     // x, y, cx, cy
        Word(0), Word(0), Text(L"");                // no menu, default class, no title
        Item(WS_CHILD | WS_VISIBLE | SS_LEFT, 7, 7, 200, 10, kLabelId, 0x0082, label);
        Item(WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 24, 200, 14, kFieldId, 0x0081, L"");
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Word(WORD value) { words_.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Text(const wchar_t* text) {
        for (; *text != L'\0'; ++text) Word(static_cast<WORD>(*text));
        Word(0);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom, const wchar_t* text) {
        if (words_.size() % 2 != 0) Word(0);  // items start on a DWORD boundary
        Dword(style);
        Dword(0);
        Word(x), Word(y), Word(cx), Word(cy), Word(id);
        Word(0xFFFF), Word(atom), Text(text), Word(0);  // class by atom, text, no creation data
    }
    std::vector<WORD> words_;
};

const DLGTEMPLATE* TemplateOf(int kind) {
    static const PageTemplate templates[3] = {PageTemplate(L"task page"), PageTemplate(L"schedule page"),
                                              PageTemplate(L"settings page")};
    return templates[kind].get();
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* context = reinterpret_cast<PageContext*>(GetWindowLongPtrW(page, GWLP_USERDATA));
    switch (message) {
        case WM_INITDIALOG: {
            context = reinterpret_cast<PageContext*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
            SetWindowLongPtrW(page, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(context));
            if (context->kind == 0) SetDlgItemTextW(page, kFieldId, context->task->program.c_str());
            if (context->kind == 1) SetDlgItemInt(page, kFieldId, context->task->triggers, FALSE);
            Log(std::string("page ") + kPageKinds[context->kind] + " shown");
            return TRUE;
        }
        case WM_COMMAND:
            if (HIWORD(wParam) == EN_CHANGE && context != nullptr) PropSheet_Changed(GetParent(page), page);
            return FALSE;
        case WM_NOTIFY:
            if (reinterpret_cast<NMHDR*>(lParam)->code == PSN_APPLY && context != nullptr) {
                wchar_t field[1024] = {};
                GetDlgItemTextW(page, kFieldId, field, 1024);
                Log(std::string("page ") + kPageKinds[context->kind] + " applied field=" + Utf8(field));
                if (context->persist) {
                    if (context->kind == 0) context->task->program = field;
                    if (context->kind == 1) context->task->triggers = static_cast<WORD>(std::wcstoul(field, nullptr, 10));
                    context->task->LogStored();
                }
                SetWindowLongPtrW(page, DWLP_MSGRESULT, PSNRET_NOERROR);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

UINT CALLBACK PageCallback(HWND, UINT message, PROPSHEETPAGEW* page) {
    if (message == PSPCB_RELEASE) {
        auto* context = reinterpret_cast<PageContext*>(page->lParam);
        Log(std::string("page ") + kPageKinds[context->kind] + " released");
        delete context;
    }
    return 1;
}

// --- The task and its interfaces ---------------------------------------------------------------

class TaskPages : public Counted<IProvideTaskPage> {
public:
    explicit TaskPages(std::shared_ptr<TaskState> task) : Counted("IProvideTaskPage"), task_(std::move(task)) {}

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != ql::kIidIProvideTaskPage) return *out = nullptr, E_NOINTERFACE;
        AddRef();
        *out = static_cast<IProvideTaskPage*>(this);
        return S_OK;
    }
    HRESULT WINAPI GetPage(TASKPAGE kind, BOOL persist, HPROPSHEETPAGE* page) override {
        const char* steps[3] = {"GetPage0", "GetPage1", "GetPage2"};
        const int index = static_cast<int>(kind);
        HRESULT result = index >= 0 && index < 3 ? Answer(steps[index]) : E_INVALIDARG;
        Log("GetPage " + std::to_string(index) + " persist=" + std::to_string(persist) + " -> " + Hex(result));
        *page = nullptr;
        if (FAILED(result)) return result;
        PROPSHEETPAGEW sheetPage = {};
        sheetPage.dwSize = sizeof sheetPage;
        sheetPage.dwFlags = PSP_DLGINDIRECT | PSP_USETITLE | PSP_USECALLBACK;
        sheetPage.hInstance = g_module;
        sheetPage.pResource = TemplateOf(index);
        sheetPage.pszTitle = kPageTitles[index];
        sheetPage.pfnDlgProc = &PageProc;
        sheetPage.lParam = reinterpret_cast<LPARAM>(new PageContext{index, task_, persist != FALSE});
        sheetPage.pfnCallback = &PageCallback;
        *page = CreatePropertySheetPageW(&sheetPage);
        if (*page == nullptr) {
            delete reinterpret_cast<PageContext*>(sheetPage.lParam);
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    std::shared_ptr<TaskState> task_;
};

class TaskFile : public Counted<IPersistFile> {
public:
    explicit TaskFile(std::shared_ptr<TaskState> task) : Counted("IPersistFile"), task_(std::move(task)) {}

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != ql::kIidIPersistFile) return *out = nullptr, E_NOINTERFACE;
        AddRef();
        *out = static_cast<IPersistFile*>(this);
        return S_OK;
    }
    HRESULT WINAPI GetClassID(CLSID* clsid) override {
        *clsid = ql::kClsidCTask;
        return S_OK;
    }
    HRESULT WINAPI IsDirty() override { return S_FALSE; }
    HRESULT WINAPI Load(LPCOLESTR, DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI Save(LPCOLESTR file, BOOL remember) override {
        HRESULT result = Answer("Save");
        Log("Save file=" + Utf8(file) + " remember=" + std::to_string(remember) + " -> " + Hex(result));
        if (SUCCEEDED(result)) task_->LogStored();
        return result;
    }
    HRESULT WINAPI SaveCompleted(LPCOLESTR) override { return S_OK; }
    HRESULT WINAPI GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }

private:
    std::shared_ptr<TaskState> task_;
};

class Task : public Counted<ITask> {
public:
    explicit Task(std::wstring name) : Counted("ITask"), state_(std::make_shared<TaskState>()) {
        state_->name = std::move(name);
    }

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == ql::kIidITask) {
            AddRef();
            *out = static_cast<ITask*>(this);
            return S_OK;
        }
        const bool persist = iid == ql::kIidIPersistFile, pages = iid == ql::kIidIProvideTaskPage;
        if (!persist && !pages) return E_NOINTERFACE;
        HRESULT result = Answer(persist ? "QueryPersistFile" : "QueryTaskPage");
        Log(std::string("QueryInterface ") + (persist ? "IPersistFile" : "IProvideTaskPage") + " -> " + Hex(result));
        if (FAILED(result)) return result;
        if (persist) *out = static_cast<IPersistFile*>(new TaskFile(state_));
        if (pages) *out = static_cast<IProvideTaskPage*>(new TaskPages(state_));
        return S_OK;
    }

    HRESULT WINAPI SetApplicationName(LPCWSTR name) override {
        HRESULT result = Answer("SetApplicationName");
        Log("SetApplicationName " + Utf8(name) + " -> " + Hex(result));
        if (SUCCEEDED(result)) state_->program = name;
        return result;
    }
    HRESULT WINAPI GetApplicationName(LPWSTR* name) override {
        HRESULT result = Answer("GetApplicationName");
        Log("GetApplicationName -> " + Hex(result) + " " + Utf8(state_->program.c_str()));
        *name = nullptr;
        if (FAILED(result)) return result;
        *name = CoTaskCopy(state_->program);
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetTriggerCount(WORD* count) override {
        HRESULT result = Answer("GetTriggerCount");
        Log("GetTriggerCount -> " + Hex(result) + " " + std::to_string(state_->triggers));
        *count = SUCCEEDED(result) ? state_->triggers : 0;
        return result;
    }

    // Nothing else is used by the library.
    HRESULT WINAPI CreateTrigger(WORD*, ITaskTrigger**) override { return Unexpected("CreateTrigger"); }
    HRESULT WINAPI DeleteTrigger(WORD) override { return Unexpected("DeleteTrigger"); }
    HRESULT WINAPI GetTrigger(WORD, ITaskTrigger**) override { return Unexpected("GetTrigger"); }
    HRESULT WINAPI GetTriggerString(WORD, LPWSTR*) override { return Unexpected("GetTriggerString"); }
    HRESULT WINAPI GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, WORD*, LPSYSTEMTIME*) override {
        return Unexpected("GetRunTimes");
    }
    HRESULT WINAPI GetNextRunTime(SYSTEMTIME*) override { return Unexpected("GetNextRunTime"); }
    HRESULT WINAPI SetIdleWait(WORD, WORD) override { return Unexpected("SetIdleWait"); }
    HRESULT WINAPI GetIdleWait(WORD*, WORD*) override { return Unexpected("GetIdleWait"); }
    HRESULT WINAPI Run() override { return Unexpected("Run"); }
    HRESULT WINAPI Terminate() override { return Unexpected("Terminate"); }
    HRESULT WINAPI EditWorkItem(HWND, DWORD) override { return Unexpected("EditWorkItem"); }
    HRESULT WINAPI GetMostRecentRunTime(SYSTEMTIME*) override { return Unexpected("GetMostRecentRunTime"); }
    HRESULT WINAPI GetStatus(HRESULT*) override { return Unexpected("GetStatus"); }
    HRESULT WINAPI GetExitCode(DWORD*) override { return Unexpected("GetExitCode"); }
    HRESULT WINAPI SetComment(LPCWSTR) override { return Unexpected("SetComment"); }
    HRESULT WINAPI GetComment(LPWSTR*) override { return Unexpected("GetComment"); }
    HRESULT WINAPI SetCreator(LPCWSTR) override { return Unexpected("SetCreator"); }
    HRESULT WINAPI GetCreator(LPWSTR*) override { return Unexpected("GetCreator"); }
    HRESULT WINAPI SetWorkItemData(WORD, BYTE[]) override { return Unexpected("SetWorkItemData"); }
    HRESULT WINAPI GetWorkItemData(WORD*, BYTE**) override { return Unexpected("GetWorkItemData"); }
    HRESULT WINAPI SetErrorRetryCount(WORD) override { return Unexpected("SetErrorRetryCount"); }
    HRESULT WINAPI GetErrorRetryCount(WORD*) override { return Unexpected("GetErrorRetryCount"); }
    HRESULT WINAPI SetErrorRetryInterval(WORD) override { return Unexpected("SetErrorRetryInterval"); }
    HRESULT WINAPI GetErrorRetryInterval(WORD*) override { return Unexpected("GetErrorRetryInterval"); }
    HRESULT WINAPI SetFlags(DWORD) override { return Unexpected("SetFlags"); }
    HRESULT WINAPI GetFlags(DWORD*) override { return Unexpected("GetFlags"); }
    HRESULT WINAPI SetAccountInformation(LPCWSTR, LPCWSTR) override { return Unexpected("SetAccountInformation"); }
    HRESULT WINAPI GetAccountInformation(LPWSTR*) override { return Unexpected("GetAccountInformation"); }
    HRESULT WINAPI SetParameters(LPCWSTR) override { return Unexpected("SetParameters"); }
    HRESULT WINAPI GetParameters(LPWSTR*) override { return Unexpected("GetParameters"); }
    HRESULT WINAPI SetWorkingDirectory(LPCWSTR) override { return Unexpected("SetWorkingDirectory"); }
    HRESULT WINAPI GetWorkingDirectory(LPWSTR*) override { return Unexpected("GetWorkingDirectory"); }
    HRESULT WINAPI SetPriority(DWORD) override { return Unexpected("SetPriority"); }
    HRESULT WINAPI GetPriority(DWORD*) override { return Unexpected("GetPriority"); }
    HRESULT WINAPI SetTaskFlags(DWORD) override { return Unexpected("SetTaskFlags"); }
    HRESULT WINAPI GetTaskFlags(DWORD*) override { return Unexpected("GetTaskFlags"); }
    HRESULT WINAPI SetMaxRunTime(DWORD) override { return Unexpected("SetMaxRunTime"); }
    HRESULT WINAPI GetMaxRunTime(DWORD*) override { return Unexpected("GetMaxRunTime"); }

private:
    static HRESULT Unexpected(const char* method) {
        Log(std::string("unexpected ") + method);
        return E_NOTIMPL;
    }
    std::shared_ptr<TaskState> state_;
};

class Scheduler : public Counted<ITaskScheduler> {
public:
    Scheduler() : Counted("ITaskScheduler") {}

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != ql::kIidITaskScheduler) return *out = nullptr, E_NOINTERFACE;
        AddRef();
        *out = static_cast<ITaskScheduler*>(this);
        return S_OK;
    }
    HRESULT WINAPI NewWorkItem(LPCWSTR name, REFCLSID clsid, REFIID iid, IUnknown** out) override {
        *out = nullptr;
        HRESULT result = Answer("NewWorkItem");
        if (SUCCEEDED(result) && clsid != ql::kClsidCTask) result = CLASS_E_CLASSNOTAVAILABLE;
        if (SUCCEEDED(result) && iid != ql::kIidITask) result = E_NOINTERFACE;
        if (SUCCEEDED(result) && TaskNames().count(name) != 0) result = HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        Log("NewWorkItem " + Utf8(name) + " -> " + Hex(result));
        if (FAILED(result)) return result;
        TaskNames().insert(name);
        *out = static_cast<ITask*>(new Task(name));
        return S_OK;
    }

    HRESULT WINAPI SetTargetComputer(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetTargetComputer(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT WINAPI Enum(IEnumWorkItems**) override { return E_NOTIMPL; }
    HRESULT WINAPI Activate(LPCWSTR, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT WINAPI Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI AddWorkItem(LPCWSTR, IScheduledWorkItem*) override { return E_NOTIMPL; }
    HRESULT WINAPI IsOfType(LPCWSTR, REFIID) override { return E_NOTIMPL; }
};

class Factory : public IClassFactory {
public:
    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return 2; }
    ULONG WINAPI Release() override { return 1; }
    HRESULT WINAPI CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        HRESULT result = Answer("CreateInstance");
        Log("CreateInstance -> " + Hex(result));
        if (FAILED(result)) return result;
        auto* scheduler = new Scheduler();
        result = scheduler->QueryInterface(iid, out);
        scheduler->Release();
        return result;
    }
    HRESULT WINAPI LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

__declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (clsid != ql::kClsidCTaskScheduler) return *out = nullptr, CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

__declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

}  // extern "C"
