#include "platform/win32/ChildLaunch.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/HeapBlock.h"
#include "platform/Utf.h"

namespace velnor::platform {
namespace {

constexpr DWORD kPathUnits = 4096;
constexpr char kSystemRoot[] = "SYSTEMROOT=";
constexpr std::size_t kSystemRootLength = sizeof kSystemRoot - 1;

NativeHandle asNative(HANDLE handle) noexcept {
    return reinterpret_cast<NativeHandle>(handle);
}

struct LaunchText {
    wchar_t program[kPathUnits];
    wchar_t directory[kPathUnits];
    // The program path quoted, every backslash possibly doubled.
    wchar_t commandLine[2 * kPathUnits + 3];
};

// A server path made absolute, with the system's separators.
bool fullPath(const char* path, wchar_t* out) noexcept {
    HeapPtr<char16_t> wide = wideFromUtf8(path);
    if (!wide || wide.get()[0] == u'\0')
        return false;
    for (char16_t* unit = wide.get(); *unit != u'\0'; ++unit) {
        if (*unit == u'/')
            *unit = u'\\';
    }
    const DWORD length =
        ::GetFullPathNameW(reinterpret_cast<const wchar_t*>(wide.get()), kPathUnits, out, nullptr);
    return length > 0 && length < kPathUnits;
}

// Checked on the full path, which has lost the trailing dots and spaces the system ignores:
// "run.bat." is a batch file to the system, and is refused here as one.
bool runsDirectly(const wchar_t* program) noexcept {
    const std::size_t length = std::wcslen(program);
    return length > 4 &&
           ::CompareStringOrdinal(program + length - 4, 4, L".exe", 4, TRUE) == CSTR_EQUAL;
}

// Quoted by the rules programs split their command line with: backslashes are literal
// unless a quote follows them, so those before a quote (and before the closing one) are
// doubled.
void quoteCommandLine(const wchar_t* program, wchar_t* out) noexcept {
    std::size_t at = 0;
    out[at++] = L'"';
    std::size_t backslashes = 0;
    for (const wchar_t* unit = program;; ++unit) {
        if (*unit == L'\\') {
            ++backslashes;
            continue;
        }
        const bool quoteFollows = *unit == L'"' || *unit == L'\0';
        for (std::size_t i = 0; i < (quoteFollows ? 2 * backslashes : backslashes); ++i)
            out[at++] = L'\\';
        backslashes = 0;
        if (*unit == L'\0')
            break;
        if (*unit == L'"')
            out[at++] = L'\\';
        out[at++] = *unit;
    }
    out[at++] = L'"';
    out[at] = L'\0';
}

bool namesSystemRoot(const char* entry) noexcept {
    for (std::size_t i = 0; i < kSystemRootLength; ++i) {
        const char c = entry[i] >= 'a' && entry[i] <= 'z' ? char(entry[i] - 32) : entry[i];
        if (c != kSystemRoot[i])
            return false;
    }
    return true;
}

// UTF-16 units of an entry; an entry that is not UTF-8 is taken byte for byte as Latin-1,
// so a header's raw bytes still reach the program instead of costing it the request.
std::size_t unitsOf(const char* entry, std::size_t length) noexcept {
    const long units = utf8ToUtf16(entry, length, nullptr, 0);
    return units < 0 ? length : std::size_t(units);
}

void convertEntry(const char* entry, std::size_t length, wchar_t* out, std::size_t units) {
    char16_t* target = reinterpret_cast<char16_t*>(out);
    if (utf8ToUtf16(entry, length, target, units + 1) >= 0)
        return;
    for (std::size_t i = 0; i < length; ++i)
        target[i] = char16_t(static_cast<unsigned char>(entry[i]));
    target[length] = u'\0';
}

// The program's whole environment as the system takes it. Many programs cannot start
// without SYSTEMROOT, so the server's own is added when the block lacks it.
HeapPtr<wchar_t> environmentBlock(const char* block) noexcept {
    std::size_t total = 0;
    bool hasSystemRoot = false;
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1) {
        total += unitsOf(entry, std::strlen(entry)) + 1;
        hasSystemRoot = hasSystemRoot || namesSystemRoot(entry);
    }
    DWORD rootUnits = 0; // the value's units with its NUL
    if (!hasSystemRoot)
        rootUnits = ::GetEnvironmentVariableW(L"SYSTEMROOT", nullptr, 0);
    if (rootUnits > 0)
        total += kSystemRootLength + rootUnits;
    // Zero-filled with room for two NULs, so even an empty block is ended properly.
    HeapPtr<wchar_t> wide(static_cast<wchar_t*>(std::calloc(total + 2, sizeof(wchar_t))));
    if (!wide)
        return wide;
    wchar_t* at = wide.get();
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1) {
        const std::size_t length = std::strlen(entry);
        const std::size_t units = unitsOf(entry, length);
        convertEntry(entry, length, at, units);
        at += units + 1;
    }
    if (rootUnits > 0) {
        for (std::size_t i = 0; i < kSystemRootLength; ++i)
            *at++ = wchar_t(kSystemRoot[i]);
        // It is the last entry: should the value have changed in between, a shorter one
        // only leaves extra NULs at the end and a longer one is not written at all.
        ::GetEnvironmentVariableW(L"SYSTEMROOT", at, rootUnits);
    }
    return wide;
}

class AttributeList {
public:
    explicit AttributeList(const HANDLE (&inherited)[3]) noexcept {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.reset(std::calloc(1, size));
        auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
        if (list == nullptr || !::InitializeProcThreadAttributeList(list, 1, 0, &size))
            return;
        list_ = list;
        ready_ = ::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                             const_cast<HANDLE*>(inherited), sizeof inherited,
                                             nullptr, nullptr) != FALSE;
    }
    ~AttributeList() {
        if (list_ != nullptr)
            ::DeleteProcThreadAttributeList(list_);
    }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return ready_ ? list_ : nullptr; }

private:
    HeapPtr<void> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool ready_ = false;
};

// A job that ends nothing when its handle closes: a program left to finish its work
// outlives the handle, and only an explicit end takes it and what it started. One that
// crashes ends at once instead of waiting on an error report nobody will see.
UniqueHandle makeJob() noexcept {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return UniqueHandle();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return UniqueHandle(asNative(job));
}

} // namespace

bool launchInJob(const char* programPath, const char* workingDirectory, const char* environment,
                 const HANDLE (&standard)[3], LaunchedProgram& launched) noexcept {
    std::unique_ptr<LaunchText> text(new (std::nothrow) LaunchText);
    if (!text || programPath == nullptr || !fullPath(programPath, text->program) ||
        !runsDirectly(text->program))
        return false;
    const bool changeDirectory = workingDirectory != nullptr && workingDirectory[0] != '\0';
    if (changeDirectory && !fullPath(workingDirectory, text->directory))
        return false;
    quoteCommandLine(text->program, text->commandLine);
    HeapPtr<wchar_t> variables = environmentBlock(environment);
    AttributeList attributes(standard);
    UniqueHandle job = makeJob();
    if (!variables || attributes.get() == nullptr || !job)
        return false;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = standard[0];
    startup.StartupInfo.hStdOutput = standard[1];
    startup.StartupInfo.hStdError = standard[2];
    startup.lpAttributeList = attributes.get();
    // A console of its own, without a window: the server's console keys never reach it.
    const DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(text->program, text->commandLine, nullptr, nullptr, TRUE, flags,
                          variables.get(), changeDirectory ? text->directory : nullptr,
                          &startup.StartupInfo, &started))
        return false;
    UniqueHandle process(asNative(started.hProcess));
    UniqueHandle thread(asNative(started.hThread));
    // Suspended until it is in the job, so nothing it starts can escape it.
    if (!::AssignProcessToJobObject(reinterpret_cast<HANDLE>(job.get()), started.hProcess) ||
        ::ResumeThread(started.hThread) == DWORD(-1)) {
        ::TerminateProcess(started.hProcess, 1);
        ::WaitForSingleObject(started.hProcess, INFINITE);
        return false;
    }
    launched.pid = int(started.dwProcessId);
    launched.process = std::move(process);
    launched.job = std::move(job);
    return true;
}

} // namespace velnor::platform
