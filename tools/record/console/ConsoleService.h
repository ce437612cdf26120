// What the console does on its network thread: answers the requests (after the guard),
// calls the model for the controls, keeps the newest thumbnail of each tile and sends it to
// those who watch, pushes the status every period and every event at once, watches the
// cameras' signals and the program's tally, follows the cut and sends each page what changed
// in it (the whole of it when it comes), says which tiles are watched (only those get
// thumbnails made, the program's at its full rate while a page shows it live) and whether
// anyone listens to the sound (only then are its frames copied).
//
// Threads: every operation on the network thread; other threads post to it (Console does).
// The service outlives every session, socket and stream on that thread: they call back
// only from their handlers, which never run once the thread has stopped.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/ConnectionAdmission.h"
#include "tools/record/console/ConsoleModel.h"
#include "tools/record/console/ConsoleSettings.h"
#include "tools/record/console/HttpTypes.h"
#include "tools/record/console/RequestGuard.h"
#include "tools/record/console/SignalWatch.h"
#include "tools/record/console/SinkRates.h"
#include "tools/record/console/SoundMeter.h"
#include "tools/record/console/StatusDocument.h"
#include "tools/record/console/StorageGauge.h"
#include "tools/record/console/ThumbnailSlot.h"

namespace sorvo::tools {

class EventSocket;
class HttpSession;
class MjpegStream;
class SoundStream;

class ConsoleService {
 public:
  using Clock = ConsoleSettings::Clock;
  ConsoleService(boost::asio::io_context& io,
                 const ConsoleSettings& settings,
                 ConsoleModel& model,
                 RequestGuard guard,
                 std::array<ThumbnailSlot*, kPictureSlots> slots,
                 const std::atomic<SoundMeter*>& meter,
                 std::atomic<bool>& soundWanted,
                 ConnectionAdmission& admission);
  ~ConsoleService();
  ConsoleService(const ConsoleService&) = delete;
  ConsoleService& operator=(const ConsoleService&) = delete;

  // Starts the periodic status and signal checks.
  void Start();
  // Closes every client (WebSockets with a closing handshake) and stops the timers.
  void Shutdown();

  void Handle(const std::shared_ptr<HttpSession>& session, HttpRequest request);
  const ConsoleSettings& settings() const { return m_settings; }

  // From the other threads, by way of the network thread.
  void OnThumbnail(int slot, std::shared_ptr<const std::string> jpeg);
  void OnThumbnailProblem(int slot, const std::string& error);
  void OnFirstPicture(int slot);
  void OnProgram(int camera, double time);
  void OnPreview(int camera);
  void OnSoundFrame(std::shared_ptr<const std::string> frame);
  // The session's files as read back, the --json summary's document.
  void OnResults(const Json& summary);
  void OnMark(double time, const std::string& label);
  void OnProblem(const std::string& text);
  void OnEnded();

  // From the clients' handlers.
  void EventSocketOpened(const std::shared_ptr<EventSocket>& socket);
  void AudienceChanged();

 private:
  // A thumbnail.jpg request waiting for the tile's next picture; it holds its session.
  struct WaitingRequest {
    std::shared_ptr<HttpSession> session;
    unsigned version = 11;
    bool keepAlive = true;
    Clock::time_point deadline;
  };

  Clock::time_point Now() const;
  void HandleRoute(const std::shared_ptr<HttpSession>& session,
                   const Route& route,
                   HttpRequest& request);
  void ServeThumbnail(const std::shared_ptr<HttpSession>& session,
                      int slot,
                      const HttpRequest& request);
  void StartLive(const std::shared_ptr<HttpSession>& session, int slot, const HttpRequest& request);
  void StartEvents(const std::shared_ptr<HttpSession>& session, HttpRequest& request);
  void StartSound(const std::shared_ptr<HttpSession>& session, const HttpRequest& request);
  // The answer to a control: 200 with `body` when the model took it (`why` empty), 409
  // with why not otherwise.
  void Control(const std::shared_ptr<HttpSession>& session,
               const HttpRequest& request,
               const std::string& why,
               const Json& body);
  // Whether the session has a camera (or, for the program's slot, a director) there.
  static bool SlotInSession(const ConsoleSnapshot& snapshot, int slot);
  std::string SlotName(int slot) const;

  // The status with the parts of its lists that `pages` asks for.
  Json Status(const ConsoleSnapshot& snapshot, const ListPages& pages);
  // The status as every page gets it each period: the cut comes in cut events instead.
  Json PushedStatus(const ConsoleSnapshot& snapshot);
  // Takes what changed in the cut from the model and sends it to every page.
  void FollowCut();
  // The whole cut to a page that has just come, a page of entries at a time.
  void SendCut(EventSocket& socket) const;
  void Broadcast(const Json& event);
  void PushStatus();
  void CheckSignals();
  void AnswerWaiting(int slot);
  void UpdateWanted();
  void ScheduleStatus();
  void ScheduleSignals();

  boost::asio::io_context& m_io;
  const ConsoleSettings& m_settings;
  ConsoleModel& m_model;
  const RequestGuard m_guard;
  const std::array<ThumbnailSlot*, kPictureSlots> m_slots;
  const std::atomic<SoundMeter*>& m_meter;
  std::atomic<bool>& m_soundWanted;
  ConnectionAdmission& m_admission;
  boost::asio::steady_timer m_statusTimer;
  boost::asio::steady_timer m_signalTimer;
  bool m_stopped = false;

  ConsoleSnapshot m_last;  // the last periodic snapshot
  SinkRates m_rates;
  StorageGauge m_storage;
  SignalWatch m_signals;
  ProgramTally m_program;
  // The cut as far as it was taken from the model.
  std::vector<Shot> m_shots;
  std::vector<Mark> m_marks;
  int m_preview = -1;
  Json m_results;  // null until the files have been read back
  std::vector<ChannelLevel> m_levels;
  std::set<std::string> m_toldNotes;
  std::array<std::shared_ptr<const std::string>, kPictureSlots> m_latest;
  std::array<Clock::time_point, kPictureSlots> m_latestAt{};
  std::array<long long, kPictureSlots> m_made{};
  std::array<std::vector<WaitingRequest>, kPictureSlots> m_waiting;
  std::vector<std::weak_ptr<EventSocket>> m_sockets;
  std::vector<std::weak_ptr<MjpegStream>> m_streams;
  std::vector<std::weak_ptr<SoundStream>> m_listeners;
};

}  // namespace sorvo::tools
