// The console side of this system: stop requests from the console control handler,
// standard output that keeps the server's bytes, and line input that a stop cuts short.
// Console events are delivered through the handler itself: a process without a console
// of its own (a test under a runner) cannot have the system generate one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <thread>
#include <windows.h>

#include "platform/Signals.h"
#include "platform/StandardDescriptors.h"
#include "platform/Terminal.h"
#include "platform/win32/ConsoleControl.h"

namespace velnor::platform {
namespace {

using win32::handleConsoleControl;

// Standard handle `which` replaced for the life of the object.
class StandardHandleSwap {
public:
    StandardHandleSwap(DWORD which, HANDLE replacement) noexcept
        : which_(which), previous_(::GetStdHandle(which)) {
        ::SetStdHandle(which, replacement);
    }
    ~StandardHandleSwap() { ::SetStdHandle(which_, previous_); }

private:
    DWORD which_;
    HANDLE previous_;
};

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    explicit Pipe(DWORD size = 0) { ::CreatePipe(&read, &write, nullptr, size); }
    ~Pipe() {
        closeWrite();
        if (read)
            ::CloseHandle(read);
    }
    void closeWrite() {
        if (write)
            ::CloseHandle(write);
        write = nullptr;
    }
    std::string drain(std::size_t expected) const {
        std::string got(expected, '\0');
        DWORD done = 0;
        for (std::size_t at = 0; at < expected; at += done)
            if (!::ReadFile(read, got.data() + at, DWORD(expected - at), &done, nullptr) ||
                done == 0)
                return got.substr(0, at);
        return got;
    }
};

TEST(ConsoleStop, EachRequestIsQueuedAndTakenOnce) {
    ASSERT_TRUE(blockStopSignals());
    EXPECT_EQ(waitStopSignal(0), StopRequest::None) << "nothing queued yet";
    const struct {
        DWORD event;
        StopRequest request;
        int exitStatus;
    } cases[] = {{CTRL_C_EVENT, StopRequest::Interrupt, 130},
                 {CTRL_BREAK_EVENT, StopRequest::Terminate, 143}};
    for (const auto& c : cases) {
        EXPECT_NE(handleConsoleControl(c.event), 0);
        EXPECT_EQ(waitStopSignal(1000), c.request);
        EXPECT_EQ(waitStopSignal(0), StopRequest::None) << "taken once";
        EXPECT_EQ(stopExitStatus(c.request), c.exitStatus);
    }
    EXPECT_EQ(stopExitStatus(StopRequest::HangUp), 129);
    EXPECT_EQ(handleConsoleControl(99), 0) << "an event the handler does not know";
    EXPECT_EQ(win32::queuedStopRequests(), 0u);

    // A request arriving during the wait ends it; a flood is bounded and drains.
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int i = 0; i < 20; ++i)
            handleConsoleControl(CTRL_C_EVENT);
    });
    EXPECT_EQ(waitStopSignal(5000), StopRequest::Interrupt);
    late.join();
    EXPECT_LE(win32::queuedStopRequests(), 8u);
    while (waitStopSignal(0) != StopRequest::None) {
    }
    EXPECT_EQ(win32::queuedStopRequests(), 0u);
}

TEST(ConsoleStop, WatchHandleIsSignalledWhileARequestWaits) {
    ASSERT_TRUE(blockStopSignals());
    StopSignalWatch watch;
    ASSERT_NE(watch.handle(), kNoHandle);
    const HANDLE event = reinterpret_cast<HANDLE>(watch.handle());
    EXPECT_EQ(watch.take(), StopRequest::None);
    EXPECT_EQ(::WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
    handleConsoleControl(CTRL_BREAK_EVENT);
    EXPECT_EQ(::WaitForSingleObject(event, 1000), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(watch.take(), StopRequest::Terminate);
    EXPECT_EQ(::WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT)) << "queue empty again";
}

TEST(StandardOutput, BytesArriveUnchanged) {
    const char* const texts[] = {"line\n", "two\nlines\n", "kept\r\n", "\xc3\xa9t\xc3\xa9\n", ""};
    for (const bool bounded : {false, true}) {
        for (const char* text : texts) {
            Pipe pipe;
            ASSERT_TRUE(pipe.write);
            const std::size_t size = std::strlen(text);
            {
                StandardHandleSwap swap(STD_OUTPUT_HANDLE, pipe.write);
                EXPECT_TRUE(bounded ? writeOutputWithin(text, size, 1000) : writeOutput(text));
            }
            pipe.closeWrite();
            EXPECT_EQ(pipe.drain(size + 1), text) << (bounded ? "within a wait" : "at once");
        }
    }
    char path[MAX_PATH];
    char directory[MAX_PATH];
    ASSERT_GT(::GetTempPathA(MAX_PATH, directory), 0u);
    ASSERT_NE(::GetTempFileNameA(directory, "vlc", 0, path), 0u);
    const HANDLE file = ::CreateFileA(path, GENERIC_WRITE | GENERIC_READ, 0, nullptr, CREATE_ALWAYS,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    {
        StandardHandleSwap swap(STD_OUTPUT_HANDLE, file);
        EXPECT_TRUE(writeOutput("a\nb\n"));
    }
    char back[16] = {};
    DWORD got = 0;
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(::ReadFile(file, back, sizeof back - 1, &got, nullptr));
    EXPECT_STREQ(back, "a\nb\n") << "no carriage return added in a file either";
    ::CloseHandle(file);
}

TEST(StandardOutput, FullPipeDoesNotHoldTheWriterUp) {
    Pipe pipe(4096);
    ASSERT_TRUE(pipe.write);
    StandardHandleSwap swap(STD_OUTPUT_HANDLE, pipe.write);
    const std::string block(4096, 'x');
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) {
        const auto started = std::chrono::steady_clock::now();
        refused = !writeOutputWithin(block.data(), block.size(), 100);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    }
    EXPECT_TRUE(refused) << "a pipe nobody reads fills up";
    // Once the reader goes, the piece left with the output's thread fails, and the next
    // write is taken again.
    ::CloseHandle(pipe.read);
    pipe.read = nullptr;
    EXPECT_FALSE(writeOutputWithin("x", 1, 5000)) << "the pipe is broken";
    Pipe fresh;
    StandardHandleSwap drained(STD_OUTPUT_HANDLE, fresh.write);
    EXPECT_TRUE(writeOutputWithin("y\n", 2, 1000));
    fresh.closeWrite();
    EXPECT_EQ(fresh.drain(3), "y\n");
}

TEST(StandardInput, LinesFromAPipeAndAStopWhileWaiting) {
    Pipe pipe;
    ASSERT_TRUE(pipe.write);
    const char input[] = "first\r\nsecond\nlonger than eight\n\nlast";
    DWORD put = 0;
    ASSERT_TRUE(::WriteFile(pipe.write, input, DWORD(sizeof input - 1), &put, nullptr));
    pipe.closeWrite();
    StandardHandleSwap swap(STD_INPUT_HANDLE, pipe.read);
    const struct {
        LineRead result;
        const char* text;
    } cases[] = {{LineRead::Line, "first"}, {LineRead::Line, "second"}, {LineRead::Line, "longer "},
                 {LineRead::Line, ""},      {LineRead::Line, "last"},   {LineRead::EndOfInput, ""}};
    for (const auto& c : cases) {
        char line[8];
        EXPECT_EQ(readLine(line, sizeof line, nullptr), c.result) << c.text;
        EXPECT_STREQ(line, c.text);
    }

    ASSERT_TRUE(blockStopSignals());
    Pipe silent;
    StandardHandleSwap waiting(STD_INPUT_HANDLE, silent.read);
    for (const DWORD delayMs : {0ul, 150ul}) {
        std::thread stopper([delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            handleConsoleControl(CTRL_C_EVENT);
        });
        if (delayMs == 0)
            stopper.join();
        char line[8];
        StopRequest stop = StopRequest::None;
        EXPECT_EQ(readLine(line, sizeof line, &stop), LineRead::Stopped);
        EXPECT_EQ(stop, StopRequest::Interrupt);
        if (stopper.joinable())
            stopper.join();
    }
    EXPECT_EQ(win32::queuedStopRequests(), 0u) << "the request was consumed";
}

TEST(StandardHandles, MissingOnesAreFilledWithTheNullDeviceInBinaryMode) {
    const struct {
        DWORD which;
        int descriptor;
        bool runtimeClosed; // the C runtime's descriptor is gone too
    } cases[] = {{STD_INPUT_HANDLE, 0, false},
                 {STD_INPUT_HANDLE, 0, true},
                 {STD_OUTPUT_HANDLE, 1, false},
                 {STD_ERROR_HANDLE, 2, false}};
    for (const auto& c : cases) {
        const HANDLE previous = ::GetStdHandle(c.which);
        const int saved = c.runtimeClosed ? ::_dup(c.descriptor) : -1;
        if (c.runtimeClosed)
            ::_close(c.descriptor);
        else
            ::SetStdHandle(c.which, nullptr);
        EXPECT_TRUE(fillStandardDescriptors());
        const HANDLE filled = ::GetStdHandle(c.which);
        EXPECT_TRUE(filled && filled != INVALID_HANDLE_VALUE) << c.descriptor;
        EXPECT_EQ(::GetFileType(filled), DWORD(FILE_TYPE_CHAR)) << "the null device";
        EXPECT_NE(::_get_osfhandle(c.descriptor), -1);
        if (c.runtimeClosed) {
            ::_dup2(saved, c.descriptor);
            ::_close(saved);
        } else {
            ::CloseHandle(filled);
            ::SetStdHandle(c.which, previous);
        }
    }
    for (FILE* stream : {stdin, stdout, stderr})
        EXPECT_EQ(::_setmode(::_fileno(stream), _O_BINARY), _O_BINARY);
}

} // namespace
} // namespace velnor::platform
