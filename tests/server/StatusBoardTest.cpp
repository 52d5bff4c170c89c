#include "server/StatusBoard.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace velnor {
namespace {

class RecordingSink : public LineSink {
public:
    bool line(const char* text) noexcept override {
        ++offered;
        if (!refuse)
            lines.push_back(text);
        return !refuse;
    }
    std::vector<std::string> take() { return std::exchange(lines, {}); }
    std::vector<std::string> lines;
    bool refuse = false; // an output that cannot take a line in time
    int offered = 0;
};

using Lines = std::vector<std::string>;
using Frequent = StatusBoard::Frequent;

class StatusFeedTest : public ::testing::Test {
protected:
    StatusBoard board;
    RecordingSink sink;
    StatusFeed feed{board, sink};
};

TEST_F(StatusFeedTest, RareTextsInOrderOnlyWhenTheLineChangesAndThePortOnce) {
    board.post(StatusBoard::kStatusLine, "Load log dll.");
    board.post(StatusBoard::kStatusLine, "Load log Addr failed.");
    board.post(StatusBoard::kStatusLine, "Load log Addr failed.");
    feed.poll(0, false);
    EXPECT_EQ(sink.take(), (Lines{"Status: Load log dll.", "Status: Load log Addr failed."}));
    feed.poll(100, false);
    EXPECT_TRUE(sink.take().empty());
    board.setListeningPort(8080);
    feed.poll(200, false);
    feed.poll(300, true);
    EXPECT_EQ(sink.take(), Lines{"Port: 8080"}) << "shown once";
}

TEST_F(StatusFeedTest, FrequentTextsComeAtMostOnceASecondAndTheLastOneAlways) {
    board.postFrequent(Frequent::RequestCount, 1);
    feed.poll(0, false);
    EXPECT_EQ(sink.take(), Lines{"Status: Reqest:1"});
    for (std::uint32_t n = 2; n <= 50; ++n) {
        board.postFrequent(Frequent::RequestCount, n);
        feed.poll(n * 20, false); // up to 1000 ms: still inside the second
        if (n * 20 < StatusFeed::kFrequentIntervalMs) {
            EXPECT_TRUE(sink.take().empty()) << n;
        }
    }
    EXPECT_EQ(sink.take(), Lines{"Status: Reqest:50"});
    board.postFrequent(Frequent::ServerBusy, 0);
    board.postFrequent(Frequent::RequestCount, 51);
    feed.poll(1100, false);
    EXPECT_TRUE(sink.take().empty());
    feed.poll(1150, true);
    EXPECT_EQ(sink.take(), Lines{"Status: Reqest:51"});
}

TEST_F(StatusFeedTest, FrequentTextReplacedByALaterRareOneIsDropped) {
    board.postFrequent(Frequent::RequestCount, 1);
    feed.poll(0, false);
    board.postFrequent(Frequent::RequestCount, 2);
    board.post(StatusBoard::kStatusLine, "Something else.");
    feed.poll(5000, true);
    EXPECT_EQ(sink.take(), (Lines{"Status: Reqest:1", "Status: Something else."}));
    board.postFrequent(Frequent::ServerBusy, 0);
    feed.poll(5100, false);
    EXPECT_EQ(sink.take(), Lines{"Status: Server busy..."});
}

TEST_F(StatusFeedTest, ABurstLongerThanTheHistoryKeepsItsNewestTexts) {
    for (int i = 0; i < 20; ++i)
        board.post(StatusBoard::kStatusLine, ("text " + std::to_string(i)).c_str());
    feed.poll(0, false);
    const Lines shown = sink.take();
    ASSERT_EQ(shown.size(), StatusBoard::kHistoryLength);
    EXPECT_EQ(shown.front(), "Status: text 4");
    EXPECT_EQ(shown.back(), "Status: text 19");
}

TEST_F(StatusFeedTest, StalledOutputIsOfferedOnlyTheCurrentStateUntilItDrains) {
    sink.refuse = true;
    board.post(StatusBoard::kStatusLine, "Load log dll.");
    board.post(StatusBoard::kStatusLine, "Load log Addr failed.");
    feed.poll(0, false);
    EXPECT_EQ(sink.offered, 1) << "a dropped line drops the rest of the look";
    board.setListeningPort(8080);
    for (std::uint32_t n = 1; n <= 30; ++n) {
        board.postFrequent(Frequent::RequestCount, n);
        feed.poll(100 + n, n == 30);
    }
    EXPECT_EQ(sink.offered, 31) << "one line a look while the output is stalled";
    sink.refuse = false;
    feed.poll(200, false);
    EXPECT_EQ(sink.take(), (Lines{"Port: 8080", "Status: Reqest:30"}));
    board.postFrequent(Frequent::RequestCount, 31);
    feed.poll(300, false);
    EXPECT_TRUE(sink.take().empty()) << "the usual pace resumes";
    feed.poll(400, true);
    EXPECT_EQ(sink.take(), Lines{"Status: Reqest:31"});
}

TEST(StatusBoard, TextsAreBoundedAndLinesOutsideTheWindowIgnored) {
    StatusBoard board;
    const std::string longText(200, 'x');
    board.post(StatusBoard::kStatusLine, longText.c_str());
    char text[StatusBoard::kTextCapacity + 8];
    board.statusText(text, sizeof text);
    EXPECT_EQ(std::string(text), longText.substr(0, StatusBoard::kTextCapacity - 1));
    char small[4];
    board.statusText(small, sizeof small);
    EXPECT_STREQ(small, "xxx");
    board.statusText(small, 0); // no room: nothing written, no overrun

    board.post(StatusBoard::kWorkerLineBase + 3, "Ready.");
    board.post(StatusBoard::kWorkerLineBase + int(StatusBoard::kWorkerLines), "Ready.");
    board.post(1000, "ignored");
    board.post(StatusBoard::kStatusLine, nullptr);
    board.workerText(3, small, sizeof small);
    EXPECT_STREQ(small, "Rea");
    board.workerText(StatusBoard::kWorkerLines, text, sizeof text);
    EXPECT_STREQ(text, "");
    board.statusText(text, sizeof text);
    EXPECT_STREQ(text, "");
}

TEST(StatusBoard, StatusTextIsTheLatestOfEitherKind) {
    struct Case {
        Frequent kind;
        std::uint32_t value;
        const char* expected;
    };
    const Case cases[] = {
        {Frequent::RequestCount, 1, "Reqest:1"},
        {Frequent::RequestCount, 0x80000000u, "Reqest:-2147483648"}, // 32-bit, shown signed
        {Frequent::ServerBusy, 0, "Server busy..."},
        {Frequent::Shutdown, 46, "Shutdown...-"},
        {Frequent::Shutdown, 47, "Shutdown...|"},
    };
    StatusBoard board;
    char text[StatusBoard::kTextCapacity];
    for (const Case& c : cases) {
        board.post(StatusBoard::kStatusLine, "Load log dll.");
        board.statusText(text, sizeof text);
        EXPECT_STREQ(text, "Load log dll.");
        board.postFrequent(c.kind, c.value);
        board.statusText(text, sizeof text);
        EXPECT_STREQ(text, c.expected);
    }
}

TEST(StatusBoard, PostingWhileTheConsoleReadsLosesNothingAtTheEnd) {
    StatusBoard board;
    RecordingSink sink;
    StatusFeed feed(board, sink);
    std::thread poster([&] {
        for (std::uint32_t n = 1; n <= 20000; ++n) {
            board.postFrequent(Frequent::RequestCount, n);
            if (n % 5000 == 0)
                board.post(StatusBoard::kStatusLine, "Server busy...");
        }
    });
    for (std::uint64_t t = 0; t < 200; ++t)
        feed.poll(t * 10, false);
    poster.join();
    feed.poll(100000, true);
    ASSERT_FALSE(sink.lines.empty());
    EXPECT_EQ(sink.lines.back(), "Status: Server busy...")
        << "the rare text posted after the last count is the line's final text";
}

} // namespace
} // namespace velnor
