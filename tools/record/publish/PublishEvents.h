// Messages the publisher has for the user (a destination connected, lost, back), collected
// from its threads until the recorder's control thread takes them to show.
//
// Threads: Add on any; Take on any; m_lock guards the list.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sorvo::tools {

class PublishEvents {
 public:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_messages.push_back(text);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> taken;
    taken.swap(m_messages);
    return taken;
  }

 private:
  std::mutex m_lock;
  std::vector<std::string> m_messages;
};

}  // namespace sorvo::tools
