// A tally receiver of the tests' own, written from the TSL UMD 5.0 definition (not from the
// recorder's code): listens on a free loopback UDP or TCP port, takes every packet apart
// (PBC, VER, FLAGS, SCREEN, then INDEX, CONTROL, LENGTH, TEXT per display; DLE/STX framing
// with doubled DLEs on TCP) and keeps what each packet said and when it came.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvo::test {

class TslReceiver {
 public:
  using Clock = std::chrono::steady_clock;
  struct Display {
    int rightLamp = 0;  // 0 off, 1 red, 2 green, 3 amber
    int textTally = 0;
    int leftLamp = 0;
    int brightness = 0;
    std::string text;
  };
  struct Packet {
    Clock::time_point at;
    std::map<int, Display> displays;  // by index
    std::string error;                // what broke the definition; empty when nothing
  };

  explicit TslReceiver(bool tcp);
  ~TslReceiver();
  unsigned short port() const { return m_port; }
  std::vector<Packet> packets() const;
  // The first packet, from `from` on, with `program` red and `preview` green.
  bool FirstShowing(int program, int preview, Clock::time_point from, Packet* found) const;

 private:
  void Run();
  void Take(const std::string& packet);

  const bool m_tcp;
  int m_socket = -1;
  unsigned short m_port = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_lock;  // guards m_packets
  std::vector<Packet> m_packets;
  std::thread m_thread;
};

}  // namespace sorvo::test
