#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <latch>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/LogBuffer.h"
#include "log/LogTestFixture.h"

namespace rodiz {
namespace {

using ::testing::HasSubstr;

// What a reader took, as "tag|function|message" strings.
class RecordingSink : public LogBuffer::Sink {
 public:
  void write(const LogBuffer::LogEntry& entry, const char* record) override {
    const char* function = record + std::strlen(record) + 1;
    const char* message = function + std::strlen(function) + 1;
    records.push_back(std::string(record) + "|" + function + "|" + message);
    skips.push_back(entry.skip);
    levels.push_back(entry.level);
  }
  std::vector<std::string> records;
  std::vector<std::uint32_t> skips;
  std::vector<std::uint32_t> levels;
};

bool put(LogBuffer& ring, const std::string& message, unsigned level = 2) {
  return ring.try_insert(1, 2, 3, level, "T", "f", message.c_str(), static_cast<std::uint32_t>(message.size()));
}

// A record's text: "-T-", NUL, "f", NUL, message, NUL.
std::uint32_t record_size(const std::string& message) { return static_cast<std::uint32_t>(message.size()) + 7; }

TEST(LogRingTest, RecordThatDoesNotFitAtTheEndStartsAtZeroAndItsSkipCountsAsUsed) {
  LogBuffer ring(16, 300);
  RecordingSink sink;
  const std::string big(80, 'a');  // 87 bytes a record
  ASSERT_TRUE(put(ring, big));
  ASSERT_TRUE(put(ring, big));
  ASSERT_TRUE(ring.take_next(sink));
  ASSERT_TRUE(ring.take_next(sink));
  EXPECT_EQ(0u, ring.used_text());
  ASSERT_TRUE(put(ring, big));  // 174..261
  // 39 bytes are left before the end: the next record starts at 0.
  const std::string next(40, 'b');
  ASSERT_TRUE(put(ring, next));
  EXPECT_EQ(record_size(big) + (300 - 261) + record_size(next), ring.used_text());
  ASSERT_TRUE(ring.take_next(sink));
  ASSERT_TRUE(ring.take_next(sink));
  EXPECT_FALSE(ring.take_next(sink));
  EXPECT_EQ(0u, ring.used_text());
  EXPECT_EQ(0u, ring.used_entries());
  ASSERT_EQ(4u, sink.records.size());
  EXPECT_EQ("-T-|f|" + big, sink.records[2]);
  EXPECT_EQ("-T-|f|" + next, sink.records[3]);
  EXPECT_EQ((std::vector<std::uint32_t>{0, 0, 0, 300 - 261}), sink.skips);
}

TEST(LogRingTest, FullRingRefusesAndChangesNothing) {
  struct Case {
    std::uint32_t entries;
    std::uint32_t text;
    std::size_t message_size;
    int accepted;
  };
  // Entries: refused when all but two are in use. Text: refused when the used
  // text, the record and its skip would leave 100 bytes or fewer.
  const Case cases[] = {
      {10, 100000, 10, 8},
      {30000, 3000000, 0, 29998},
      {100, 400, 43, 5},  // 50-byte records: 250 used + 50 + 100 = 400 refuses the sixth
      {100, 401, 43, 6},
  };
  for (const Case& c : cases) {
    LogBuffer ring(c.entries, c.text);
    const std::string message(c.message_size, 'm');
    int accepted = 0;
    while (put(ring, message)) ++accepted;
    EXPECT_EQ(c.accepted, accepted) << c.entries << "/" << c.text;
    const std::uint32_t used = ring.used_entries();
    EXPECT_FALSE(put(ring, message));
    EXPECT_EQ(used, ring.used_entries());
    RecordingSink sink;
    while (ring.take_next(sink)) {
    }
    EXPECT_EQ(static_cast<std::size_t>(accepted), sink.records.size());
  }
}

TEST(LogRingTest, RecordLargerThanTheRingIsRefused) {
  LogBuffer ring(8, 64);
  EXPECT_FALSE(put(ring, std::string(60, 'x')));
  EXPECT_TRUE(ring.empty());
}

TEST(LogRingTest, GrowthStartsAtAThirdFullByThreeInTheDimensionThatCrossed) {
  struct Case {
    std::uint32_t used_entries;
    std::uint32_t used_text;
    std::uint32_t entries;
    std::uint32_t text;
  };
  const Case cases[] = {
      {10000, 999999, 90000, 6000000},
      {9999, 1000000, 60000, 9000000},
      {10000, 1000000, 90000, 9000000},
  };
  for (const Case& c : cases) {
    const auto grown = LogBuffer::grown_sizes(30000, 3000000, c.used_entries, c.used_text);
    ASSERT_TRUE(grown);
    EXPECT_EQ(c.entries, grown->first);
    EXPECT_EQ(c.text, grown->second);
  }
  EXPECT_FALSE(LogBuffer::grown_sizes(30000, 3000000, 9999, 999999));
}

class LogBufferTest : public test::LogTest {
 protected:
  void TearDown() override {
    XLogTesting::configure_buffer(LogBuffer::kFirstEntryCount, LogBuffer::kFirstTextSize, false);
    test::LogTest::TearDown();
  }
  static std::vector<std::string> with(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> found;
    for (const auto& line : lines) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  // The file as it is on disk, without waiting for the log thread.
  std::string file_on_disk() {
    std::ifstream in(XLogTesting::log_file_path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
};

TEST_F(LogBufferTest, LostMessagesAreReportedOnceWithTheirCountBeforeTheNextStoredOne) {
  // A ring of forty entries whose reader is held: thirty-eight fit, the
  // header lines among them.
  XLogTesting::configure_buffer(40, 100000, true);
  start({{"loggingoutput", 4}});  // the file only
  int stored = 1;                 // the start line
  while (xLogWrite("T", LogInfo, "rodiz::f", "fill %d", stored)) ++stored;
  for (int lost = 1; lost < 5; ++lost) EXPECT_FALSE(xLogWrite("T", LogInfo, "rodiz::f", "dropped message"));
  XLogTesting::configure_buffer(40, 100000, false);
  XLogTesting::flush();
  ASSERT_TRUE(xLogWrite("T", LogInfo, "rodiz::f", "after the loss"));
  const auto lines = file_lines();
  const auto reports = with(lines, "xLog overrun detected by reader, lost");
  ASSERT_EQ(1u, reports.size());
  EXPECT_THAT(reports[0], HasSubstr("lost 5 messages around this time"));
  const auto report_at = std::find(lines.begin(), lines.end(), reports[0]);
  const auto after_at =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("after the loss") != l.npos; });
  EXPECT_LT(report_at, after_at);
  EXPECT_EQ(static_cast<std::size_t>(stored - 1), with(lines, "fill ").size());
  EXPECT_TRUE(with(lines, "dropped message").empty());
}

TEST_F(LogBufferTest, AfterShutdownEachMessageIsInTheFileWhenTheCallReturns) {
  start({{"loggingoutput", 4}});
  for (int i = 0; i < 50; ++i) xLogWrite("T", LogInfo, "rodiz::f", "before %d", i);
  LogBuffer::shutdown();
  // Everything logged before is in the file once the log thread was joined.
  for (int i = 0; i < 50; ++i) EXPECT_THAT(file_on_disk(), HasSubstr("before " + std::to_string(i) + "\r\n"));
  xLogWrite("T", LogInfo, "rodiz::f", "direct");
  EXPECT_THAT(file_on_disk(), HasSubstr("direct\r\n"));
  LogBuffer::shutdown();
  EXPECT_THAT(file_on_disk(), HasSubstr("already shut down"));
}

TEST_F(LogBufferTest, WritersOnSeveralThreadsLoseNothingTheyWereToldWasStored) {
  // A small first ring, so that it grows and wraps while the writers write,
  // and the log is shut down while they are still at it. The file must hold
  // exactly the messages whose call reported them stored, once each, in each
  // thread's order.
  XLogTesting::configure_buffer(64, 4096, false);
  start({{"loggingoutput", 4}});
  constexpr int kThreads = 4;
  constexpr int kMessages = 3000;
  std::vector<std::vector<bool>> stored(kThreads, std::vector<bool>(kMessages, false));
  std::latch go(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < kMessages; ++i) {
        stored[t][i] =
            xLogWrite("T", LogInfo, "rodiz::writer", "model w%d m%d %s", t, i, i % 7 == 0 ? "padding-padding" : "");
      }
    });
  }
  go.arrive_and_wait();
  std::this_thread::yield();
  LogBuffer::shutdown();
  for (auto& thread : threads) thread.join();

  std::map<int, std::vector<int>> seen;
  for (const std::string& line : file_lines()) {
    const auto at = line.find("model w");
    if (at == std::string::npos) continue;
    int t = -1;
    int i = -1;
    ASSERT_EQ(2, std::sscanf(line.c_str() + at, "model w%d m%d", &t, &i)) << line;
    seen[t].push_back(i);
  }
  int lost = 0;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int> expected;
    for (int i = 0; i < kMessages; ++i) {
      if (stored[t][i]) {
        expected.push_back(i);
      } else {
        ++lost;
      }
    }
    EXPECT_EQ(expected, seen[t]) << "thread " << t;
  }
  if (lost > 0) {
    EXPECT_FALSE(with(file_lines(), "xLog overrun detected by reader").empty());
  }
}

}  // namespace
}  // namespace rodiz
