// The check the fault tests end with, that a component left nothing behind: it names a thread
// or descriptor made after the snapshot and still there, and not one that was ending when
// the snapshot was taken, even when its number has been given to something new since.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ProcessFootprint.h"

namespace {

using namespace sorvo::test;

// A thread and a pipe, as a component would leave them.
class Leftovers {
 public:
  Leftovers() : m_thread([ended = m_end.get_future()] { ended.wait(); }) {
    EXPECT_EQ(pipe2(m_pipe, O_CLOEXEC), 0);
  }
  ~Leftovers() {
    m_end.set_value();
    m_thread.join();
    close(m_pipe[0]);
    close(m_pipe[1]);
  }
  int reading() const { return m_pipe[0]; }

 private:
  std::promise<void> m_end;
  std::thread m_thread;
  int m_pipe[2] = {-1, -1};
};

TEST(ProcessFootprintTest, NamesWhatWasMadeSinceAndStaysButNotWhatEndedSince) {
  auto earlier = std::make_unique<Leftovers>();
  const int earlierNumber = earlier->reading();
  const ProcessFootprint before;
  earlier.reset();
  EXPECT_EQ(before.WaitUntilNothingLeftBehind(), "");

  // Made since, the pipe on the numbers the earlier one had.
  const Leftovers later;
  EXPECT_EQ(later.reading(), earlierNumber);
  const std::vector<std::string> left = before.LeftBehind();
  ASSERT_EQ(left.size(), 3u);
  int threads = 0;
  int pipes = 0;
  for (const std::string& line : left) {
    threads += line.rfind("thread ", 0) == 0;
    pipes += line.rfind("descriptor " + std::to_string(earlierNumber) + " -> pipe:[", 0) == 0;
  }
  EXPECT_EQ(threads, 1) << left[0] << "; " << left[1] << "; " << left[2];
  EXPECT_EQ(pipes, 1) << left[0] << "; " << left[1] << "; " << left[2];
}

}  // namespace
