// Drives the 32-bit ARM build of the access-log plug-in the way the server does: header
// tables made by the server's own TextTable are handed over in their 32-bit memory form,
// and the log file's bytes are compared with what each call must have left there.
//
// Usage: LogDriver PLUGIN.so [ZONE]   (ZONE as "+0900"; default: the machine's offset)
// Prints one line per failed check and "N passed, N failed" last; exits 1 on a failure.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "content/ByteBuffer.h"
#include "content/TableWalk.h"
#include "content/TextTable.h"
#include "platform/SharedLibrary.h"
#include "platform/TimeConversion.h"
#include "platform/Utf.h"
#include "tests/support/TempDir.h"
#include "velnor/velnor.h"

namespace {

using velnor::ByteBuffer;
using velnor::TextTable;

// The plug-in reads these forms in place, so the server's classes and the C forms of the
// public header must both be exactly the 32-bit layout.
static_assert(sizeof(void*) == 4, "this driver checks the 32-bit build");
static_assert(sizeof(TextTable) == 12);
static_assert(sizeof(ByteBuffer) == 16);
static_assert(sizeof(VelnorTextTable) == 12);
static_assert(sizeof(VelnorByteBuffer) == 16);
static_assert(offsetof(VelnorTextTable, buffer) == 4 && offsetof(VelnorTextTable, cursor) == 8);
static_assert(offsetof(VelnorByteBuffer, data) == 4 && offsetof(VelnorByteBuffer, length) == 8 &&
              offsetof(VelnorByteBuffer, blockSize) == 12);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(TextTable, buffer) == 4 && offsetof(TextTable, cursor) == 8);
static_assert(offsetof(ByteBuffer, data) == 4 && offsetof(ByteBuffer, length) == 8 &&
              offsetof(ByteBuffer, blockSize) == 12);
#pragma GCC diagnostic pop

using LogEntry = int (*)(const char16_t* logPath, std::uint32_t sizeLimit, std::int32_t status,
                         const TextTable* headerTable);

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what, const std::string& detail = {}) {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAIL: %s%s%s\n", what.c_str(), detail.empty() ? "" : "\n      ", detail.c_str());
}

// Shows a record with its control bytes visible, for failure messages.
std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::u16string wide(const std::string& text) {
    const long units = velnor::platform::utf8ToUtf16(text.data(), text.size(), nullptr, 0);
    if (units < 0)
        return {};
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    velnor::platform::utf8ToUtf16(text.data(), text.size(), out.data(), out.size() + 1);
    return out;
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

std::string zoneText(int offsetMinutes) {
    const char sign = offsetMinutes < 0 ? '-' : '+';
    const int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d%02d", sign, magnitude / 60, magnitude % 60);
    return text;
}

// Whole seconds of the local clock as a file time, for ordering moments.
std::uint64_t localSeconds(velnor::platform::SystemTime time) {
    time.milliseconds = 0;
    std::uint64_t fileTime = 0;
    velnor::platform::systemTimeToFileTime(time, fileTime);
    return fileTime;
}

// One call of the plug-in, remembering the local clock around it so the record's time
// can be judged.
struct Call {
    int result = -1;
    std::uint64_t before = 0;
    std::uint64_t after = 0;
};

/// Calls the plug-in's entry on files in one temporary directory and judges the records.
class Driver {
public:
    Driver(LogEntry entry, std::string zone, const velnor::test::TempDir& dir)
        : entry_(entry), zone_(std::move(zone)), dir_(dir) {}

    std::string path(const std::string& name) const { return dir_.file(name); }

    Call log(const std::string& file, std::uint32_t limit, std::int32_t status,
             const TextTable& table) const {
        Call call;
        velnor::platform::SystemTime now;
        int offset = 0;
        velnor::platform::localTimeNow(now, offset);
        call.before = localSeconds(now);
        const std::u16string logPath = wide(file);
        call.result = entry_(logPath.c_str(), limit, status, &table);
        velnor::platform::localTimeNow(now, offset);
        call.after = localSeconds(now);
        return call;
    }

    // Checks one record: every field as expected and the time stamp between the moments
    // taken around the call, in the expected zone.
    void expectRecord(const std::string& what, const std::string& record, const Call& call,
                      const std::string& host, const std::string& user, const std::string& request,
                      std::int32_t status, const std::string& bytes, const std::string& referer,
                      const std::string& agent) const {
        const std::string head = host + " - " + user + " [";
        const std::string tail = "] \"" + request + "\" " + std::to_string(status) + " " + bytes +
                                 " \"" + referer + "\" \"" + agent + "\"\n";
        // "dd/Mon/yyyy:hh:mm:ss +zzzz"
        constexpr std::size_t kStampLength = 26;
        const bool shaped = record.size() == head.size() + kStampLength + tail.size() &&
                            record.compare(0, head.size(), head) == 0 &&
                            record.compare(head.size() + kStampLength, tail.size(), tail) == 0;
        check(shaped, what + ": record fields",
              "got      " + shown(record) + "\n      expected " +
                  shown(head + "dd/Mon/yyyy:hh:mm:ss " + zone_ + tail));
        if (shaped)
            expectStamp(what, record.substr(head.size(), kStampLength), call);
    }

private:
    void expectStamp(const std::string& what, const std::string& stamp, const Call& call) const {
        static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        int day = 0, year = 0, hour = 0, minute = 0, second = 0, consumed = 0;
        char month[4] = {};
        char zone[6] = {};
        const int fields = std::sscanf(stamp.c_str(), "%2d/%3[A-Za-z]/%4d:%2d:%2d:%2d %5s%n", &day,
                                       month, &year, &hour, &minute, &second, zone, &consumed);
        velnor::platform::SystemTime logged;
        for (int i = 0; i < 12; ++i) {
            if (std::strcmp(month, kMonths[i]) == 0)
                logged.month = static_cast<std::uint16_t>(i + 1);
        }
        logged.year = static_cast<std::uint16_t>(year);
        logged.day = static_cast<std::uint16_t>(day);
        logged.hour = static_cast<std::uint16_t>(hour);
        logged.minute = static_cast<std::uint16_t>(minute);
        logged.second = static_cast<std::uint16_t>(second);
        std::uint64_t at = 0;
        const bool valid = fields == 7 && consumed == static_cast<int>(stamp.size()) &&
                           velnor::platform::systemTimeToFileTime(logged, at);
        check(valid && call.before <= at && at <= call.after, what + ": local time of the call",
              "stamp " + stamp);
        check(zone_ == zone, what + ": zone " + zone_, "stamp " + stamp);
    }

    LogEntry entry_;
    std::string zone_;
    const velnor::test::TempDir& dir_;
};

int openDescriptors() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

void checkMemoryForm() {
    TextTable table;
    table.add("remote_addr", "10.0.0.1");
    table.rewind();
    // Read the fields at their byte offsets, as the plug-in's compiled code does.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&table);
    void* buffer = nullptr;
    char* cursor = nullptr;
    std::memcpy(&buffer, bytes + 4, sizeof buffer);
    std::memcpy(&cursor, bytes + 8, sizeof cursor);
    char* data = nullptr;
    std::uint32_t length = 0;
    std::memcpy(&data, static_cast<const unsigned char*>(buffer) + 4, sizeof data);
    std::memcpy(&length, static_cast<const unsigned char*>(buffer) + 8, sizeof length);
    check(buffer == table.buffer && data == table.entries() && cursor == data &&
              length == table.usedLength() &&
              std::memcmp(data,
                          "remote_addr\0"
                          "10.0.0.1\0",
                          22) == 0,
          "table fields at offsets 4 and 8, buffer data at 4 and length at 8");
}

// A header table as the server leaves it for the log call: entries in table order.
struct Field {
    const char* name = nullptr;
    const char* value = nullptr;
};

void fill(TextTable& table, const Field* fields) {
    for (; fields->name != nullptr; ++fields)
        table.add(fields->name, fields->value);
}

struct RecordCase {
    const char* what;
    Field fields[12]; // ended by the first entry without a name
    std::int32_t status;
    const char* host;
    const char* user;
    const char* request;
    const char* bytes;
    const char* referer;
    const char* agent;
};

// Hex digits of \xHH escapes in one letter case, so either spelling compares equal.
std::string upperHexEscapes(std::string record) {
    for (std::size_t i = 0; i + 1 < record.size(); ++i) {
        if (record[i] != '\\')
            continue;
        if (record[i + 1] == 'x' && i + 3 < record.size()) {
            for (std::size_t k = i + 2; k < i + 4; ++k) {
                if (record[k] >= 'a' && record[k] <= 'f')
                    record[k] = static_cast<char>(record[k] - 'a' + 'A');
            }
        }
        ++i; // the escaped character is never the start of another escape
    }
    return record;
}

const RecordCase kRecordCases[] = {
    {"every field present",
     {{"request_line", "GET /index.html HTTP/1.1"},
      {"referer", "http://a.example/start"},
      {"user-agent", "Agent/1.0 (test)"},
      {"remote_host", "client.example"},
      {"authentication_user", "alice"},
      {"send_bytes", "1234"},
      {"remote_addr", "10.1.2.3"}},
     200,
     "client.example",
     "alice",
     "GET /index.html HTTP/1.1",
     "1234",
     "http://a.example/start",
     "Agent/1.0 (test)"},
    {"missing fields are -",
     {{"request_line", "GET / HTTP/1.0"}, {"remote_addr", "10.1.2.3"}},
     404,
     "10.1.2.3",
     "-",
     "GET / HTTP/1.0",
     "-",
     "-",
     "-"},
    {"table without an entries block", {}, 200, "-", "-", "-", "-", "-", "-"},
    {"names in any case, first match in table order",
     {{"USER-AGENT", "first"},
      {"Referer", "r1"},
      {"user-agent", "second"},
      {"REFERER", "r2"},
      {"Request_Line", "GET /x HTTP/1.1"},
      {"Send_Bytes", "7"},
      {"Authentication_User", "bob"},
      {"remote_addr", "10.0.0.9"},
      {"REMOTE_HOST", "h.example"},
      {"remote_host", "later.example"}},
     304,
     "h.example",
     "bob",
     "GET /x HTTP/1.1",
     "7",
     "r1",
     "first"},
    {"remote_host wins over an earlier remote_addr",
     {{"remote_addr", "10.0.0.5"}, {"remote_host", "named.example"}},
     200,
     "named.example",
     "-",
     "-",
     "-",
     "-",
     "-"},
    {"an empty last value ends the walk",
     {{"request_line", "HEAD / HTTP/1.0"}, {"remote_addr", "10.0.0.2"}, {"x-empty", ""}},
     200,
     "10.0.0.2",
     "-",
     "HEAD / HTTP/1.0",
     "-",
     "-",
     "-"},
    {"status printed signed (-1)",
     {{"remote_addr", "10.0.0.3"}},
     -1,
     "10.0.0.3",
     "-",
     "-",
     "-",
     "-",
     "-"},
    {"status printed signed (largest)",
     {{"remote_addr", "10.0.0.3"}},
     2147483647,
     "10.0.0.3",
     "-",
     "-",
     "-",
     "-",
     "-"},
    {"quotes, backslashes and control bytes escaped",
     {{"remote_host", "evil\n.example"},
      {"authentication_user", "a\"b"},
      {"request_line", "GET /\x1b[2J HTTP/1.0"},
      {"referer", "tab\there"},
      {"user-agent", "x\\y\x7f\x01 caf\xc3\xa9"}},
     400,
     "evil\\x0A.example",
     "a\\\"b",
     "GET /\\x1B[2J HTTP/1.0",
     "-",
     "tab\\x09here",
     "x\\\\y\\x7F\\x01 caf\xc3\xa9"},
};

void runRecordChecks(const Driver& driver) {
    int index = 0;
    for (const RecordCase& c : kRecordCases) {
        TextTable table;
        fill(table, c.fields);
        const std::string file = driver.path("record" + std::to_string(index++) + ".log");
        const Call call = driver.log(file, 0xFFFFFFFF, c.status, table);
        check(call.result == 1, std::string(c.what) + ": result 1");
        const std::string record = upperHexEscapes(velnor::test::TempDir::read(file));
        driver.expectRecord(c.what, record, call, c.host, c.user, c.request, c.status, c.bytes,
                            c.referer, c.agent);
        // Every lookup moves the cursor; the last one, the user, leaves it at its match.
        if (std::strcmp(c.user, "-") != 0) {
            const char* user = velnor::findEntryNoCase(table.entries(), "authentication_user");
            check(table.current() == user, std::string(c.what) + ": cursor left at the user");
        }
    }

    TextTable table;
    table.add("remote_addr", "10.9.9.9");
    const std::string file = driver.path("append.log");
    driver.log(file, 0xFFFFFFFF, 200, table);
    const std::string first = velnor::test::TempDir::read(file);
    driver.log(file, 0xFFFFFFFF, 201, table);
    const std::string both = velnor::test::TempDir::read(file);
    check(!first.empty() && both.size() == 2 * first.size() &&
              both.compare(0, first.size(), first) == 0,
          "a second call appends and keeps the first record", shown(both));
}

// The end of a quoted field that starts at `from`: its closing quote, skipping escapes.
std::size_t closingQuote(const std::string& record, std::size_t from) {
    for (std::size_t i = from; i < record.size(); ++i) {
        if (record[i] == '\\')
            ++i;
        else if (record[i] == '"')
            return i;
    }
    return std::string::npos;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes \" \\ \xHH; false for a broken escape (one cut in half, say).
bool unescape(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
            out += text[++i];
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
                   hexDigit(text[i + 3]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// A logged field is the original or its beginning, cut between whole characters.
bool cutCleanly(const std::string& logged, const std::string& original) {
    std::string text;
    if (logged.empty() || !unescape(logged, text) || text.size() > original.size() ||
        original.compare(0, text.size(), text) != 0)
        return false;
    return text.size() == original.size() ||
           (static_cast<unsigned char>(original[text.size()]) & 0xC0) != 0x80;
}

// A record of over-long fields still fits its area, keeps every field, cuts the request
// line and ends its line.
void checkLongFields(const Driver& driver, const std::string& what, const std::string& request,
                     const std::string& referer, const std::string& agent) {
    TextTable table;
    table.add("remote_addr", "10.4.4.4");
    table.add("request_line", request.c_str());
    table.add("referer", referer.c_str());
    table.add("user-agent", agent.c_str());
    static int cases = 0;
    const std::string file = driver.path("long" + std::to_string(cases++) + ".log");
    const Call call = driver.log(file, 0xFFFFFFFF, 200, table);
    driver.log(file, 0xFFFFFFFF, 200, table);
    const std::string both = velnor::test::TempDir::read(file);
    const std::size_t end = both.find('\n');
    const std::string record = both.substr(0, end == std::string::npos ? both.size() : end + 1);
    check(call.result == 1 && end != std::string::npos && both.size() == 2 * record.size(),
          what + ": two whole lines", shown(both.substr(0, 200)));
    check(record.size() <= 1024, what + ": record within 1024 bytes",
          std::to_string(record.size()) + " bytes");

    // host - user [time] "request" 200 - "referer" "agent"
    const std::string head = "10.4.4.4 - - [";
    const std::size_t requestAt = record.find("] \"") + 3;
    const std::size_t requestEnd = closingQuote(record, requestAt);
    const std::size_t refererAt = requestEnd + std::strlen("\" 200 - \"");
    const std::size_t refererEnd = closingQuote(record, refererAt);
    const std::size_t agentAt = refererEnd + std::strlen("\" \"");
    const std::size_t agentEnd = closingQuote(record, agentAt);
    const bool parsed =
        record.compare(0, head.size(), head) == 0 && requestAt == head.size() + 29 &&
        requestEnd != std::string::npos && record.compare(requestEnd, 9, "\" 200 - \"") == 0 &&
        refererEnd != std::string::npos && record.compare(refererEnd, 3, "\" \"") == 0 &&
        agentEnd == record.size() - 2 && record.back() == '\n';
    check(parsed, what + ": every field in its place", shown(record));
    if (!parsed)
        return;
    const std::string loggedRequest = record.substr(requestAt, requestEnd - requestAt);
    const std::string loggedReferer = record.substr(refererAt, refererEnd - refererAt);
    const std::string loggedAgent = record.substr(agentAt, agentEnd - agentAt);
    check(cutCleanly(loggedRequest, request) && loggedRequest.size() < request.size(),
          what + ": request line cut at its end", shown(loggedRequest.substr(0, 80)));
    check(cutCleanly(loggedReferer, referer), what + ": referer whole or cut cleanly",
          shown(loggedReferer.substr(0, 80)));
    check(cutCleanly(loggedAgent, agent), what + ": user agent whole or cut cleanly",
          shown(loggedAgent.substr(0, 80)));
    if (referer.size() + agent.size() < 200)
        check(loggedReferer == referer && loggedAgent == agent,
              what + ": short fields kept whole when the request line is cut");
}

std::string backslashed(std::string path) {
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

// The status field of each record, in file order, as "201 202 ...".
std::string statuses(const std::string& text) {
    std::string out;
    std::size_t line = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         line = end + 1, end = text.find('\n', line)) {
        const std::size_t at = text.find("\" ", line);
        if (at == std::string::npos || at > end)
            return out + "?";
        out += (out.empty() ? "" : " ") + text.substr(at + 2, 3);
    }
    return line == text.size() ? out : out + " ?";
}

void runFileChecks(const Driver& driver) {
    TextTable table;
    table.add("remote_addr", "10.7.7.7");
    table.add("request_line", "GET /r HTTP/1.0");

    std::error_code ignored;
    std::filesystem::create_directory(driver.path("sub"), ignored);
    const std::string slashed = driver.path("sub") + "/b.log";
    check(driver.log(backslashed(slashed), 0xFFFFFFFF, 200, table).result == 1 &&
              countLines(velnor::test::TempDir::read(slashed)) == 1,
          "a path with \\ separators names the same file");

    const std::string missing = driver.path("no-such-dir") + "/x.log";
    check(driver.log(missing, 0xFFFFFFFF, 200, table).result == 0 && !exists(missing),
          "a missing directory gives 0 and creates nothing");
    check(driver.log(driver.path("sub"), 0xFFFFFFFF, 200, table).result == 0,
          "a directory as the log path gives 0");

    // One record's length, so limits can be set exactly at it.
    const std::string measure = driver.path("measure.log");
    driver.log(measure, 0xFFFFFFFF, 201, table);
    const auto recordSize = static_cast<std::uint32_t>(velnor::test::TempDir::read(measure).size());

    const std::string log = driver.path("rot.txt");
    const std::string rotated = driver.path("rot.tx_");
    driver.log(log, recordSize, 201, table);
    check(!exists(rotated) && statuses(velnor::test::TempDir::read(log)) == "201",
          "a file of exactly the limit stays");
    driver.log(log, recordSize, 202, table);
    check(!exists(log) && statuses(velnor::test::TempDir::read(rotated)) == "201 202",
          "the record past the limit is written, then the file is moved aside",
          statuses(velnor::test::TempDir::read(rotated)));
    driver.log(log, recordSize, 203, table);
    check(statuses(velnor::test::TempDir::read(log)) == "203" &&
              statuses(velnor::test::TempDir::read(rotated)) == "201 202",
          "the next record starts a new file");
    driver.log(log, recordSize, 204, table);
    check(!exists(log) && statuses(velnor::test::TempDir::read(rotated)) == "203 204",
          "a second rotation replaces the older rotated file",
          statuses(velnor::test::TempDir::read(rotated)));

    const std::string zero = driver.path("zero.log");
    check(driver.log(zero, 0, 205, table).result == 1 && !exists(zero) &&
              statuses(velnor::test::TempDir::read(driver.path("zero.lo_"))) == "205",
          "limit 0 moves every record aside");

    // A rotated name that cannot be replaced leaves the log where it is, still growing.
    const std::string stuck = driver.path("stuck.log");
    std::filesystem::create_directories(driver.path("stuck.lo_") + "/keep", ignored);
    const int firstResult = driver.log(stuck, 0, 206, table).result;
    const int secondResult = driver.log(stuck, 0, 207, table).result;
    check(firstResult == 1 && secondResult == 1 &&
              statuses(velnor::test::TempDir::read(stuck)) == "206 207",
          "a failed move keeps the log and the next call appends to it");

    const std::string longRequest = "GET /" + std::string(2000, 'a') + " HTTP/1.1";
    checkLongFields(driver, "long request line", longRequest, "http://r.example/", "Agent/2");
    checkLongFields(driver, "every text field long", longRequest, std::string(700, 'r'),
                    std::string(700, 'u'));
    checkLongFields(driver, "escapes that grow past the area", longRequest, std::string(400, '"'),
                    std::string(400, '\x01'));
    std::string accents, symbols;
    for (int i = 0; i < 333; ++i) {
        accents += "\xc3\xa9";                     // two bytes
        symbols += "\xe2\x82\xac\xf0\x9f\x98\x80"; // three and four bytes
    }
    checkLongFields(driver, "multi-byte characters", longRequest, accents, symbols);
}

// Runs `work` in a child process; its exit status, or -1 when it did not exit.
template <typename Work> int inChild(Work work) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(work());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Two processes on one log, and a write that the file size limit cuts short.
void runSharingChecks(const Driver& driver) {
    constexpr int kRecords = 300;
    const std::string shared = driver.path("shared.log");
    auto writer = [&](std::int32_t status) {
        return [&, status] {
            TextTable table;
            table.add("request_line", "GET /w HTTP/1.0");
            int failures = 0;
            for (int n = 0; n < kRecords; ++n)
                failures += driver.log(shared, 0xFFFFFFFF, status, table).result != 1;
            return failures == 0 ? 0 : 1;
        };
    };
    const pid_t first = ::fork();
    if (first == 0)
        ::_exit(writer(211)());
    const int second = inChild(writer(212));
    int firstStatus = 0;
    const bool firstDone = ::waitpid(first, &firstStatus, 0) == first && WIFEXITED(firstStatus) &&
                           WEXITSTATUS(firstStatus) == 0;
    const std::string both = statuses(velnor::test::TempDir::read(shared));
    std::size_t ones = 0, twos = 0;
    for (std::size_t at = 0; (at = both.find("21", at)) != std::string::npos; at += 3)
        (both[at + 2] == '1' ? ones : twos) += 1;
    check(firstDone && second == 0 && both.find('?') == std::string::npos && ones == kRecords &&
              twos == kRecords,
          "two processes on one log: every record whole, none lost");

    TextTable table;
    table.add("request_line", "GET /r HTTP/1.0");
    const std::string measure = driver.path("short-measure.log");
    driver.log(measure, 0xFFFFFFFF, 221, table);
    const auto length = static_cast<rlim_t>(velnor::test::TempDir::read(measure).size());
    const std::string cut = driver.path("short.log");
    const int results = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{2 * length + length / 2, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 255;
        int bits = 0;
        for (int n = 0; n < 4; ++n)
            bits |= driver.log(cut, 0xFFFFFFFF, 221 + n, table).result << n;
        limit.rlim_cur = RLIM_INFINITY;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 255;
        return bits | driver.log(cut, 0xFFFFFFFF, 225, table).result << 4;
    });
    check(results == 0b10011 && statuses(velnor::test::TempDir::read(cut)) == "221 222 225",
          "a write cut short by the size limit is undone and gives 0",
          std::to_string(results) + ": " + statuses(velnor::test::TempDir::read(cut)));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: %s PLUGIN.so [ZONE]\n", argv[0]);
        return 2;
    }
    checkMemoryForm();

    velnor::platform::SharedLibrary plugin;
    void* symbol = plugin.open(argv[1]) ? plugin.symbol("fnVelnorLog") : nullptr;
    check(symbol != nullptr, std::string("load fnVelnorLog from ") + argv[1]);
    velnor::test::TempDir dir;
    check(!dir.path().empty(), "temporary directory");
    if (symbol == nullptr || dir.path().empty()) {
        std::printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }
    std::string zone;
    if (argc > 2) {
        zone = argv[2];
    } else {
        velnor::platform::SystemTime now;
        int offset = 0;
        velnor::platform::localTimeNow(now, offset);
        zone = zoneText(offset);
    }
    const Driver driver(reinterpret_cast<LogEntry>(symbol), zone, dir);
    const int descriptorsBefore = openDescriptors();
    runRecordChecks(driver);
    runFileChecks(driver);
    runSharingChecks(driver);
    // The plug-in keeps its log open between calls, one file at a time.
    check(openDescriptors() <= descriptorsBefore + 1, "no descriptor but the log's kept open");

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
