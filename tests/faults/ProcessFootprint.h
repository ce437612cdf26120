// What a component may leave behind in the process once it is gone: threads and open
// descriptors. A snapshot taken before the component starts knows each of them by what
// identifies it for as long as it lives (a thread by its id and start time, a descriptor by
// its number and what it refers to); whatever is there later and was not there then was left
// behind. Counts would not do: a thread joined just before the snapshot can still be listed
// while the kernel finishes it, and its going later would look like a change.
//
// Any thread may take a snapshot or compare; the process is read through /proc.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/TestAppDir.h"
#include "common/WaitUntil.h"

namespace sorvo::test {

class ProcessFootprint {
 public:
  ProcessFootprint() {
    // ThreadSanitizer starts a thread of its own with the process's second thread: one
    // thread made and ended first puts it in the snapshot.
    std::thread([] {}).join();
    m_threads = Threads();
    m_descriptors = Descriptors();
  }

  // One line for each thread and descriptor there now that was not there at the snapshot.
  std::vector<std::string> LeftBehind() const {
    std::vector<std::string> left;
    AddNew(m_threads, Threads(), &left);
    AddNew(m_descriptors, Descriptors(), &left);
    return left;
  }

  // Waits until nothing is left behind, as a component's threads may take a moment to end
  // after it is gone; what still is when the wait gives up, one line each, or "".
  std::string WaitUntilNothingLeftBehind() const {
    std::vector<std::string> left;
    WaitUntil([&] { return (left = LeftBehind()).empty(); });
    std::string text;
    for (const std::string& line : left)
      text += line + "\n";
    return text;
  }

 private:
  // Identity -> what a failure message says about it.
  using Entries = std::map<std::string, std::string>;

  static void AddNew(const Entries& before, const Entries& now, std::vector<std::string>* left) {
    for (const auto& [identity, description] : now)
      if (before.count(identity) == 0)
        left->push_back(description);
  }

  // The names in a /proc folder, without the descriptor that reads it.
  static std::vector<std::string> Names(const char* folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder)) {
      const std::string own = std::to_string(dirfd(dir));
      while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.' && entry->d_name != own)
          names.push_back(entry->d_name);
      closedir(dir);
    }
    return names;
  }

  static Entries Threads() {
    Entries threads;
    for (const std::string& id : Names("/proc/self/task")) {
      // The name is field 2, in parentheses and free text; the start time is field 22.
      const std::string stat = ReadWholeFile("/proc/self/task/" + id + "/stat");
      const size_t open = stat.find('(');
      const size_t close = stat.rfind(')');
      if (open == std::string::npos || close == std::string::npos || close < open)
        continue;  // the thread has just ended
      size_t at = close + 1;
      for (int field = 3; field < 22 && at != std::string::npos; ++field)
        at = stat.find(' ', at + 1);
      if (at == std::string::npos)
        continue;
      const std::string started = stat.substr(at + 1, stat.find(' ', at + 1) - at - 1);
      threads[id + "@" + started] =
          "thread " + id + " (" + stat.substr(open + 1, close - open - 1) + ")";
    }
    return threads;
  }

  static Entries Descriptors() {
    Entries descriptors;
    for (const std::string& number : Names("/proc/self/fd")) {
      char target[4096];
      const ssize_t length =
          readlink(("/proc/self/fd/" + number).c_str(), target, sizeof(target) - 1);
      if (length < 0)
        continue;  // closed meanwhile
      const std::string entry = number + " -> " + std::string(target, static_cast<size_t>(length));
      descriptors[entry] = "descriptor " + entry;
    }
    return descriptors;
  }

  Entries m_threads;
  Entries m_descriptors;
};

}  // namespace sorvo::test
