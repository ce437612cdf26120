// The gate that camera pictures pass on their way through the controller, so that the
// control thread can wait for every picture in flight before it takes away what they use.
#pragma once

#include <condition_variable>
#include <mutex>

namespace sorvo {

// Pictures enter through a Pass; while the gate is closed, a picture does not enter and
// goes no further. Closing waits until every picture that entered has left, so that the
// closer may then change or free whatever the pictures read. A closed gate never blocks a
// picture: a capture thread is not held up by the control thread.
//
// Threads: Pass on any capture thread; Closed, Close and Open on the control thread, one at
// a time. m_lock
// guards m_nInside and m_bClosed; it is held only to count, never while a picture is
// processed.
class PictureGate {
 public:
  // One picture's way through; entered() is false when the gate was closed.
  class Pass {
   public:
    explicit Pass(PictureGate& gate) : m_gate(gate), m_bEntered(gate.Enter()) {}
    ~Pass() {
      if (m_bEntered)
        m_gate.Leave();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool entered() const { return m_bEntered; }

   private:
    PictureGate& m_gate;
    const bool m_bEntered;
  };

  // Keeps the gate closed, with no picture inside, for its lifetime.
  class Closed {
   public:
    explicit Closed(PictureGate& gate) : m_gate(gate) { m_gate.Close(); }
    ~Closed() { m_gate.Open(); }
    Closed(const Closed&) = delete;
    Closed& operator=(const Closed&) = delete;

   private:
    PictureGate& m_gate;
  };

  // Closes the gate and waits until no picture is inside; it stays closed until Open.
  void Close();
  void Open();

 private:
  bool Enter();
  void Leave();

  std::mutex m_lock;
  std::condition_variable m_left;
  int m_nInside = 0;
  bool m_bClosed = false;
};

}  // namespace sorvo
