#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "http/RequestContext.h"

namespace velnor {
namespace {

constexpr std::int32_t kUntouched = -1;

// Request line first, then (when it passes) the header lines, as the reader does.
int parseHead(RequestContext& context, const std::string& head) {
    const int status = context.parseRequestLine(head.c_str());
    return status == 200 ? context.parseHeaders(head.c_str()) : status;
}

TEST(RequestLine, MethodVersionAndTarget) {
    const std::string longTarget = "/" + std::string(258, 'a'); // 259 characters
    const struct {
        const char* name;
        std::string head;
        int status;
        std::int32_t method;
        const char* version;
        const char* target;
    } cases[] = {
        {"get", "GET /a.html HTTP/1.0\r\n\r\n", 200, Get, "HTTP/1.0", "/a.html"},
        {"head 1.1", "HEAD /x HTTP/1.1\r\n\r\n", 200, Head, "HTTP/1.1", "/x"},
        {"post 0.9", "POST /p?q=1 HTTP/0.9\r\n\r\n", 200, Post, "HTTP/0.9", "/p?q=1"},
        {"tabs separate", "GET\t/t\tHTTP/1.1\r\n\r\n", 200, Get, "HTTP/1.1", "/t"},
        {"simple form", "GET /s\r\n\r\n", 200, Get, "HTTP/1.0", "/s"},
        {"lower-case method", "get / HTTP/1.0\r\n\r\n", 400, Unrecognised, "HTTP/1.0", ""},
        {"unknown method", "GETX / HTTP/1.0\r\n\r\n", 400, Unrecognised, "HTTP/1.0", ""},
        {"put", "PUT / HTTP/1.1\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"delete", "DELETE / HTTP/1.1\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"trace", "TRACE / HTTP/1.0\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"options", "OPTIONS * HTTP/1.0\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"connect", "CONNECT h:1 HTTP/1.0\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"link", "LINK / HTTP/1.0\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"unlink", "UNLINK / HTTP/1.0\r\n\r\n", 501, NotImplemented, "HTTP/1.0", ""},
        {"version 1.2", "GET / HTTP/1.2\r\n\r\n", 400, Get, "HTTP/1.0", ""},
        {"lower-case version", "GET / http/1.1\r\n\r\n", 400, Get, "HTTP/1.0", ""},
        {"blank after version", "GET / HTTP/1.1 \r\n\r\n", 400, Get, "HTTP/1.0", ""},
        {"double space", "GET  / HTTP/1.0\r\n\r\n", 400, Get, "HTTP/1.0", ""},
        {"method alone", "GET\r\n\r\n", 400, kUntouched, "HTTP/1.0", ""},
        {"empty line", "\r\n\r\n", 400, kUntouched, "HTTP/1.0", ""},
        {"empty text", "", 400, kUntouched, "HTTP/1.0", ""},
        {"target of 259", "GET " + longTarget + " HTTP/1.1\r\n\r\n", 200, Get, "HTTP/1.1",
         longTarget.c_str()},
        {"target of 260", "GET " + longTarget + "b HTTP/1.1\r\n\r\n", 400, Get, "HTTP/1.1", ""},
        {"target of 600", "GET /" + std::string(599, 'z') + " HTTP/1.0\r\n\r\n", 400, Get,
         "HTTP/1.0", ""},
    };
    for (const auto& c : cases) {
        RequestContext context;
        context.methodCode = kUntouched;
        std::strcpy(context.version, "HTTP/1.1"); // what an earlier request left
        EXPECT_EQ(parseHead(context, c.head), c.status) << c.name;
        EXPECT_EQ(context.methodCode, c.method) << c.name;
        EXPECT_STREQ(context.version, c.version) << c.name;
        EXPECT_STREQ(context.target, c.target) << c.name;
        // The log's entry exists whatever became of the request.
        EXPECT_NE(context.headerTable.value("request_line"), nullptr) << c.name;
    }
}

TEST(RequestLine, RecordedLineIsCutAt511Characters) {
    RequestContext context;
    const std::string line = "GET /" + std::string(600, 'x') + " HTTP/1.0";
    EXPECT_EQ(context.parseRequestLine((line + "\r\n\r\n").c_str()), 400);
    EXPECT_EQ(std::string(context.headerTable.value("request_line")), line.substr(0, 511));
}

struct Lookup {
    const char* name;
    bool noCase;
    const char* value; // null: no such entry
};

TEST(HeaderLines, StoredAsSent) {
    const struct {
        const char* name;
        std::string lines; // after "GET / HTTP/1.0\r\n"
        int status;
        std::vector<Lookup> lookups;
    } cases[] = {
        {"plain", "Host: a.example\r\n\r\n", 200, {{"Host", false, "a.example"}}},
        {"no colon skipped",
         "NoColon\r\nHost: a\r\n\r\n",
         200,
         {{"NoColon", true, nullptr}, {"host", true, "a"}}},
        // A lookup finds the first match, so "2" means the first entry is gone.
        {"same name twice", "X-A: 1\r\nX-A: 2\r\n\r\n", 200, {{"X-A", false, "2"}}},
        {"other case kept",
         "Host: first\r\nhost: second\r\n\r\n",
         200,
         {{"host", true, "first"}, {"host", false, "second"}}},
        {"value blanks", "X:\t  v w  \r\n\r\n", 200, {{"X", false, "v w  "}}},
        {"empty value", "X:\r\n\r\n", 200, {{"X", false, ""}}},
        {"colon in value", "Host: h:8080\r\n\r\n", 200, {{"host", true, "h:8080"}}},
        {"no headers", "\r\n", 200, {{"host", true, nullptr}}},
        {"last line without CR LF", "X: a\r\nY: b", 400, {{"X", false, "a"}}},
        {"LF-ended block", "X: a\n\n", 400, {{"X", false, nullptr}}},
        {"reserved names",
         "request_line: spoof\r\nRemote_Host: evil\r\nREMOTE_ADDR: 1.2.3.4\r\n"
         "query_string: a=b\r\nSend_Bytes: 9\r\nAuthentication_User: root\r\nOk: 1\r\n\r\n",
         200,
         {{"request_line", false, "GET / HTTP/1.0"},
          {"remote_host", true, nullptr},
          {"remote_addr", true, nullptr},
          {"QUERY_STRING", true, nullptr},
          {"send_bytes", true, nullptr},
          {"authentication_user", true, nullptr},
          {"Ok", false, "1"}}},
    };
    for (const auto& c : cases) {
        RequestContext context;
        EXPECT_EQ(parseHead(context, "GET / HTTP/1.0\r\n" + c.lines), c.status) << c.name;
        for (const Lookup& l : c.lookups) {
            const char* got = l.noCase ? context.headerTable.valueNoCase(l.name)
                                       : context.headerTable.value(l.name);
            if (!l.value)
                EXPECT_EQ(got, nullptr) << c.name << ": " << l.name;
            else if (!got)
                ADD_FAILURE() << c.name << ": " << l.name << " missing";
            else
                EXPECT_STREQ(got, l.value) << c.name << ": " << l.name;
        }
    }
}

// The server's own entries reach gateways as variables, where '-' and '_' and the letter
// case are one: no spelling of a reserved name is stored, and near misses are.
TEST(HeaderLines, ReservedNamesInEverySpellingAreNotStored) {
    const struct {
        const char* name;
        bool stored;
    } cases[] = {
        {"authentication_user", false}, {"Authentication-User", false},
        {"AUTHENTICATION-user", false}, {"Authentication_User-", true},
        {"Remote-Host", false},         {"remote-addr", false},
        {"Send-Bytes", false},          {"Request-Line", false},
        {"Query-String", false},        {"Query--String", true},
        {"X-Remote-Host", true},        {"Remote-Hos", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestContext context;
        ASSERT_EQ(
            parseHead(context, std::string("GET / HTTP/1.0\r\n") + c.name + ": forged\r\n\r\n"),
            200);
        EXPECT_EQ(context.headerTable.value(c.name) != nullptr, c.stored);
        EXPECT_STREQ(context.headerTable.value("request_line"), "GET / HTTP/1.0");
    }
}

// Lines that some reader on the way could take for other headers than this server does,
// and bodies framed other than by one plain Content-Length.
TEST(HeaderLines, AmbiguousFramingIsRefused) {
    const struct {
        const char* name;
        std::string lines; // after "POST / HTTP/1.1\r\n"
        int status;
        std::int64_t length; // the announced length after a 200
    } cases[] = {
        {"plain length", "Content-Length: 12\r\n\r\n", 200, 12},
        {"blanks around digits", "content-length:\t 7 \t\r\n\r\n", 200, 7},
        {"identical repeat", "Content-Length: 5\r\ncontent-length: 05\r\n\r\n", 200, 5},
        {"no length", "Host: h\r\n\r\n", 200, -1},
        {"huge length saturates", "Content-Length: 99999999999999999999999\r\n\r\n", 200,
         INT64_MAX},
        {"different lengths", "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", 400, 0},
        {"different lengths, other case", "Content-Length: 5\r\nCONTENT-LENGTH: 50\r\n\r\n", 400,
         0},
        {"trailing text", "Content-Length: 10abc\r\n\r\n", 400, 0},
        {"sign", "Content-Length: +2\r\n\r\n", 400, 0},
        {"negative", "Content-Length: -1\r\n\r\n", 400, 0},
        {"empty", "Content-Length:\r\n\r\n", 400, 0},
        {"list", "Content-Length: 5, 5\r\n\r\n", 400, 0},
        {"hex", "Content-Length: 0x10\r\n\r\n", 400, 0},
        {"blank before colon", "Content-Length : 5\r\n\r\n", 400, 0},
        {"blank inside name", "Content Length: 5\r\n\r\n", 400, 0},
        {"blank before colon of another name", "Host : h\r\n\r\n", 400, 0},
        {"separator in name", "X(a): v\r\n\r\n", 400, 0},
        {"equals sign in name", "Proxy=: http://evil.example:8080\r\n\r\n", 400, 0},
        {"blank before colon of Proxy", "Proxy =: http://evil.example:8080\r\n\r\n", 400, 0},
        {"high byte in name", "X\xe9: v\r\n\r\n", 400, 0},
        {"empty name", ": v\r\n\r\n", 400, 0},
        {"folded line", "X-A: 1\r\n 2\r\n\r\n", 400, 0},
        {"tab-folded line", "X-A: 1\r\n\tContent-Length: 3\r\n\r\n", 400, 0},
        {"indented first line", " Content-Length: 3\r\n\r\n", 400, 0},
        {"lone LF hides a header", "X: a\nContent-Length: 3\r\n\r\n", 400, 0},
        {"lone CR", "X: a\rContent-Length: 3\r\n\r\n", 400, 0},
        {"transfer coding", "Transfer-Encoding: chunked\r\n\r\n", 501, 0},
        {"transfer coding, any case and value", "tRANSFER-eNCODING: identity\r\n\r\n", 501, 0},
        {"transfer coding with length", "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n",
         501, 0},
        {"tchar name", "X-!#$%&'*+.^_`|~9: v\r\nNoColon line\r\n\r\n", 200, -1},
    };
    for (const auto& c : cases) {
        RequestContext context;
        EXPECT_EQ(parseHead(context, "POST / HTTP/1.1\r\n" + c.lines), c.status) << c.name;
        if (c.status == 200) {
            EXPECT_EQ(context.contentLength, c.length) << c.name;
        }
    }
}

TEST(HeaderLines, TableSizeLimit) {
    // "request_line" entry: 12 + 14 + 2 = 28 bytes; each "Hnn" entry: 3 + value + 2.
    auto head = [](std::size_t lastValue) {
        std::string text = "GET / HTTP/1.0\r\n";
        for (int i = 0; i < 9; ++i)
            text += "H0" + std::to_string(i) + ": " + std::string(400, 'v') + "\r\n";
        return text + "H09: " + std::string(lastValue, 'w') + "\r\n\r\n";
    };
    RequestContext exact;
    EXPECT_EQ(parseHead(exact, head(322)), 200);
    EXPECT_EQ(exact.headerTable.usedLength(), kHeaderTableLimit);
    RequestContext over;
    EXPECT_EQ(parseHead(over, head(323)), 500);
}

TEST(SplitRequestLine, OverlongTokensStayInTheirAreas) {
    const std::string big(700, 'm');
    const std::string line = big + " " + std::string(700, 't') + " " + std::string(700, 'v');
    // Exactly sized areas, so that any write past them is an overrun the sanitizer sees.
    std::vector<char> method(kTokenCapacity), target(kTokenCapacity), version(kTokenCapacity);
    EXPECT_EQ(splitRequestLine(line.c_str(), method.data(), target.data(), version.data()), 3);
    EXPECT_EQ(std::string(method.data()), std::string(511, 'm'));
    EXPECT_EQ(std::string(target.data()), std::string(511, 't'));
    EXPECT_EQ(std::string(version.data()), std::string(511, 'v'));
}

TEST(SplitHeaderLine, NamesAndValues) {
    const struct {
        const char* line;
        int result;
        const char* name;
        const char* value;
    } cases[] = {
        {nullptr, 0, "", ""},
        {"", 0, "", ""},
        {"NoColon\r\n", 1, "NoColon", ""},
        {"Host: a\r\n", 2, "Host", "a"},
        {"\t Host : a b \r\n", 2, "Host", "a b "},
        {"A B\tC:v", 2, "ABC", "v"},
        {":v", 2, "", "v"},
        {"X:", 2, "X", ""},
        {"X: a\nY: b", 2, "X", "a"},
        {"X\n: a", 1, "X", ""},
    };
    for (const auto& c : cases) {
        char name[kTokenCapacity];
        char value[kTokenCapacity];
        const char* shown = c.line ? c.line : "(null)";
        EXPECT_EQ(splitHeaderLine(c.line, name, value), c.result) << shown;
        EXPECT_STREQ(name, c.name) << shown;
        EXPECT_STREQ(value, c.value) << shown;
    }

    const std::string big = std::string(600, 'n') + ": " + std::string(600, 'v');
    std::vector<char> name(kTokenCapacity), value(kTokenCapacity);
    EXPECT_EQ(splitHeaderLine(big.c_str(), name.data(), value.data()), 2);
    EXPECT_EQ(std::strlen(name.data()), kTokenCapacity - 1);
    EXPECT_EQ(std::strlen(value.data()), kTokenCapacity - 1);
}

TEST(RequestParser, RandomBytesNeverBreakIt) {
    // Bytes drawn mostly from the ones the parser cares about, so that lines, separators
    // and colons turn up in every arrangement.
    const char interesting[] = "GET HEAD POST/ HTTP/1.0\r\n:\t\r\n\n \0\xff";
    std::mt19937 random(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 1400, '\0');
        for (char& c : text) {
            c = (random() % 4 == 0) ? char(random() % 256)
                                    : interesting[random() % (sizeof interesting - 1)];
        }
        RequestContext context;
        const int status = parseHead(context, text);
        EXPECT_TRUE(status == 200 || status == 400 || status == 500 || status == 501) << status;
        EXPECT_LT(std::strlen(context.target), kTargetCapacity);
        EXPECT_LT(std::strlen(context.version), kVersionCapacity);
    }
}

} // namespace
} // namespace velnor
