#include "tools/record/console/ConsoleService.h"

#include <algorithm>
#include <boost/beast/websocket.hpp>

#include "tools/record/console/AccessToken.h"
#include "tools/record/console/EventSocket.h"
#include "tools/record/console/HttpSession.h"
#include "tools/record/console/MjpegStream.h"
#include "tools/record/console/PageFiles.h"
#include "tools/record/console/SoundStream.h"

namespace sorvo::tools {
namespace {

std::string_view View(beast::string_view text) {
  return {text.data(), text.size()};
}

// Only the console's own files and its own connections: nothing else is loaded or framed.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "media-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

template <typename T>
void Prune(std::vector<std::weak_ptr<T>>* clients) {
  clients->erase(std::remove_if(clients->begin(), clients->end(),
                                [](const std::weak_ptr<T>& weak) {
                                  auto client = weak.lock();
                                  return !client || !client->open();
                                }),
                 clients->end());
}

}  // namespace

ConsoleService::ConsoleService(boost::asio::io_context& io,
                               const ConsoleSettings& settings,
                               ConsoleModel& model,
                               RequestGuard guard,
                               std::array<ThumbnailSlot*, kPictureSlots> slots,
                               const std::atomic<SoundMeter*>& meter,
                               std::atomic<bool>& soundWanted,
                               ConnectionAdmission& admission)
    : m_io(io),
      m_settings(settings),
      m_model(model),
      m_guard(std::move(guard)),
      m_slots(slots),
      m_meter(meter),
      m_soundWanted(soundWanted),
      m_admission(admission),
      m_statusTimer(io),
      m_signalTimer(io),
      m_signals(settings.signalTimeout) {}

ConsoleService::~ConsoleService() = default;

ConsoleService::Clock::time_point ConsoleService::Now() const {
  return m_settings.clock ? m_settings.clock() : Clock::now();
}

void ConsoleService::Start() {
  m_last = m_model.Snapshot();
  m_rates.Update(m_last);
  m_storage.Update(m_last.files);
  ScheduleStatus();
  ScheduleSignals();
}

void ConsoleService::Shutdown() {
  m_stopped = true;
  m_statusTimer.cancel();
  m_signalTimer.cancel();
  for (auto& waiting : m_waiting)
    waiting.clear();
  for (const auto& weak : m_sockets)
    if (auto socket = weak.lock())
      socket->Finish();
  for (const auto& weak : m_streams)
    if (auto stream = weak.lock())
      stream->Close();
  for (const auto& weak : m_listeners)
    if (auto listener = weak.lock())
      listener->Close();
  UpdateWanted();
}

void ConsoleService::Handle(const std::shared_ptr<HttpSession>& session, HttpRequest request) {
  const unsigned version = request.version();
  const bool keepAlive = request.keep_alive();
  if (m_stopped)
    return session->Reply(ErrorResponse(503, "the console is closing", version, false));
  const std::string_view target = View(request.target());
  const auto host = request.find(http::field::host);
  const auto origin = request.find(http::field::origin);
  const auto authorization = request.find(http::field::authorization);
  if (request.count(http::field::host) > 1 || request.count(http::field::origin) > 1)
    return session->Reply(ErrorResponse(400, "repeated Host or Origin header", version, false));
  RequestFacts facts;
  facts.hasHost = host != request.end();
  if (facts.hasHost)
    facts.host = View(host->value());
  facts.hasOrigin = origin != request.end();
  if (facts.hasOrigin)
    facts.origin = View(origin->value());
  facts.token = PresentedToken(
      authorization != request.end() ? View(authorization->value()) : std::string_view(), target);
  facts.changesState = request.method() != http::verb::get && request.method() != http::verb::head;
  facts.api = target.substr(0, 4) == "/api";
  const bool tokenHeld = !facts.token.empty() && TokensEqual(facts.token, m_guard.token());
  std::optional<ConnectionTicket> slot = m_admission.Slot(tokenHeld);
  if (!slot)
    return session->Reply(ErrorResponse(503, "too many connections", version, false));
  session->Hold(std::move(*slot));
  const GuardVerdict verdict = m_guard.Check(facts);
  if (!verdict.allowed())
    return session->Reply(ErrorResponse(verdict.status, verdict.reason, version, keepAlive));
  const Route route = FindRoute(View(request.method_string()), target);
  if (!route.found()) {
    HttpResponse response = ErrorResponse(route.status, route.reason, version, keepAlive);
    if (!route.allow.empty())
      response.set(http::field::allow, route.allow);
    return session->Reply(std::move(response));
  }
  HandleRoute(session, route, request);
}

void ConsoleService::HandleRoute(const std::shared_ptr<HttpSession>& session,
                                 const Route& route,
                                 HttpRequest& request) {
  const unsigned version = request.version();
  const bool keepAlive = request.keep_alive();
  switch (route.endpoint) {
    case Endpoint::kPage: {
      const PageFile* file = FindPageFile(route.path);
      if (file == nullptr)
        return session->Reply(
            ErrorResponse(404, "no such page: " + route.path.substr(0, 100), version, keepAlive));
      HttpResponse response = MakeResponse(200, file->contentType,
                                           std::string(file->data, file->size), version, keepAlive);
      response.set("Content-Security-Policy", kPagePolicy);
      return session->Reply(std::move(response));
    }
    case Endpoint::kStatus: {
      const ListPages pages = ParseListPages(View(request.target()));
      if (!pages.error.empty())
        return session->Reply(ErrorResponse(400, pages.error, version, keepAlive));
      FollowCut();
      return session->Reply(
          JsonResponse(200, Status(m_model.Snapshot(), pages), version, keepAlive));
    }
    case Endpoint::kProgram:
    case Endpoint::kPreview: {
      const CameraRequest choice = ParseCameraRequest(request.body());
      if (!choice.error.empty())
        return session->Reply(ErrorResponse(400, choice.error, version, keepAlive));
      const bool program = route.endpoint == Endpoint::kProgram;
      return Control(
          session, request,
          program ? m_model.SelectProgram(choice.camera) : m_model.SelectPreview(choice.camera),
          {{"camera", choice.camera}});
    }
    case Endpoint::kTake: {
      const std::string error = CheckEmptyRequest(request.body());
      if (!error.empty())
        return session->Reply(ErrorResponse(400, error, version, keepAlive));
      return Control(session, request, m_model.Take(), {{"camera", m_preview}});
    }
    case Endpoint::kMark: {
      const MarkRequest mark = ParseMarkRequest(request.body());
      if (!mark.error.empty())
        return session->Reply(ErrorResponse(400, mark.error, version, keepAlive));
      double time = 0;
      const std::string why = m_model.AddMark(mark.label, &time);
      if (!why.empty())
        return session->Reply(ErrorResponse(409, why, version, keepAlive));
      return session->Reply(
          JsonResponse(200, {{"label", mark.label}, {"time", time}}, version, keepAlive));
    }
    case Endpoint::kStop: {
      const std::string error = CheckEmptyRequest(request.body());
      if (!error.empty())
        return session->Reply(ErrorResponse(400, error, version, keepAlive));
      if (!m_model.RequestStop())
        return session->Reply(
            ErrorResponse(409, "the session is already ending", version, keepAlive));
      return session->Reply(JsonResponse(202, {{"state", "stopping"}}, version, keepAlive));
    }
    case Endpoint::kThumbnail:
      return ServeThumbnail(session, route.slot, request);
    case Endpoint::kLive:
      return StartLive(session, route.slot, request);
    case Endpoint::kEvents:
      return StartEvents(session, request);
    case Endpoint::kSound:
      return StartSound(session, request);
  }
}

void ConsoleService::Control(const std::shared_ptr<HttpSession>& session,
                             const HttpRequest& request,
                             const std::string& why,
                             const Json& body) {
  if (!why.empty())
    return session->Reply(ErrorResponse(409, why, request.version(), request.keep_alive()));
  session->Reply(JsonResponse(200, body, request.version(), request.keep_alive()));
}

void ConsoleService::StartSound(const std::shared_ptr<HttpSession>& session,
                                const HttpRequest& request) {
  if (m_meter.load() == nullptr)
    return session->Reply(ErrorResponse(404, "this session records no sound", request.version(),
                                        request.keep_alive()));
  auto listener = std::make_shared<SoundStream>(*this, session->HandOver());
  Prune(&m_listeners);
  m_listeners.push_back(listener);
  listener->Start(request.version());
  UpdateWanted();
}

bool ConsoleService::SlotInSession(const ConsoleSnapshot& snapshot, int slot) {
  for (const SinkStatus& sink : snapshot.sinks)
    if ((slot == kProgramSlot && sink.name == "director") ||
        (slot != kProgramSlot && sink.camera == slot))
      return true;
  return false;
}

std::string ConsoleService::SlotName(int slot) const {
  return slot == kProgramSlot ? std::string("the program") : "camera " + std::to_string(slot);
}

void ConsoleService::ServeThumbnail(const std::shared_ptr<HttpSession>& session,
                                    int slot,
                                    const HttpRequest& request) {
  const unsigned version = request.version();
  const bool keepAlive = request.keep_alive();
  if (!SlotInSession(m_model.Snapshot(), slot))
    return session->Reply(ErrorResponse(404, "there is no " + SlotName(slot) + " in this session",
                                        version, keepAlive));
  if (m_latest[slot] && Now() - m_latestAt[slot] <= 2 * m_settings.thumbnailPeriod)
    return session->Reply(MakeResponse(200, "image/jpeg", *m_latest[slot], version, keepAlive));
  // Nobody watched this tile lately: its next picture is made into a thumbnail.
  m_waiting[slot].push_back({session, version, keepAlive, Now() + m_settings.thumbnailWait});
  UpdateWanted();
}

void ConsoleService::StartLive(const std::shared_ptr<HttpSession>& session,
                               int slot,
                               const HttpRequest& request) {
  if (!SlotInSession(m_model.Snapshot(), slot))
    return session->Reply(ErrorResponse(404, "there is no " + SlotName(slot) + " in this session",
                                        request.version(), request.keep_alive()));
  auto stream = std::make_shared<MjpegStream>(*this, session->HandOver(), slot);
  Prune(&m_streams);
  m_streams.push_back(stream);
  stream->Start(request.version());
  if (m_latest[slot])
    stream->SendPicture(m_latest[slot]);
  UpdateWanted();
}

void ConsoleService::StartEvents(const std::shared_ptr<HttpSession>& session,
                                 HttpRequest& request) {
  if (!boost::beast::websocket::is_upgrade(request)) {
    HttpResponse response =
        ErrorResponse(426, "/api/events is a WebSocket: connect with a WebSocket client",
                      request.version(), request.keep_alive());
    response.set(http::field::upgrade, "websocket");
    return session->Reply(std::move(response));
  }
  const bool thumbnails = QueryFlag(View(request.target()), "thumbnails");
  auto socket = std::make_shared<EventSocket>(*this, session->HandOver(), thumbnails);
  socket->Accept(std::move(request));
}

void ConsoleService::EventSocketOpened(const std::shared_ptr<EventSocket>& socket) {
  if (m_stopped)
    return socket->Finish();
  Prune(&m_sockets);
  m_sockets.push_back(socket);
  // A newcomer learns where things stand at once: the status, then the cut so far, after
  // which it gets the changes as the others do.
  FollowCut();
  Json status = PushedStatus(m_model.Snapshot());
  status["event"] = "status";
  socket->SendStatus(std::make_shared<const std::string>(JsonText(status)));
  SendCut(*socket);
  for (int slot = 0; slot < kPictureSlots; ++slot)
    if (m_latest[slot])
      socket->SendPicture(slot, m_latest[slot]);
  if (!m_results.is_null())
    socket->SendEvent(std::make_shared<const std::string>(JsonText(m_results)));
  UpdateWanted();
}

void ConsoleService::AudienceChanged() {
  UpdateWanted();
}

void ConsoleService::UpdateWanted() {
  bool page = false;
  bool programLive = false;
  for (const auto& weak : m_sockets) {
    auto socket = weak.lock();
    if (!socket || !socket->open())
      continue;
    page = page || socket->thumbnails();
    programLive = programLive || socket->programLive();
  }
  for (int slot = 0; slot < kPictureSlots; ++slot) {
    bool wanted = page || !m_waiting[slot].empty();
    bool streamed = false;
    for (const auto& weak : m_streams) {
      auto stream = weak.lock();
      streamed = streamed || (stream && stream->open() && stream->slot() == slot);
    }
    m_slots[slot]->SetWanted((wanted || streamed) && !m_stopped);
    m_slots[slot]->SetFullRate(slot == kProgramSlot && (programLive || streamed));
  }
  bool listened = false;
  for (const auto& weak : m_listeners) {
    auto listener = weak.lock();
    listened = listened || (listener && listener->open());
  }
  m_soundWanted.store(listened && !m_stopped);
}

void ConsoleService::FollowCut() {
  const size_t shotsBefore = m_shots.size();
  const size_t marksBefore = m_marks.size();
  const CutChange change = m_model.TakeCut();
  change.ApplyTo(&m_shots, &m_marks);
  if (change.shotsFrom == shotsBefore && change.shots.empty() && change.marksFrom == marksBefore &&
      change.marks.empty())
    return;
  const size_t shotsFrom = std::min(change.shotsFrom, m_shots.size());
  const size_t marksFrom = std::min(change.marksFrom, m_marks.size());
  Broadcast(CutEventJson(shotsFrom, m_shots, m_shots.size(), marksFrom, m_marks, m_marks.size()));
}

void ConsoleService::SendCut(EventSocket& socket) const {
  // A page of 27-byte switches stays a few tens of kilobytes, and a cut of a long day a
  // few dozen pages, within the socket's backlog.
  constexpr size_t kPage = 2000;
  size_t shot = 0;
  size_t mark = 0;
  do {
    const size_t shotsEnd = std::min(m_shots.size(), shot + kPage);
    const size_t marksEnd = std::min(m_marks.size(), mark + kPage);
    socket.SendEvent(std::make_shared<const std::string>(
        JsonText(CutEventJson(shot, m_shots, shotsEnd, mark, m_marks, marksEnd))));
    shot = shotsEnd;
    mark = marksEnd;
  } while (shot < m_shots.size() || mark < m_marks.size());
}

Json ConsoleService::PushedStatus(const ConsoleSnapshot& snapshot) {
  ListPages pages;
  pages.count[0] = pages.count[1] = 0;
  return Status(snapshot, pages);
}

Json ConsoleService::Status(const ConsoleSnapshot& snapshot, const ListPages& pages) {
  ConsoleView view;
  view.shots = &m_shots;
  view.marks = &m_marks;
  view.window = pages;
  view.program = m_program;
  view.preview = m_preview;
  for (int camera = 0; camera < kConsoleCameras; ++camera)
    view.signal[camera] = m_signals.state(camera);
  for (int slot = 0; slot < kPictureSlots; ++slot)
    view.pictureSizes[slot] = {m_slots[slot]->width(), m_slots[slot]->height()};
  view.rates = &m_rates;
  view.storage = &m_storage;
  view.hasSound = m_meter.load() != nullptr;
  view.levels = m_levels;
  view.connections = m_admission.held();
  for (const auto& weak : m_sockets) {
    auto socket = weak.lock();
    view.pages += socket && socket->open() && socket->thumbnails() ? 1 : 0;
  }
  for (const auto& weak : m_streams) {
    auto stream = weak.lock();
    view.streams += stream && stream->open() ? 1 : 0;
  }
  for (const auto& weak : m_listeners) {
    auto listener = weak.lock();
    view.streams += listener && listener->open() ? 1 : 0;
  }
  view.thumbnails = m_made;
  return StatusJson(snapshot, view);
}

void ConsoleService::Broadcast(const Json& event) {
  auto text = std::make_shared<const std::string>(JsonText(event));
  for (const auto& weak : m_sockets)
    if (auto socket = weak.lock())
      socket->SendEvent(text);
}

void ConsoleService::ScheduleStatus() {
  m_statusTimer.expires_after(m_settings.statusPeriod);
  m_statusTimer.async_wait([this](beast::error_code error) {
    if (error || m_stopped)
      return;
    PushStatus();
    ScheduleStatus();
  });
}

void ConsoleService::ScheduleSignals() {
  m_signalTimer.expires_after(m_settings.signalCheckPeriod);
  m_signalTimer.async_wait([this](beast::error_code error) {
    if (error || m_stopped)
      return;
    CheckSignals();
    ScheduleSignals();
  });
}

void ConsoleService::PushStatus() {
  m_last = m_model.Snapshot();
  m_rates.Update(m_last);
  m_storage.Update(m_last.files);
  if (SoundMeter* meter = m_meter.load())
    m_levels = meter->TakeLevels();
  // A note is told once; how often it was said since is in the status.
  for (const SessionNote& note : m_last.notes)
    if (m_toldNotes.insert(note.text).second)
      Broadcast({{"event", "error"}, {"message", note.text}, {"time", m_last.seconds}});
  FollowCut();
  Json status = PushedStatus(m_last);
  status["event"] = "status";
  auto text = std::make_shared<const std::string>(JsonText(status));
  for (const auto& weak : m_sockets)
    if (auto socket = weak.lock())
      socket->SendStatus(text);
}

void ConsoleService::CheckSignals() {
  std::array<long long, kConsoleCameras> pictures{};
  std::array<bool, kConsoleCameras> present{};
  for (int camera = 0; camera < kConsoleCameras; ++camera) {
    pictures[camera] = m_slots[camera]->pictures();
    present[camera] =
        SlotInSession(m_last, camera) && m_last.state == ConsoleSessionState::kRecording;
  }
  std::array<bool, kConsoleCameras> lost{};
  for (const SinkStatus& sink : m_last.sinks)
    if (sink.camera >= 0 && sink.camera < kConsoleCameras)
      lost[sink.camera] = sink.noSignal;
  const Clock::time_point now = Now();
  const std::vector<SignalWatch::Change> changes = m_signals.Update(now, pictures, present, lost);
  if (!changes.empty()) {
    const double seconds = m_model.Snapshot().seconds;
    for (const SignalWatch::Change& change : changes)
      Broadcast({{"event", change.lost ? "sourceLost" : "sourceBack"},
                 {"camera", change.camera},
                 {"time", seconds}});
  }
  for (int slot = 0; slot < kPictureSlots; ++slot) {
    std::vector<WaitingRequest>& waiting = m_waiting[slot];
    for (auto request = waiting.begin(); request != waiting.end();) {
      if (now < request->deadline) {
        ++request;
        continue;
      }
      request->session->Reply(ErrorResponse(503,
                                            "no picture from " + SlotName(slot) + " in the last " +
                                                std::to_string(m_settings.thumbnailWait.count()) +
                                                " ms",
                                            request->version, request->keepAlive));
      request = waiting.erase(request);
    }
  }
  Prune(&m_sockets);
  Prune(&m_streams);
  Prune(&m_listeners);
  UpdateWanted();
}

void ConsoleService::OnThumbnail(int slot, std::shared_ptr<const std::string> jpeg) {
  if (m_stopped)
    return;
  m_latest[slot] = jpeg;
  m_latestAt[slot] = Now();
  ++m_made[slot];
  for (const auto& weak : m_sockets)
    if (auto socket = weak.lock())
      socket->SendPicture(slot, jpeg);
  for (const auto& weak : m_streams) {
    auto stream = weak.lock();
    if (stream && stream->slot() == slot)
      stream->SendPicture(jpeg);
  }
  AnswerWaiting(slot);
}

void ConsoleService::AnswerWaiting(int slot) {
  if (m_waiting[slot].empty())
    return;
  std::vector<WaitingRequest> waiting;
  waiting.swap(m_waiting[slot]);
  for (const WaitingRequest& request : waiting)
    request.session->Reply(
        MakeResponse(200, "image/jpeg", *m_latest[slot], request.version, request.keepAlive));
  UpdateWanted();
}

void ConsoleService::OnThumbnailProblem(int slot, const std::string& error) {
  OnProblem("no thumbnails of " + SlotName(slot) + ": " + error);
}

void ConsoleService::OnFirstPicture(int slot) {
  if (slot != m_program.camera || !m_program.pending)
    return;
  m_program.pending = false;
  Broadcast({{"event", "program"},
             {"camera", m_program.camera},
             {"time", m_program.since},
             {"pending", false}});
}

void ConsoleService::OnProgram(int camera, double time) {
  m_program.camera = camera;
  m_program.since = time;
  // The slot stops waiting with the camera's first picture after the switch, which may
  // already have come.
  m_program.pending = camera >= 0 && camera < kConsoleCameras && m_slots[camera]->awaitingFirst();
  Broadcast(
      {{"event", "program"}, {"camera", camera}, {"time", time}, {"pending", m_program.pending}});
}

void ConsoleService::OnPreview(int camera) {
  m_preview = camera;
  Broadcast({{"event", "preview"}, {"camera", camera}});
}

void ConsoleService::OnSoundFrame(std::shared_ptr<const std::string> frame) {
  for (const auto& weak : m_listeners)
    if (auto listener = weak.lock())
      listener->SendFrame(frame);
}

void ConsoleService::OnResults(const Json& summary) {
  m_results = {{"event", "results"}, {"summary", summary}};
  Broadcast(m_results);
}

void ConsoleService::OnMark(double time, const std::string& label) {
  Broadcast({{"event", "mark"}, {"time", time}, {"label", label}});
}

void ConsoleService::OnProblem(const std::string& text) {
  m_toldNotes.insert(text);
  Broadcast({{"event", "error"}, {"message", text}, {"time", m_model.Snapshot().seconds}});
}

void ConsoleService::OnEnded() {
  m_last = m_model.Snapshot();
  m_rates.Update(m_last);
  m_storage.Update(m_last.files);
  FollowCut();
  Broadcast({{"event", "ended"}, {"time", m_last.seconds}, {"status", PushedStatus(m_last)}});
}

}  // namespace sorvo::tools
