// The log call with file output beside spdlog's asynchronous logger writing
// the same messages to a file, with 1, 2 and 4 producer threads, in one run.
// Per configuration: messages per second on the producer side (all calls of
// all threads over the time from the start signal until the last producer
// returns), messages per second that reached the file (stored messages over
// the time until the file holds all of them), the median and 99th percentile
// of the time one call takes on its thread, and the messages dropped because
// the buffer was full (spdlog's producers wait instead).
//
//   log_compare_bench [messages per run, default 240000] [repetitions, default 3] [cold]
//
// Each logger is set up once per configuration and runs one warm-up run and
// then `repetitions` runs, each ending when its file holds every message; the
// run with the median producer-side rate is shown. With "cold" each run gets
// a logger of its own (ours then starts from its first, smallest buffer).
#include <spdlog/async.h>
#include <spdlog/details/file_helper.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/XLogTesting.h"
#include "log/xLog.h"
#include "runtime/SettingsKey.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kKey = "Software\\Orvantis\\rodiz-log-compare";
constexpr const char* kFunction = "bool rodiz::Device::sendSynchronousCommand(int)";

struct Result {
  double producer_rate = 0;  // messages/s until the last producer returned
  double file_rate = 0;      // messages/s until the file held every message
  std::uint32_t median_ns = 0;
  std::uint32_t p99_ns = 0;
  long dropped = 0;
};

// One logger under test: `open` before a series of runs, `log` per message
// (false when the message was dropped), `finish` after each run (told how
// many calls it made) until the file holds every message logged so far,
// `close` after the series.
struct Subject {
  const char* name;
  std::function<void()> open;
  std::function<bool(int)> log;
  std::function<void(long)> finish;
  std::function<void()> close;
};

// spdlog's file sink (the same helper and formatting as basic_file_sink_mt)
// that counts what it wrote, so that a run can wait for its file without
// ending the logger.
class CountingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit CountingFileSink(const std::string& path) { file_.open(path, true); }
  long written() const { return written_.load(std::memory_order_acquire); }
  void flush_file() { flush(); }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    file_.write(formatted);
    written_.fetch_add(1, std::memory_order_release);
  }
  void flush_() override { file_.flush(); }

 private:
  spdlog::details::file_helper file_;
  std::atomic<long> written_{0};
};

Result run(const Subject& subject, int threads, int messages) {
  const int per_thread = messages / threads;
  std::vector<std::vector<std::uint32_t>> times(static_cast<std::size_t>(threads));
  std::vector<long> dropped(static_cast<std::size_t>(threads), 0);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < threads; ++t) {
    producers.emplace_back([&, t] {
      auto& mine = times[static_cast<std::size_t>(t)];
      mine.reserve(static_cast<std::size_t>(per_thread));
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (int i = 0; i < per_thread; ++i) {
        const auto before = Clock::now();
        const bool stored = subject.log(i);
        const auto after = Clock::now();
        mine.push_back(
            static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count()));
        if (!stored) ++dropped[static_cast<std::size_t>(t)];
      }
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const auto begin = Clock::now();
  go.store(true, std::memory_order_release);
  for (auto& p : producers) p.join();
  const auto produced = Clock::now();
  subject.finish(static_cast<long>(per_thread) * threads);
  const auto written = Clock::now();

  Result r;
  const double total = static_cast<double>(per_thread) * threads;
  for (long d : dropped) r.dropped += d;
  r.producer_rate = total / std::chrono::duration<double>(produced - begin).count();
  // Only what reached the file counts here: a dropped message was not logged.
  r.file_rate = (total - static_cast<double>(r.dropped)) / std::chrono::duration<double>(written - begin).count();
  std::vector<std::uint32_t> all;
  for (auto& v : times) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  r.median_ns = all[all.size() / 2];
  r.p99_ns = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 240000;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const bool cold = argc > 3 && std::string(argv[3]) == "cold";

  // Settings, logs and spdlog's file in a folder of the run's own.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("rodiz-log-compare-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("TMPDIR", dir.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
  rodiz::XLogTesting::set_console_sink([](unsigned, const std::string&) {});

  const Subject ours{
      "rodiz xLogWrite",
      [] {
        rodiz::SettingsKey::create(kKey)->set_dword("loggingoutput", 4);
        rodiz::XLogTesting::reset(kKey);
        rodiz::xLogWrite("", rodiz::LogInfo, "rodiz::bench", "started");
        rodiz::XLogTesting::flush();
      },
      [](int i) {
        return rodiz::xLogWrite("Device", rodiz::LogDebug, kFunction,
                                "Device::sendSynchronousCommand request %d to feature 0x%04x", i, 0x00d0);
      },
      [](long) { rodiz::XLogTesting::flush(); },
      [] {},
  };

  // spdlog as its documentation sets it up: the default queue (8192 messages,
  // producers wait when it is full), one worker, a file sink; the pattern
  // writes what our line holds (times, thread, level, tag, function).
  std::shared_ptr<spdlog::details::thread_pool> pool;
  std::shared_ptr<CountingFileSink> sink;
  std::shared_ptr<spdlog::async_logger> logger;
  long logged = 0;  // calls since the logger was opened
  int spdlog_files = 0;
  const Subject theirs{
      "spdlog async",
      [&] {
        pool = std::make_shared<spdlog::details::thread_pool>(spdlog::details::default_async_q_size, 1U);
        sink =
            std::make_shared<CountingFileSink>((dir / ("spdlog-" + std::to_string(++spdlog_files) + ".log")).string());
        logger = std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
        logger->set_pattern("%Y-%m-%d %H:%M:%S.%f %E.%f %t %l %v");
        logger->set_level(spdlog::level::debug);
        logged = 0;
      },
      [&](int i) {
        logger->debug("-{}- {} Device::sendSynchronousCommand request {} to feature 0x{:04x}", "Device", kFunction, i,
                      0x00d0);
        return true;
      },
      [&](long calls) {
        logged += calls;
        while (sink->written() < logged) std::this_thread::yield();
        sink->flush_file();
      },
      [&] {
        // The pool's destructor ends its worker after the queue is empty.
        logger.reset();
        sink.reset();
        pool.reset();
      },
  };

  std::printf("cores online: %u, messages per run: %d, repetitions: %d (median shown), %s\n",
              std::thread::hardware_concurrency(), messages, repetitions,
              cold ? "a new logger for each run" : "one logger per configuration");
  std::printf("%-16s %7s %14s %14s %10s %10s %8s\n", "logger", "threads", "producer msg/s", "to-file msg/s",
              "median ns", "p99 ns", "dropped");
  for (int threads : {1, 2, 4}) {
    for (const Subject* subject : {&ours, &theirs}) {
      auto one_run = [&](int count) {
        if (cold) subject->open();
        Result r = run(*subject, threads, count);
        if (cold) subject->close();
        return r;
      };
      if (!cold) subject->open();
      (void)one_run(messages / 4);  // warm-up
      std::vector<Result> results;
      for (int i = 0; i < repetitions; ++i) results.push_back(one_run(messages));
      if (!cold) subject->close();
      std::sort(results.begin(), results.end(),
                [](const Result& a, const Result& b) { return a.producer_rate < b.producer_rate; });
      const Result& r = results[results.size() / 2];
      std::printf("%-16s %7d %14.0f %14.0f %10u %10u %8ld\n", subject->name, threads, r.producer_rate, r.file_rate,
                  r.median_ns, r.p99_ns, r.dropped);
      std::fflush(stdout);
    }
  }
  rodiz::XLogTesting::reset();
  rodiz::SettingsKey::remove(kKey);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
