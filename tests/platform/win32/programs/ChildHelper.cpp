// A program the child-process tests start. CHILD_MODE in its environment picks what it does,
// since the environment is all a started program is given.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string variable(const char* name) {
    char value[1024];
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

bool writeAll(HANDLE to, const void* data, std::size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(to, at, DWORD(size), &written, nullptr))
            return false;
        at += written;
        size -= written;
    }
    return true;
}

void say(const std::string& text) {
    writeAll(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
}

// Starts this program again as a sleeper that holds none of this one's handles.
DWORD startSleeper() {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::SetEnvironmentVariableW(L"CHILD_MODE", L"sleep");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started))
        return 0;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return started.dwProcessId;
}

void printEnvironment() {
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        char utf8[4096];
        const int n =
            ::WideCharToMultiByte(CP_UTF8, 0, entry, -1, utf8, sizeof utf8, nullptr, nullptr);
        if (n > 0)
            say(std::string(utf8, std::size_t(n - 1)) + "\n");
    }
    ::FreeEnvironmentStringsW(block);
}

} // namespace

int main() {
    const std::string mode = variable("CHILD_MODE");
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (mode == "echo") {
        char buffer[8192];
        DWORD n = 0;
        while (::ReadFile(input, buffer, sizeof buffer, &n, nullptr) && n > 0)
            writeAll(::GetStdHandle(STD_OUTPUT_HANDLE), buffer, n);
    } else if (mode == "flood") {
        const std::string block(64 * 1024, 'e');
        for (int i = 0; i < 64; ++i)
            writeAll(::GetStdHandle(STD_ERROR_HANDLE), block.data(), block.size());
        say("done");
    } else if (mode == "family") {
        say(std::to_string(startSleeper()) + "\n");
        if (variable("CHILD_WAIT") == "1")
            ::Sleep(INFINITE);
    } else if (mode == "handle") {
        const HANDLE server =
            reinterpret_cast<HANDLE>(std::strtoull(variable("CHILD_HANDLE").c_str(), nullptr, 10));
        say(::SetEvent(server) ? "set" : "failed");
    } else if (mode == "environment") {
        printEnvironment();
    } else if (mode == "linger") {
        say("answered");
        ::CloseHandle(::GetStdHandle(STD_OUTPUT_HANDLE));
        ::CloseHandle(::GetStdHandle(STD_ERROR_HANDLE));
        ::Sleep(DWORD(std::atoi(variable("CHILD_SLEEP").c_str())));
        const std::string path = variable("CHILD_FILE");
        if (FILE* file = std::fopen(path.c_str(), "w"))
            std::fclose(file);
    } else if (mode == "sleep") {
        ::Sleep(INFINITE);
    }
    return 0;
}
