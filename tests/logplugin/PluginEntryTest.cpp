// The built dunmark.so, loaded as the server loads it and called on the server's own
// tables: what it exports, the lines it appends, the result, rotation and the zone text.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "content/TextTable.h"
#include "tests/support/TempDir.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

using Entries = std::vector<std::pair<const char*, const char*>>;
using Entry = decltype(&fnVelnorLog);

const std::regex kDate(R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\])");

std::u16string widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Sets TZ for one test and puts the old zone back afterwards.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            saved_ = old, hadZone_ = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedZone() {
        if (hadZone_)
            ::setenv("TZ", saved_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool hadZone_ = false;
};

class PluginEntryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        library_ = ::dlopen(DUNMARK_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library_ != nullptr)
            entry_ = reinterpret_cast<Entry>(::dlsym(library_, "fnVelnorLog"));
    }
    static void TearDownTestSuite() {
        if (library_ != nullptr)
            ::dlclose(library_);
        library_ = nullptr;
        entry_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(entry_, nullptr) << ::dlerror();
        logPath_ = dir_.file("access_log.txt");
    }

    int call(TextTable& table, int status = 200, std::uint32_t limit = 1u << 20) {
        return callAt(widen(logPath_), table, status, limit);
    }
    int callAt(const std::u16string& path, TextTable& table, int status = 200,
               std::uint32_t limit = 1u << 20) {
        return entry_(path.c_str(), limit, status, reinterpret_cast<VelnorTextTable*>(&table));
    }
    // The log's lines with the bracketed date checked and replaced by "[D]".
    std::vector<std::string> loggedLines(const std::string& path) {
        std::vector<std::string> lines = linesOf(test::TempDir::read(path));
        for (auto& line : lines) {
            EXPECT_TRUE(std::regex_search(line, kDate)) << line;
            line = std::regex_replace(line, kDate, "[D]", std::regex_constants::format_first_only);
        }
        return lines;
    }
    std::vector<std::string> loggedLines() { return loggedLines(logPath_); }

    static void* library_;
    static Entry entry_;
    test::TempDir dir_;
    std::string logPath_;
};

void* PluginEntryTest::library_ = nullptr;
Entry PluginEntryTest::entry_ = nullptr;

TEST_F(PluginEntryTest, ExportsTheEntryAlone) {
    // The plug-in's copy of the server's code stays private.
    EXPECT_EQ(::dlsym(library_, "_ZN6velnor12stringLengthEPKc"), nullptr);
    EXPECT_EQ(::dlsym(library_, "_ZN6velnor9TextTable3addEPKcS2_"), nullptr);

    std::FILE* listing = ::popen("nm -D --defined-only '" DUNMARK_PATH "' 2>/dev/null", "r");
    ASSERT_NE(listing, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, listing) != nullptr) {
        char name[512];
        if (std::sscanf(line, "%*s %*s %511s", name) == 1)
            names.insert(name);
    }
    if (::pclose(listing) != 0 || names.empty())
        GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(names, std::set<std::string>{"fnVelnorLog"});
}

TEST_F(PluginEntryTest, OneLinePerCallWithEveryFieldOrADash) {
    struct Case {
        const char* what;
        Entries entries;
        int status;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"every field",
         {{"request_line", "GET /a.txt HTTP/1.0"},
          {"Referer", "http://r.test/"},
          {"User-Agent", "ua/1.0"},
          {"remote_addr", "10.0.0.7"},
          {"authentication_user", "alice"},
          {"send_bytes", "6"}},
         200,
         "10.0.0.7 - alice [D] \"GET /a.txt HTTP/1.0\" 200 6 \"http://r.test/\" \"ua/1.0\"\n"},
        {"a bare status answer",
         {{"request_line", "GET /missing HTTP/1.1"}, {"remote_addr", "10.0.0.7"}},
         404,
         "10.0.0.7 - - [D] \"GET /missing HTTP/1.1\" 404 - \"-\" \"-\"\n"},
        {"the host name before the address",
         {{"remote_addr", "10.0.0.7"}, {"remote_host", "client.test"}},
         200,
         "client.test - - [D] \"-\" 200 - \"-\" \"-\"\n"},
        {"first match in table order, any case; the byte count as stored",
         {{"USER-AGENT", "first"}, {"user-agent", "second"}, {"send_bytes", "000123"}},
         304,
         "- - - [D] \"-\" 304 000123 \"-\" \"first\"\n"},
        {"an empty table", {}, 500, "- - - [D] \"-\" 500 - \"-\" \"-\"\n"},
        {"escaped fields",
         {{"request_line", "GET /\"x\" HTTP/1.0"}, {"user-agent", "a\\b\x1b"}},
         400,
         "- - - [D] \"GET /\\\"x\\\" HTTP/1.0\" 400 - \"-\" \"a\\\\b\\x1B\"\n"},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TextTable table;
        for (const auto& [name, value] : c.entries)
            ASSERT_NE(table.add(name, value), 0u);
        EXPECT_EQ(call(table, c.status), 1);
        expected.push_back(c.expected);
    }
    EXPECT_EQ(loggedLines(), expected);
}

TEST_F(PluginEntryTest, MovesTheCursorAsItsLastLookupLeftIt) {
    TextTable table;
    table.add("remote_addr", "10.0.0.7");
    table.add("authentication_user", "alice");
    table.add("referer", "r");
    ASSERT_EQ(call(table), 1);
    char* after = table.cursor;
    EXPECT_EQ(after, table.find("authentication_user"));
}

TEST_F(PluginEntryTest, RotatesOnlyPastTheLimitAndKeepsOneOlderFile) {
    // Backslashes separate names as well; every record here has the same length.
    std::string path = logPath_;
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    const std::string rotated = dir_.file("access_log.tx_");
    auto record = [&](int n, std::uint32_t limit) {
        TextTable table;
        const std::string line = "GET /" + std::to_string(n) + " HTTP/1.0";
        table.add("request_line", line.c_str());
        return callAt(widen(path), table, 200, limit);
    };
    ASSERT_EQ(record(1, 1u << 20), 1);
    const auto length = static_cast<std::uint32_t>(std::filesystem::file_size(logPath_));
    const std::uint32_t limit = 2 * length;

    ASSERT_EQ(record(2, limit), 1);
    EXPECT_EQ(std::filesystem::file_size(logPath_), limit) << "exactly the limit stays";
    EXPECT_FALSE(std::filesystem::exists(rotated));

    ASSERT_EQ(record(3, limit), 1);
    EXPECT_FALSE(std::filesystem::exists(logPath_));
    ASSERT_EQ(loggedLines(rotated).size(), 3u) << "the record that passed the limit is in it";
    EXPECT_NE(loggedLines(rotated)[2].find("GET /3 "), std::string::npos);

    for (int n = 4; n <= 6; ++n)
        ASSERT_EQ(record(n, limit), 1);
    EXPECT_FALSE(std::filesystem::exists(logPath_));
    const std::vector<std::string> second = loggedLines(rotated);
    ASSERT_EQ(second.size(), 3u) << "the second rotation replaced the first";
    EXPECT_NE(second[0].find("GET /4 "), std::string::npos);
    ASSERT_EQ(record(7, limit), 1);
    EXPECT_EQ(loggedLines().size(), 1u);
}

// The log stays open between records, yet another program may move, remove or replace it
// between two requests: a record a fifth of a second later goes to the file the path
// names then, and the record written since the last check that no file shows any more
// comes with it.
TEST_F(PluginEntryTest, FollowsThePathWhenTheLogIsMovedRemovedOrReplaced) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        void (*change)(const std::string& log, const std::string& aside);
        std::vector<std::string> atPath;  // after the change and one more record
        std::vector<std::string> movedTo; // at `aside`, empty when there is none
    };
    auto line = [](int n) {
        return "- - - [D] \"GET /" + std::to_string(n) + "\" 200 - \"-\" \"-\"\n";
    };
    static auto writeFresh = [](const std::string& path) {
        std::FILE* fresh = std::fopen(path.c_str(), "w");
        ASSERT_NE(fresh, nullptr);
        std::fputs("- - - [01/Jan/2027:00:00:00 +0000] \"GET /fresh\" 200 - \"-\" \"-\"\n", fresh);
        std::fclose(fresh);
    };
    const std::string fresh = "- - - [D] \"GET /fresh\" 200 - \"-\" \"-\"\n";
    const std::vector<Case> cases = {
        {"moved away",
         [](const std::string& log, const std::string& to) { fs::rename(log, to); },
         {line(2)},
         {line(1)}},
        {"removed",
         [](const std::string& log, const std::string&) { fs::remove(log); },
         {line(1), line(2)},
         {}},
        {"replaced by a file of its own",
         [](const std::string& log, const std::string& to) {
             fs::rename(log, to);
             writeFresh(log);
         },
         {fresh, line(2)},
         {line(1)}},
        {"replaced by a file renamed over it",
         [](const std::string& log, const std::string& to) {
             writeFresh(to);
             fs::rename(to, log);
         },
         {fresh, line(1), line(2)},
         {}},
        {"left alone", [](const std::string&, const std::string&) {}, {line(1), line(2)}, {}},
    };
    auto record = [&](int n) {
        TextTable table;
        table.add("request_line", ("GET /" + std::to_string(n)).c_str());
        return call(table);
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A log of its own for each case: the first record opens it, so only record 1 was
        // written since the log's last check.
        logPath_ = dir_.file("access_log" + std::to_string(++round) + ".txt");
        const std::string aside = dir_.file("moved_log" + std::to_string(round) + ".txt");
        ASSERT_EQ(record(1), 1);
        c.change(logPath_, aside);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ASSERT_EQ(record(2), 1);
        EXPECT_EQ(loggedLines(), c.atPath);
        EXPECT_EQ(fs::exists(aside), !c.movedTo.empty());
        if (!c.movedTo.empty()) {
            EXPECT_EQ(loggedLines(aside), c.movedTo);
        }
    }
}

TEST_F(PluginEntryTest, TwoThreadsAtOnceNeverInterleaveARecord) {
    constexpr int kRecords = 2000;
    // Long request lines make a torn or mixed record easy to see.
    auto writer = [&](char who, int& failures) {
        for (int n = 0; n < kRecords; ++n) {
            TextTable table;
            const std::string line = "GET /" + std::string(1, who) + "/" + std::to_string(n) + "/" +
                                     std::string(300, who);
            table.add("request_line", line.c_str());
            failures += call(table, 200, 1u << 26) != 1;
        }
    };
    int failuresA = 0, failuresB = 0;
    std::thread first(writer, 'a', std::ref(failuresA));
    std::thread second(writer, 'b', std::ref(failuresB));
    first.join();
    second.join();
    EXPECT_EQ(failuresA + failuresB, 0);

    const std::regex shape(R"re(- - - \[D\] "GET /([ab])/(\d+)/([ab]{300})" 200 - "-" "-"\n)re");
    int next[2] = {0, 0};
    std::smatch found;
    for (const std::string& line : loggedLines()) {
        ASSERT_TRUE(std::regex_match(line, found, shape)) << line;
        const int who = found[1].str()[0] - 'a';
        ASSERT_EQ(found[3].str(), std::string(300, found[1].str()[0])) << line;
        ASSERT_EQ(std::stoi(found[2]), next[who]) << line;
        ++next[who];
    }
    EXPECT_EQ(next[0], kRecords);
    EXPECT_EQ(next[1], kRecords);
}

TEST_F(PluginEntryTest, UnusableLogGivesZeroAndWritesNothing) {
    TextTable table;
    table.add("remote_addr", "10.0.0.7");
    const std::vector<std::pair<const char*, std::u16string>> cases = {
        {"missing directory", widen(dir_.file("no/such/dir/access_log.txt"))},
        {"a directory", widen(dir_.path().string())},
        {"empty path", u""},
        {"no NUL within 260 units", std::u16string(300, u'x')},
        {"unpaired surrogate", widen(dir_.file("log")) + u"\xD800"},
    };
    for (const auto& [what, path] : cases)
        EXPECT_EQ(callAt(path, table), 0) << what;
    EXPECT_EQ(entry_(nullptr, 100, 200, reinterpret_cast<VelnorTextTable*>(&table)), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));

    // A null table is logged with every field missing rather than read.
    EXPECT_EQ(entry_(widen(logPath_).c_str(), 100, 200, nullptr), 1);
    EXPECT_EQ(loggedLines(), std::vector<std::string>{"- - - [D] \"-\" 200 - \"-\" \"-\"\n"});
}

// Runs `work` in a child process and returns its exit status, or -1 when it did not exit.
template <typename Work> int inChild(Work work) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(work());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(PluginEntryTest, TwoProcessesOnOneLogLoseNothing) {
    constexpr int kRecords = 2000;
    auto writer = [&](int who) {
        return [&, who] {
            int failures = 0;
            for (int n = 0; n < kRecords; ++n) {
                TextTable table;
                const std::string line = "GET /" + std::to_string(who) + "/" + std::to_string(n);
                table.add("request_line", line.c_str());
                failures += call(table) != 1;
            }
            return failures == 0 ? 0 : 1;
        };
    };
    const pid_t first = ::fork();
    if (first == 0)
        ::_exit(writer(1)());
    const int second = inChild(writer(2));
    int firstStatus = 0;
    ASSERT_EQ(::waitpid(first, &firstStatus, 0), first);
    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0);
    EXPECT_EQ(second, 0);

    // Whole records only, each writer's in the order written.
    const std::regex shape(R"re(- - - \[D\] "GET /([12])/(\d+)" 200 - "-" "-"\n)re");
    int next[3] = {0, 0, 0};
    std::smatch found;
    for (const std::string& line : loggedLines()) {
        ASSERT_TRUE(std::regex_match(line, found, shape)) << line;
        const int who = std::stoi(found[1]);
        ASSERT_EQ(std::stoi(found[2]), next[who]) << line;
        ++next[who];
    }
    EXPECT_EQ(next[1], kRecords);
    EXPECT_EQ(next[2], kRecords);
}

TEST_F(PluginEntryTest, ShortWriteIsUndoneAndGivesZero) {
    auto record = [&](int n) {
        TextTable table;
        table.add("request_line", ("GET /" + std::to_string(n)).c_str());
        return call(table);
    };
    ASSERT_EQ(record(0), 1);
    const auto length = static_cast<rlim_t>(std::filesystem::file_size(logPath_));
    // A log of its own: the one just measured is the open one until it is checked.
    logPath_ = dir_.file("short_log.txt");

    // A file size limit stands in for a full disk: the third record fits by half. Each
    // call's result is one bit of the exit status.
    const int results = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{2 * length + length / 2, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 255;
        int bits = 0;
        for (int n = 0; n < 4; ++n)
            bits |= record(n) << n;
        limit.rlim_cur = RLIM_INFINITY;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 255;
        return bits | record(4) << 4;
    });
    EXPECT_EQ(results, 0b10011) << "written, written, refused, refused, written";
    std::vector<std::string> expected;
    for (int n : {0, 1, 4})
        expected.push_back("- - - [D] \"GET /" + std::to_string(n) + "\" 200 - \"-\" \"-\"\n");
    EXPECT_EQ(loggedLines(), expected);
}

TEST_F(PluginEntryTest, ZoneTextIsTheMachinesOffset) {
    const std::vector<std::pair<const char*, const char*>> zones = {
        {"UTC", "+0000"},
        {"JST-9", "+0900"},
        {"<-0330>3:30", "-0330"},
        {"Asia/Tokyo", "+0900"},
    };
    int round = 0;
    for (const auto& [zone, text] : zones) {
        if (zone[0] == 'A' && !std::filesystem::exists("/usr/share/zoneinfo/Asia/Tokyo"))
            continue;
        SCOPED_TRACE(zone);
        logPath_ = dir_.file("zone_log" + std::to_string(++round) + ".txt");
        ScopedZone scoped(zone);
        TextTable table;
        ASSERT_EQ(call(table), 1);
        const std::string line = test::TempDir::read(logPath_);
        EXPECT_NE(line.find(std::string(" ") + text + "] "), std::string::npos) << line;
    }
}

} // namespace
} // namespace velnor
