#include "host/PopupUiThread.h"

#include <SDL.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace sorvo {

namespace {

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
PopupUiThread* g_instance = nullptr;  // guarded by RegistryLock()
int g_users = 0;                      // guarded by RegistryLock()

// SDL picks its offscreen or dummy driver by itself when no display answers; a window there
// shows nothing to anyone, so it counts as a display only when asked for by name.
bool HasDisplay() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr)
    return false;
  if (std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0)
    return true;
  const char* requested = SDL_GetHint(SDL_HINT_VIDEODRIVER);
  return requested != nullptr && std::strstr(requested, driver) != nullptr;
}

bool StartVideo() {
  // The library lives in someone else's process: SDL must neither turn SIGINT/SIGTERM into
  // its own quit events nor keep the screen saver away. The software renderer, drawing
  // straight into the window's surface, needs no GPU or OpenGL driver and behaves the same
  // everywhere; SDL_RENDER_DRIVER and SDL_FRAMEBUFFER_ACCELERATION in the environment still
  // win.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "software", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
    return false;
  if (HasDisplay())
    return true;
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  return false;
}

void StopSdl(bool videoRunning) {
  if (videoRunning)
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  // A host that uses SDL itself keeps its own subsystems; otherwise SDL lets go of all.
  if (SDL_WasInit(0) == 0)
    SDL_Quit();
  // SDL keeps per-thread error text that only its own threads free when they end.
  SDL_TLSCleanup();
}

}  // namespace

PopupUiThread::Handle::~Handle() {
  Reset();
}

PopupUiThread::Handle::Handle(Handle&& other) noexcept : m_pThread(other.m_pThread) {
  other.m_pThread = nullptr;
}

PopupUiThread::Handle& PopupUiThread::Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Reset();
    m_pThread = other.m_pThread;
    other.m_pThread = nullptr;
  }
  return *this;
}

void PopupUiThread::Handle::Reset() {
  if (m_pThread != nullptr)
    PopupUiThread::Release(m_pThread);
  m_pThread = nullptr;
}

PopupUiThread::Handle PopupUiThread::Acquire() {
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (g_instance == nullptr) {
    PopupUiThread* thread = new PopupUiThread;
    if (!thread->Start()) {
      delete thread;
      return Handle();
    }
    g_instance = thread;
  }
  ++g_users;
  return Handle(g_instance);
}

void PopupUiThread::Release(PopupUiThread* thread) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (thread != g_instance || --g_users > 0)
    return;
  // Joined under the registry lock, so that a new first user cannot start SDL while this
  // thread is still quitting it.
  delete g_instance;
  g_instance = nullptr;
}

bool PopupUiThread::Start() {
  m_thread = std::thread(&PopupUiThread::Main, this);
  std::unique_lock<std::mutex> hold(m_lock);
  m_done.wait(hold, [this] { return m_eStart != StartState::kStarting; });
  if (m_eStart == StartState::kRunning)
    return true;
  hold.unlock();
  m_thread.join();
  return false;
}

PopupUiThread::~PopupUiThread() {
  if (!m_thread.joinable())
    return;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bQuit = true;
    m_changed.notify_all();
  }
  m_thread.join();
}

void PopupUiThread::Main() {
  pthread_setname_np(pthread_self(), "SorvoPopupUi");
  const bool running = StartVideo();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_eStart = running ? StartState::kRunning : StartState::kFailed;
    m_done.notify_all();
  }
  if (running)
    Loop();
  StopSdl(running);
}

void PopupUiThread::Loop() {
  std::vector<std::function<void()>> tasks;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(m_lock);
      m_changed.wait_for(hold, kEventPollInterval,
                         [this] { return m_bQuit || m_bWake || !m_tasks.empty(); });
      // Users hold a handle while they wait in Invoke, so no task is left at quit.
      if (m_bQuit)
        return;
      tasks.swap(m_tasks);
      m_bWake = false;
    }
    for (const std::function<void()>& task : tasks)
      task();
    tasks.clear();
    for (PopupUiClient* client : m_clients)
      client->Present();
    DispatchEvents();
  }
}

void PopupUiThread::DispatchEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type != SDL_WINDOWEVENT)
      continue;
    for (PopupUiClient* client : m_clients) {
      if (client->WindowId() == event.window.windowID)
        client->OnWindowEvent(event);
    }
  }
}

void PopupUiThread::Invoke(const std::function<void()>& task) {
  // `ran` lives on this stack: the UI thread sets it and notifies under m_lock, so this
  // call cannot see it and return before the UI thread is done with it.
  bool ran = false;
  std::unique_lock<std::mutex> hold(m_lock);
  m_tasks.push_back([this, &task, &ran] {
    task();
    std::lock_guard<std::mutex> doneHold(m_lock);
    ran = true;
    m_done.notify_all();
  });
  m_changed.notify_all();
  m_done.wait(hold, [&ran] { return ran; });
}

void PopupUiThread::Wake() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_bWake = true;
  m_changed.notify_all();
}

void PopupUiThread::AddClient(PopupUiClient* client) {
  m_clients.push_back(client);
}

void PopupUiThread::RemoveClient(PopupUiClient* client) {
  m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

}  // namespace sorvo
