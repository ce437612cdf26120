// The host's log handler as hosts write them: handlers that log themselves, that install
// another handler, that are slow, and handlers replaced while another thread is inside.
// A call that does not come back fails the test after a generous deadline instead of
// hanging the suite; the thread stuck in it is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/Log.h"

namespace {

constexpr std::chrono::seconds kDeadline(20);

// Runs `call` on a thread of its own: true when it returned before the deadline.
bool ReturnsInTime(std::function<void()> call) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> returned = done->get_future();
  std::thread([call = std::move(call), done] {
    call();
    done->set_value();
  }).detach();
  return returned.wait_for(kDeadline) == std::future_status::ready;
}

// Lines a handler was given, from any thread.
struct Lines {
  std::mutex lock;
  std::vector<std::string> texts;  // guarded by lock
  void Add(const char* text) {
    std::lock_guard<std::mutex> hold(lock);
    texts.push_back(text);
  }
  std::vector<std::string> All() {
    std::lock_guard<std::mutex> hold(lock);
    return texts;
  }
};

// Restores the default handler however a test ends.
struct DefaultHandlerAfterwards {
  ~DefaultHandlerAfterwards() { SorvoSetLogHandler(nullptr, nullptr); }
};

TEST(LogHandlerTest, AHandlerThatLogsGetsItsOwnLineOnlyOnce) {
  DefaultHandlerAfterwards restore;
  Lines lines;
  SorvoSetLogHandler(
      [](int, const char* text, unsigned int, long, void* user) {
        static_cast<Lines*>(user)->Add(text);
        // A handler that logs (or calls something that does) must neither deadlock nor
        // recurse without end.
        LogWarn("from inside the handler", 0, 0);
      },
      &lines);
  testing::internal::CaptureStderr();
  const bool returned = ReturnsInTime([] { LogInfo("outer", 0, 0); });
  const std::string stderrText = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(returned) << "logging from inside the handler deadlocked";
  EXPECT_EQ(lines.All(), std::vector<std::string>{"outer"});
  // The inner line is not lost: it goes where lines go without a handler.
  EXPECT_NE(stderrText.find("from inside the handler"), std::string::npos) << stderrText;
}

TEST(LogHandlerTest, AHandlerMayInstallAnotherOne) {
  DefaultHandlerAfterwards restore;
  static Lines first;
  static Lines second;
  SorvoSetLogHandler(
      [](int, const char* text, unsigned int, long, void*) {
        first.Add(text);
        SorvoSetLogHandler(
            [](int, const char* text, unsigned int, long, void*) { second.Add(text); }, nullptr);
      },
      nullptr);
  ASSERT_TRUE(ReturnsInTime([] { LogInfo("one", 0, 0); }))
      << "installing a handler from inside the handler deadlocked";
  ASSERT_TRUE(ReturnsInTime([] { LogInfo("two", 0, 0); }));
  EXPECT_EQ(first.All(), std::vector<std::string>{"one"});
  EXPECT_EQ(second.All(), std::vector<std::string>{"two"});
}

// A handler that holds every line whose text is "slow" until it is let go.
class Gate {
 public:
  static void Handle(int, const char* text, unsigned int, long, void* user) {
    auto* gate = static_cast<Gate*>(user);
    if (std::string(text) != "slow") {
      gate->fast.fetch_add(1);
      return;
    }
    std::unique_lock<std::mutex> hold(gate->m_lock);
    gate->m_bInside = true;
    gate->m_changed.notify_all();
    gate->m_changed.wait(hold, [gate] { return gate->m_bOpen; });
    gate->m_bInside = false;
    gate->slowDone.store(true);
  }
  void WaitInside() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [this] { return m_bInside; });
  }
  void Open() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bOpen = true;
    m_changed.notify_all();
  }

  std::atomic<int> fast{0};
  std::atomic<bool> slowDone{false};

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_bInside = false;  // guarded by m_lock
  bool m_bOpen = false;    // guarded by m_lock
};

TEST(LogHandlerTest, ASlowHandlerDoesNotHoldUpOtherThreads) {
  DefaultHandlerAfterwards restore;
  Gate gate;
  SorvoSetLogHandler(&Gate::Handle, &gate);
  std::thread slow([] { LogInfo("slow", 0, 0); });
  gate.WaitInside();
  const bool returned = ReturnsInTime([] { LogInfo("quick", 0, 0); });
  gate.Open();
  slow.join();
  EXPECT_TRUE(returned) << "a line waited for another thread's handler call";
  EXPECT_EQ(gate.fast.load(), 1);
}

TEST(LogHandlerTest, ReplacingTheHandlerWaitsForCallsInFlightOnOtherThreads) {
  DefaultHandlerAfterwards restore;
  // Once the replacement has returned the old handler's data may be freed: no other
  // thread may still be inside it.
  auto gate = std::make_unique<Gate>();
  SorvoSetLogHandler(&Gate::Handle, gate.get());
  std::thread slow([] { LogInfo("slow", 0, 0); });
  gate->WaitInside();
  std::atomic<bool> replaced{false};
  std::thread replacer([&] {
    SorvoSetLogHandler(nullptr, nullptr);
    replaced.store(true);
  });
  // Gives a replacement that does not wait the chance to return early; the result does
  // not depend on how long this takes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(replaced.load());
  gate->Open();
  replacer.join();
  EXPECT_TRUE(gate->slowDone.load());
  slow.join();
  gate.reset();
  LogInfo("after the replacement", 0, 0);  // reaches the default, not freed data
}

}  // namespace
