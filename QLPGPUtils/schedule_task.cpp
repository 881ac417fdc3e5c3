// JNI native scheduleTask: creates a scheduled task through the Task Scheduler 1.0 interfaces, stores
// it with its program, then lets the user edit it on the system's own task pages until it has a
// program and a trigger (or the user accepts it without).

#include <jni.h>
#include <windows.h>
#include <commctrl.h>
#include <mstask.h>
#include <oleauto.h>
#include <prsht.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "com_brennick_util_Native.h"
#include "ql/com_ptr.h"
#include "diagnostics.h"
#include "java_chars.h"
#include "late_bound.h"
#include "task_scheduler_ids.h"

namespace {

// NewWorkItem's answer when a task of that name exists already (HRESULT of ERROR_FILE_EXISTS).
constexpr HRESULT kTaskExists = static_cast<HRESULT>(0x80070050);
// Numbered names are composed in a buffer of this many UTF-16 units, terminator included.
constexpr std::size_t kNameBufferUnits = 128;
// A numbered name that does not fit that buffer.
constexpr HRESULT kNameTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

#if !defined(_WIN64)
static_assert(sizeof(PROPSHEETHEADERA) == 52);
#endif

// The result of a step: null when it succeeded, else the text "<step>. Error code 0x<HRESULT>".
// Needs no heap memory of its own, so it also reports running out of it.
jstring toErrorString(JNIEnv* env, const char* stepText, HRESULT result) {
    if (result >= 0) return nullptr;
    ql::WriteDiagnostic("Error 0x%08x\n", static_cast<unsigned>(result));
    char text[160];  // every step text is far shorter than this less the 32 the code needs
    std::snprintf(text, sizeof text, "%s. Error code 0x%08X", stepText, static_cast<unsigned>(result));
    return env->NewStringUTF(text);
}

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

HWND ToHwnd(jint value) { return reinterpret_cast<HWND>(static_cast<INT_PTR>(value)); }

struct BstrOwner {
    BSTR value = nullptr;
    ~BstrOwner() { ql::late::SysFreeString(value); }
};

// The three pages of one round of the sheet. The sheet destroys the pages it was given; pages
// fetched for a round that never reaches the sheet are destroyed here.
struct TaskPages {
    HPROPSHEETPAGE handles[3] = {};
    bool handedToSheet = false;
    ~TaskPages() {
        if (handedToSheet) return;
        for (HPROPSHEETPAGE page : handles) {
            if (page != nullptr) ql::late::DestroyPropertySheetPage(page);
        }
    }
};

// Creates the task under the given name, or the first numbered name that is free. On success
// `created` holds the task and `taskName` the name it got.
jstring CreateTask(JNIEnv* env, ITaskScheduler* scheduler, const std::wstring& givenName, std::wstring& taskName,
                   ql::ComPtr<ITask>& created) {
    taskName = givenName;
    HRESULT result = scheduler->NewWorkItem(taskName.c_str(), ql::kClsidCTask, ql::kIidITask,
                                            reinterpret_cast<IUnknown**>(created.put()));
    for (unsigned number = 1; result == kTaskExists; ++number) {
        ql::WriteDiagnostic("already exist... try with id %d\n", static_cast<int>(number));
        std::wstring numbered = givenName + std::to_wstring(number);
        if (numbered.size() + 1 > kNameBufferUnits) return toErrorString(env, "Task name too long to number", kNameTooLong);
        taskName = std::move(numbered);
        result = scheduler->NewWorkItem(taskName.c_str(), ql::kClsidCTask, ql::kIidITask,
                                        reinterpret_cast<IUnknown**>(created.put()));
    }
    return toErrorString(env, "Failed to create task", result);
}

// The problem that makes the user confirm the task, or null when it has a program and a trigger.
jstring CheckTask(JNIEnv* env, ITask* task, const char*& problem) {
    problem = nullptr;
    LPWSTR program = nullptr;
    HRESULT result = task->GetApplicationName(&program);
    const bool missing = program == nullptr || program[0] == L'\0';
    ql::late::CoTaskMemFree(program);
    if (jstring error = toErrorString(env, "Failed to check task parameters", result)) return error;
    if (missing) {
        problem = "Task command is missing";
        return nullptr;
    }
    WORD triggers = 0;
    result = task->GetTriggerCount(&triggers);
    if (jstring error = toErrorString(env, "Failed to check task trigger count", result)) return error;
    if (triggers == 0) problem = "No trigger was set";
    return nullptr;
}

jstring EditTask(JNIEnv* env, ITask* task, IProvideTaskPage* pageProvider, const char* caption, HWND owner) {
    static constexpr const char* kPageSteps[3] = {"Failed to retrieve task editor page",
                                                  "Failed to retrieve schedule editor page",
                                                  "Failed to retrieve settings editor page"};
    for (;;) {
        TaskPages pages;
        for (int page = 0; page < 3; ++page) {
            HRESULT result = pageProvider->GetPage(static_cast<TASKPAGE>(page), TRUE, &pages.handles[page]);
            if (jstring error = toErrorString(env, kPageSteps[page], result)) return error;
        }

        PROPSHEETHEADERA header = {};
        header.dwSize = sizeof header;
        header.dwFlags = PSH_NOAPPLYNOW;
        header.hwndParent = owner;
        header.hInstance = nullptr;
        header.pszCaption = caption;
        header.nPages = 3;
        header.nStartPage = 0;
        header.phpage = pages.handles;
        pages.handedToSheet = true;
        const INT_PTR shown = ql::late::PropertySheetA(&header);
        ql::WriteDiagnostic("Return code is: %d\n", static_cast<int>(shown));
        if (shown < 1) return nullptr;

        const char* problem = nullptr;
        if (jstring error = CheckTask(env, task, problem)) return error;
        if (problem == nullptr) return nullptr;

        std::string question = std::string(problem) + ". Are you sure you want continue?";
        if (MessageBoxA(owner, question.c_str(), "Error", MB_YESNO | MB_ICONERROR) == IDYES) return nullptr;
    }
}

jstring ScheduleTask(JNIEnv* env, jstring javaTaskName, jstring javaCommand, HWND owner) {
    // Released in reverse order of declaration: the Java characters first, then the caption, the
    // page provider, the serialisation interface, the task and the scheduler.
    ql::ComPtr<ITaskScheduler> scheduler;
    ql::ComPtr<ITask> task;
    ql::ComPtr<IPersistFile> persist;
    ql::ComPtr<IProvideTaskPage> pageProvider;
    BstrOwner countedName;
    ql::JavaCharsList javaChars(env);
    javaChars.Reserve(2);

    HRESULT result = ql::late::CoCreateInstance(ql::kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                                ql::kIidITaskScheduler, scheduler.put_void());
    if (jstring error = toErrorString(env, "Failed to connect to Task Scheduler", result)) return error;

    const std::wstring givenName = javaChars.Take(javaTaskName);
    const std::wstring command = javaChars.Take(javaCommand);
    ql::WriteDiagnostic("Try to create task\n");
    // The scheduler reads both texts only up to a U+0000: "C:\\x.exe<U+0000>..." would be a task that
    // runs C:\x.exe. Such text is refused before anything is created.
    if (HasNul(givenName)) return toErrorString(env, "Failed to create task", E_INVALIDARG);
    if (HasNul(command)) return toErrorString(env, "Failed to set task command", E_INVALIDARG);
    std::wstring taskName;
    if (jstring error = CreateTask(env, scheduler.get(), givenName, taskName, task)) return error;

    result = task->SetApplicationName(command.c_str());
    if (jstring error = toErrorString(env, "Failed to set task command", result)) return error;

    result = task->QueryInterface(ql::kIidIPersistFile, persist.put_void());
    if (jstring error = toErrorString(env, "Failed to init serialization", result)) return error;
    result = persist->Save(nullptr, TRUE);
    if (jstring error = toErrorString(env, "Failed to save task", result)) return error;

    result = task->QueryInterface(ql::kIidIProvideTaskPage, pageProvider.put_void());
    if (jstring error = toErrorString(env, "Failed to init properties editor", result)) return error;

    countedName.value = ql::late::SysAllocString(taskName.c_str());
    if (countedName.value == nullptr) return toErrorString(env, "Failed to init properties editor", E_OUTOFMEMORY);
    const int captionBytes = WideCharToMultiByte(CP_ACP, 0, countedName.value, -1, nullptr, 0, nullptr, nullptr);
    std::string caption(captionBytes > 0 ? static_cast<std::size_t>(captionBytes) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, countedName.value, -1, caption.data(), captionBytes, nullptr, nullptr);

    return EditTask(env, task.get(), pageProvider.get(), caption.c_str(), owner);
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_com_brennick_util_Native_scheduleTask(JNIEnv* env, jclass, jstring taskName,
                                                                       jstring command, jint parentWindow) {
    const HRESULT com = ql::late::CoInitialize(nullptr);
    jstring result = nullptr;
    try {
        result = ScheduleTask(env, taskName, command, ToHwnd(parentWindow));
    } catch (const ql::JavaCharsRefused&) {
        // The runtime's OutOfMemoryError is pending: no Java call may follow, not even NewStringUTF.
        result = nullptr;
    } catch (...) {
        // Only memory can run out here; everything taken has been released by its owner.
        result = toErrorString(env, "Out of memory", E_OUTOFMEMORY);
    }
    if (com == S_OK || com == S_FALSE) ql::late::CoUninitialize();
    return result;
}

}  // extern "C"
