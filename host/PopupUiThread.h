// The thread that owns SDL's video subsystem and every pop-up window of the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

union SDL_Event;

namespace sorvo {

// A window that lives on the UI thread; every call comes on that thread.
class PopupUiClient {
 public:
  virtual uint32_t WindowId() const = 0;
  // Shows the newest picture handed over since the last call, if there is one.
  virtual void Present() = 0;
  virtual void OnWindowEvent(const SDL_Event& event) = 0;

 protected:
  ~PopupUiClient() = default;
};

// SDL's video subsystem is process-wide and must be driven from one thread, so every drawer
// of the process (one per sink with a preview) shares this thread. It starts, and with it
// SDL's video, for the first user and ends, quitting SDL's video, when the last user lets go.
// Without a display (SDL falls back to its offscreen or dummy driver on its own) it does not
// start at all, unless SDL_VIDEODRIVER asks for that driver by name, as headless tests do.
//
// Threads: Acquire, Invoke, Wake and the Handle's release run on any thread but the UI thread
// (Invoke waits for it); AddClient, RemoveClient and the clients' calls only on the UI thread.
// The static registry lock guards the instance and its user count and is taken before m_lock;
// m_lock guards m_eStart, m_tasks, m_bWake and m_bQuit; m_clients is the UI thread's alone. While a
// handle is held the instance stays, and SDL is never started twice at once in the process.
class PopupUiThread {
 public:
  // One user's share of the UI thread.
  class Handle {
   public:
    Handle() = default;
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    explicit operator bool() const { return m_pThread != nullptr; }
    PopupUiThread* operator->() const { return m_pThread; }

   private:
    friend class PopupUiThread;
    explicit Handle(PopupUiThread* thread) : m_pThread(thread) {}
    void Reset();

    PopupUiThread* m_pThread = nullptr;
  };

  // The running UI thread, started for the first user; an empty handle when SDL's video
  // cannot start or there is no display.
  static Handle Acquire();

  // Runs `task` on the UI thread and returns when it has run.
  void Invoke(const std::function<void()>& task);
  // Has the UI thread present new pictures now rather than at its next event poll.
  void Wake();

  void AddClient(PopupUiClient* client);
  void RemoveClient(PopupUiClient* client);

 private:
  // How often window-system events are handled while nothing else happens.
  static constexpr std::chrono::milliseconds kEventPollInterval{10};

  enum class StartState { kStarting, kRunning, kFailed };

  PopupUiThread() = default;
  ~PopupUiThread();
  bool Start();
  void Main();
  void Loop();
  void DispatchEvents();
  static void Release(PopupUiThread* thread);

  std::thread m_thread;  // the control side's: started by Start, joined by the destructor
  std::mutex m_lock;
  std::condition_variable m_changed;            // wakes the UI thread
  std::condition_variable m_done;               // wakes Start and Invoke
  StartState m_eStart = StartState::kStarting;  // guarded by m_lock
  std::vector<std::function<void()>> m_tasks;   // guarded by m_lock
  bool m_bWake = false;                         // guarded by m_lock
  bool m_bQuit = false;                         // guarded by m_lock
  std::vector<PopupUiClient*> m_clients;        // UI thread only
};

}  // namespace sorvo
