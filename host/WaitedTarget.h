// A callback target that one thread replaces while others call into it: replacing it
// returns only once every call into the target it replaced has ended, so that the caller
// may free that target right away.
//
// Threads: Call from any thread, also several at once; Install and Clear from any thread.
// m_lock guards which target is installed and the count of calls into each; it is never
// held while a target runs, so a target may take its time, call out, or replace itself.
// A target that replaces a target of the same type from inside a call does not wait for the
// calls under way (two of them doing so at once would wait for each other).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace sorvo {

template <typename Target>
class WaitedTarget {
 public:
  WaitedTarget() = default;
  WaitedTarget(const WaitedTarget&) = delete;
  WaitedTarget& operator=(const WaitedTarget&) = delete;

  // Runs `call(target)` on the installed target; false, without calling, when there is none.
  template <typename Function>
  bool Call(Function&& call) {
    std::shared_ptr<Installed> installed;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      installed = m_installed;
      if (installed == nullptr)
        return false;
      ++installed->calls;
    }
    const Counted counted(*this, installed);
    call(installed->target);
    return true;
  }

  void Install(Target target) { Replace(std::make_shared<Installed>(std::move(target))); }
  void Clear() { Replace(nullptr); }

  // Whether this thread is inside a call into a target of this type.
  static bool InsideCall() { return t_depth > 0; }

 private:
  struct Installed {
    explicit Installed(Target installed) : target(std::move(installed)) {}
    Target target;
    int calls = 0;  // guarded by m_lock
  };

  // One call into `installed`, counted for its lifetime, also when the target throws.
  class Counted {
   public:
    Counted(WaitedTarget& owner, std::shared_ptr<Installed> installed)
        : m_owner(owner), m_installed(std::move(installed)) {
      ++t_depth;
    }
    // Notifies under the lock: once a waiter sees the count at 0, nothing here touches the
    // owner again, which may then be destroyed.
    ~Counted() {
      --t_depth;
      std::lock_guard<std::mutex> hold(m_owner.m_lock);
      --m_installed->calls;
      m_owner.m_callEnded.notify_all();
    }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

   private:
    WaitedTarget& m_owner;
    std::shared_ptr<Installed> m_installed;
  };

  void Replace(std::shared_ptr<Installed> next) {
    std::unique_lock<std::mutex> hold(m_lock);
    std::shared_ptr<Installed> previous = std::move(m_installed);
    m_installed = std::move(next);
    if (previous != nullptr && t_depth == 0)
      m_callEnded.wait(hold, [&previous] { return previous->calls == 0; });
  }

  static thread_local int t_depth;  // calls into targets of this type on this thread

  std::mutex m_lock;
  std::condition_variable m_callEnded;
  std::shared_ptr<Installed> m_installed;  // guarded by m_lock
};

template <typename Target>
thread_local int WaitedTarget<Target>::t_depth = 0;

}  // namespace sorvo
