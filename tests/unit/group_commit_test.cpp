// Group commit, seen from the file and from the write calls: while one write
// is held inside the platform seam, later callers queue and none of them
// returns; the next write carries all their lines; a failed write loses its
// own lines and no others; one thread still makes one write per record; and
// under many threads every line is whole, once, in time-stamp order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/group_commit.h"
#include "core/loggers.h"
#include "support/test_support.h"
#include "support/write_gate.h"
#include "vqlogger.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vqlogger {
namespace {

using vqtest::WriteGate;

// Polls `done` for up to five seconds.
template <typename Predicate>
bool WaitFor(Predicate done) {
  for (int i = 0; i < 5000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Column `index` of a record line (tab-separated, CR LF cut off).
std::string Column(const std::string& line, size_t index) {
  size_t start = 0;
  for (size_t i = 0; i < index; ++i) start = line.find('\t', start) + 1;
  size_t end = line.find_first_of("\t\r", start);
  return line.substr(start, end - start);
}

class GroupCommitTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  // Fresh loggers with their files in a fresh directory.
  void Reset() {
    runtime_.reset();
    assert_.reset();
    dir_.reset(new vqtest::ScratchDir);
    runtime_.reset(new RuntimeLogger);
    assert_.reset(new AssertLogger);
    runtime_->SetDirectory(dir().c_str());
    assert_->SetDirectory(dir().c_str());
    ASSERT_TRUE(runtime_->OpenLogFile());
    ASSERT_TRUE(assert_->OpenLogFile());
    // These checks follow the batching protocol; a write under the lock
    // would keep later callers from queueing at all.
    runtime_->PinWriteMode(false);
    assert_->PinWriteMode(false);
    returned_ = 0;
  }

  const std::string& dir() const { return dir_->path(); }

  void Record(const std::string& message) {
    runtime_->WriteRuntimeRecord("gc.cpp", 7, message.c_str(), 1);
  }

  // The LOGGED_DATA column of every record line, in file order.
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    for (const std::string& line : vqtest::RecordLines(vqtest::RuntimeLogIn(dir()),
                                                       vqtest::kRuntimeFirstLine)) {
      messages.push_back(Column(line, 4));
    }
    return messages;
  }

  // Starts `count` callers that log "w0", "w1", ... and flag their return.
  void StartCallers(int count) {
    for (int i = 0; i < count; ++i) {
      callers_.emplace_back([this, i] {
        Record("w" + std::to_string(i));
        returned_.fetch_add(1);
      });
    }
  }

  void JoinCallers() {
    for (std::thread& t : callers_) t.join();
    callers_.clear();
  }

  std::unique_ptr<vqtest::ScratchDir> dir_;
  std::unique_ptr<RuntimeLogger> runtime_;
  std::unique_ptr<AssertLogger> assert_;
  std::vector<std::thread> callers_;
  std::atomic<int> returned_{0};
};

TEST_F(GroupCommitTest, HeldWriteKeepsEveryCallerOfItsBatchWaiting) {
  const int kCallers = 6;
  WriteGate gate;
  gate.Hold(0);
  std::atomic<bool> first_returned{false};
  std::thread first([&] {
    Record("first");
    first_returned = true;
  });
  ASSERT_TRUE(gate.WaitUntilHeld());

  // Callers that arrive during the held write queue behind it.
  StartCallers(kCallers);
  ASSERT_TRUE(WaitFor([&] { return runtime_->queued_lines() == static_cast<size_t>(kCallers); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(first_returned);
  EXPECT_EQ(returned_, 0);

  // The first write ends; the next one carries all queued lines at once and
  // is held in turn: its callers still wait, the first caller is back.
  gate.ReleaseAndHold(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  ASSERT_TRUE(WaitFor([&] { return first_returned.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(returned_, 0);
  EXPECT_EQ(gate.LinesPerWrite(), (std::vector<size_t>{1, static_cast<size_t>(kCallers)}));

  gate.Release();
  first.join();
  JoinCallers();
  EXPECT_EQ(returned_, kCallers);
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), static_cast<size_t>(kCallers + 1));
  EXPECT_EQ(messages[0], "first");
  std::vector<int> seen(kCallers, 0);
  for (size_t i = 1; i < messages.size(); ++i) {
    int w = -1;
    ASSERT_EQ(sscanf(messages[i].c_str(), "w%d", &w), 1) << messages[i];
    ASSERT_TRUE(w >= 0 && w < kCallers) << messages[i];
    ++seen[static_cast<size_t>(w)];
  }
  EXPECT_EQ(seen, std::vector<int>(kCallers, 1));
}

// A batch whose write fails loses its own lines that did not reach the file
// whole, no others, and leaves the file at its last whole line (those of
// the batch that fit before the disk was full stay); the next record is
// written as usual.
TEST_F(GroupCommitTest, FailedBatchLosesOnlyItsOwnLines) {
  struct Case {
    const char* name;
    WriteGate::Outcome outcome;
    bool batch_kept;
  };
  const Case cases[] = {
      {"written", WriteGate::Outcome::kPass, true},
      {"refused", WriteGate::Outcome::kRefuse, false},
      {"cut short", WriteGate::Outcome::kCutShort, false},
  };
  const int kCallers = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    std::vector<std::string> expected = {"first"};
    {
      WriteGate gate;
      gate.Hold(0);
      gate.Fail(1, c.outcome);
      std::thread first([&] { Record("first"); });
      ASSERT_TRUE(gate.WaitUntilHeld());
      StartCallers(kCallers);
      ASSERT_TRUE(WaitFor([&] { return runtime_->queued_lines() == static_cast<size_t>(kCallers); }));
      gate.Release();
      first.join();
      JoinCallers();
      EXPECT_EQ(returned_, kCallers);
      EXPECT_EQ(gate.LinesPerWrite().at(1), static_cast<size_t>(kCallers));
      if (c.outcome == WriteGate::Outcome::kCutShort) {
        // Half the batch reached the file: its whole lines, in their order.
        std::vector<std::string> taken = vqtest::SplitLines(gate.CutShortBytes());
        if (!taken.empty() && taken.back().size() >= 2 &&
            taken.back().compare(taken.back().size() - 2, 2, "\r\n") != 0) {
          taken.pop_back();  // the partial line
        }
        ASSERT_GE(taken.size(), 1u);
        for (const std::string& line : taken) expected.push_back(Column(line, 4));
      }
    }
    if (c.batch_kept) {
      for (int i = 0; i < kCallers; ++i) expected.push_back("w" + std::to_string(i));
    }
    Record("after");
    expected.push_back("after");
    std::vector<std::string> messages = Messages();
    if (c.batch_kept) std::sort(messages.begin() + 1, messages.end() - 1);
    EXPECT_EQ(messages, expected);
    std::string content = vqtest::ReadFileBytes(vqtest::RuntimeLogIn(dir()));
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  }
}

TEST_F(GroupCommitTest, OneThreadMakesOneWritePerRecord) {
  const int kRecords = 50;
  WriteGate gate;
  for (int i = 0; i < kRecords; ++i) {
    Record("r" + std::to_string(i));
    if (i % 2 == 1) assert_->WriteAssertRecord("gc.cpp", i, "x > 0");
  }
  EXPECT_EQ(gate.LinesPerWrite(), std::vector<size_t>(kRecords + kRecords / 2, 1));
}

// The mode after each stretch of the given length (ns): 'L' under the lock,
// 'b' batched. A try: a stretch to warm up, the tried one, the chosen mode's.
TEST(ModeChooserTest, BatchingMustWinTwiceTheLockOnce) {
  const struct {
    const char* name;
    std::vector<int64_t> spans;
    std::string modes;
  } cases[] = {
      {"one batching win is tried again at once",
       {1, 1, 1, 100, 100, 80, 100, 100, 100, 100, 100, 1}, "LLLbbLbbLLLL"},
      {"two batching wins choose it", {1, 1, 1, 100, 100, 80, 100, 100, 80, 100}, "LLLbbLbbLb"},
      {"a win under an eighth of the nearer stretch is noise",
       {1, 1, 1, 100, 100, 80, 89, 1}, "LLLbbLLL"},
      {"one lock win chooses it back",
       {1, 1, 1, 100, 100, 80, 100, 100, 80, 100, 1, 1, 100, 100, 100, 90, 100},
       "LLLbbLbbLbbbbLLbL"},
      {"a stretch not weighed drops the try", {1, 1, 1, 1, -1, 1, 1, 1, 1}, "LLLbLLLLb"},
      {"a loss doubles the wait",
       {1, 1, 1, 100, 100, 120, 100, 1, 1, 1, 1, 1, 1, 1, 1}, "LLLbbLLLLLLLLLb"},
      {"a loss by over a quarter quadruples it",
       {1, 1, 1, 100, 100, 130, 100, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
       "LLLbbLLLLLLLLLLLLLLLLLb"},
  };
  for (const auto& c : cases) {
    ModeChooser chooser;
    std::string modes;
    for (int64_t span : c.spans) modes += chooser.Next(span) ? 'L' : 'b';
    EXPECT_EQ(modes, c.modes) << c.name;
  }
}

// A slow file that callers queue for: every stretch is slower than a host
// pausing between records would make it, yet it is weighed, so batching is
// tried, and chosen, as it saves the most there.
TEST_F(GroupCommitTest, SlowFileThatCallersQueueForGetsBatched) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the stretches weighed would time ThreadSanitizer, not the file";
#endif
  RuntimeLogger logger;  // the mode not pinned
  logger.SetDirectory(dir().c_str());
  ASSERT_TRUE(logger.OpenLogFile());
  WriteGate gate;
  gate.SlowDown(std::chrono::microseconds(30));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (uint32_t i = 0; i < 4 * CommitQueue::kSampleLines; ++i) {
        logger.WriteRuntimeRecord("gc.cpp", 7, "slow", 1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  // Batches (about 7 lines a write once chosen; fewer on a loaded machine):
  // a stretch never weighed would keep it at a write a line.
  std::vector<size_t> lines = gate.LinesPerWrite();
  size_t total = 0;
  for (size_t n : lines) total += n;
  EXPECT_LT(16 * lines.size(), 15 * total);
}

// Both logs under many threads: every line whole, every record once, each
// thread's records in its own order, and the file in time-stamp order.
TEST_F(GroupCommitTest, ManyThreadsKeepWholeLinesOnceInTimestampOrder) {
  // Each write mode, and the mode changed back and forth while lines are
  // in flight (as the timed stretches change it).
  enum class Mode { kBatched, kUnderLock, kSwitching };
  struct Case {
    const char* name;
    bool assert_log;
    Mode mode;
  };
  const Case cases[] = {{"runtime log, batched", false, Mode::kBatched},
                        {"assert log, batched", true, Mode::kBatched},
                        {"runtime log, under the lock", false, Mode::kUnderLock},
                        {"runtime log, switching", false, Mode::kSwitching},
                        {"assert log, switching", true, Mode::kSwitching}};
  const int kThreads = 8;
  const int kRecords = 400;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    VqLogger* logger = c.assert_log ? static_cast<VqLogger*>(assert_.get()) : runtime_.get();
    logger->PinWriteMode(c.mode == Mode::kUnderLock);
    std::atomic<bool> writing{true};
    std::thread switcher([&] {
      for (bool under_lock = true; c.mode == Mode::kSwitching && writing; under_lock = !under_lock) {
        logger->PinWriteMode(under_lock);
        std::this_thread::yield();
      }
    });
    WriteGate gate;
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
      pool.emplace_back([&, t] {
        for (int i = 0; i < kRecords; ++i) {
          std::string tag = "t" + std::to_string(t) + "-" + std::to_string(i);
          if (c.assert_log) {
            assert_->WriteAssertRecord("gc.cpp", i, tag.c_str());
          } else {
            Record(tag);
          }
        }
      });
    }
    for (std::thread& t : pool) t.join();
    writing = false;
    switcher.join();

    std::string path = c.assert_log ? vqtest::AssertLogIn(dir()) : vqtest::RuntimeLogIn(dir());
    std::vector<std::string> lines =
        vqtest::RecordLines(path, c.assert_log ? vqtest::kAssertFirstLine : vqtest::kRuntimeFirstLine);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
    size_t written = 0;
    for (size_t n : gate.LinesPerWrite()) written += n;
    EXPECT_EQ(written, lines.size());

    std::vector<int> next(kThreads, 0);
    long long last_stamp = -1;
    for (const std::string& line : lines) {
      ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
      ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
      long long stamp = vqtest::TimestampOrder(line);
      ASSERT_GE(stamp, last_stamp) << line;
      last_stamp = stamp;
      int t = -1, i = -1;
      ASSERT_EQ(sscanf(Column(line, 4).c_str(), "t%d-%d", &t, &i), 2) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_EQ(i, next[static_cast<size_t>(t)]++) << line;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kRecords));
  }
}

#ifndef _WIN32
RuntimeLogger* handler_logger = nullptr;
std::atomic<int> handler_state{0};  // 1: entered, 2: returned

// A handler that logs inside a record call never waits for its own thread:
// on the thread whose write is held its line is dropped at once; on one
// queued behind another thread's held write it waits, then follows.
TEST_F(GroupCommitTest, SignalHandlerLineWaitsOnlyForOtherThreads) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {
    int saved = errno;
    handler_state = 1;
    handler_logger->WriteRuntimeRecord("gc.cpp", 9, "handler", 1);
    handler_state = 2;
    errno = saved;
  };
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  for (bool holder_signalled : {true, false}) {
#if defined(__SANITIZE_THREAD__)
    if (!holder_signalled) break;  // TSan runs no handler in a queued caller's raw futex wait
#endif
    Reset();
    handler_logger = runtime_.get();
    handler_state = 0;
    WriteGate gate;
    gate.Hold(0);
    std::thread holder([this] { Record("held"); }), queued;
    ASSERT_TRUE(gate.WaitUntilHeld());
    if (!holder_signalled) queued = std::thread([this] { Record("queued"); });
    ASSERT_TRUE(WaitFor([&] { return runtime_->queued_lines() == (holder_signalled ? 0u : 1u); }));
    pthread_kill((holder_signalled ? holder : queued).native_handle(), SIGUSR1);
    EXPECT_TRUE(WaitFor([&] { return handler_state == (holder_signalled ? 2 : 1); })) << holder_signalled;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(handler_state, holder_signalled ? 2 : 1);  // the queued one waits behind the held write
    gate.Release();
    holder.join();
    if (queued.joinable()) queued.join();
    EXPECT_TRUE(WaitFor([] { return handler_state == 2; }));
    EXPECT_EQ(Messages(), (holder_signalled ? std::vector<std::string>{"held"}
                                            : std::vector<std::string>{"held", "queued", "handler"}));
  }
  sigaction(SIGUSR1, &previous, nullptr);
}

// A child forked while a parent thread's write is in flight has no writer:
// its own record is written and its call returns.
TEST(GroupCommitForkTest, ChildForkedDuringAWriteWritesItsOwnRecord) {
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, dir.path().c_str()));
  runtimeLogger.load()->PinWriteMode(false);  // a write under the lock holds fork() up
  WriteGate gate;
  gate.Hold(0);
  std::thread parent([] { RuntimeInfoToLogfileA("gc.cpp", 1, "parent", 1); });
  ASSERT_TRUE(gate.WaitUntilHeld());

  pid_t pid = fork();
  if (pid == 0) {
    RuntimeInfoToLogfileA("gc.cpp", 2, "child", 1);
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  bool exited = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  gate.Release();
  parent.join();
  ASSERT_TRUE(exited) << "the child's record call did not return";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::vector<std::string> messages;
  for (const std::string& line :
       vqtest::RecordLines(vqtest::RuntimeLogIn(dir.path()), vqtest::kRuntimeFirstLine)) {
    messages.push_back(Column(line, 4));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"child", "parent"}));
}
#endif

}  // namespace
}  // namespace vqlogger
