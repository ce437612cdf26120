#include "tools/record/console/Console.h"

namespace sorvo::tools {
namespace {

std::array<ThumbnailSlot*, kPictureSlots> Pointers(
    const std::array<std::unique_ptr<ThumbnailSlot>, kPictureSlots>& slots) {
  std::array<ThumbnailSlot*, kPictureSlots> pointers{};
  for (int slot = 0; slot < kPictureSlots; ++slot)
    pointers[slot] = slots[slot].get();
  return pointers;
}

}  // namespace

Console::Console(ConsoleSettings settings) : m_settings(std::move(settings)) {
  for (auto& slot : m_slots)
    slot = std::make_unique<ThumbnailSlot>(m_settings.thumbnailPeriod);
  m_server = std::make_unique<ConsoleServer>(m_settings, Pointers(m_slots), m_meter, m_soundWanted);
  m_worker = std::make_unique<ThumbnailWorker>(
      Pointers(m_slots), m_settings.cameraBox, m_settings.programBox,
      [this](int slot, std::shared_ptr<const std::string> jpeg) {
        m_server->Post([slot, jpeg = std::move(jpeg)](ConsoleService& service) {
          service.OnThumbnail(slot, jpeg);
        });
      },
      [this](int slot, const std::string& error) {
        m_server->Post(
            [slot, error](ConsoleService& service) { service.OnThumbnailProblem(slot, error); });
      });
}

Console::~Console() {
  // The worker posts to the server: it goes first.
  m_worker.reset();
  m_server.reset();
}

bool Console::Start(const ConsoleAddress& address,
                    const std::string& token,
                    ConsoleModel* model,
                    std::string* error) {
  m_address = address;
  m_token = token;
  return m_server->Listen(address, token, model, error);
}

std::string Console::Url() const {
  ConsoleAddress shown = m_address;
  shown.port = m_server->port();
  if (everywhere())
    shown.address = shown.address.is_v6()
                        ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                        : boost::asio::ip::address(boost::asio::ip::address_v4::loopback());
  return "http://" + shown.HostText() + "/?token=" + m_token;
}

ThumbnailSlot::Clock::time_point Console::Now() const {
  return m_settings.clock ? m_settings.clock() : ThumbnailSlot::Clock::now();
}

PictureInput Console::CameraInput(int camera, PictureInput sink) {
  if (camera < 0 || camera >= kConsoleCameras)
    return sink;
  m_taps.push_back(std::make_unique<PictureTap>(
      m_slots[camera].get(), sink.receiver, sink.lender, [this] { return Now(); },
      [this] { m_worker->Wake(); },
      [this, camera] {
        m_server->Post([camera](ConsoleService& service) { service.OnFirstPicture(camera); });
      }));
  PictureTap* tap = m_taps.back().get();
  return {tap, sink.lender != nullptr ? tap : nullptr};
}

IGrabberCallBack* Console::ProgramInput(IGrabberCallBack* next) {
  m_taps.push_back(std::make_unique<PictureTap>(
      m_slots[kProgramSlot].get(), next, nullptr, [this] { return Now(); },
      [this] { m_worker->Wake(); }, [] {}));
  return m_taps.back().get();
}

IGrabberCallBack* Console::SoundInput(IGrabberCallBack* sink, int channels) {
  if (m_soundMeter)
    return m_soundMeter.get();
  m_soundMeter = std::make_unique<SoundMeter>(sink, channels);
  m_meter.store(m_soundMeter.get());
  return m_soundMeter.get();
}

ISorvoData* Console::SoundPackets(ISorvoData* next) {
  if (!m_soundFrames)
    m_soundFrames = std::make_unique<SoundFrameTap>(
        next, m_soundWanted, [this](std::shared_ptr<const std::string> frame) {
          m_server->Post(
              [frame = std::move(frame)](ConsoleService& service) { service.OnSoundFrame(frame); });
        });
  return m_soundFrames.get();
}

void Console::PreviewChanged(int camera) {
  m_server->Post([camera](ConsoleService& service) { service.OnPreview(camera); });
}

void Console::FilesReadBack(const Json& summary) {
  m_server->Post([summary](ConsoleService& service) { service.OnResults(summary); });
}

void Console::ProgramChanged(int camera, double time) {
  if (camera >= 0 && camera < kConsoleCameras)
    m_slots[camera]->ArmFirstPicture();
  m_server->Post([camera, time](ConsoleService& service) { service.OnProgram(camera, time); });
}

void Console::Marked(double time, const std::string& label) {
  m_server->Post([time, label](ConsoleService& service) { service.OnMark(time, label); });
}

void Console::Problem(const std::string& text) {
  m_server->Post([text](ConsoleService& service) { service.OnProblem(text); });
}

void Console::SessionEnded() {
  m_server->Post([](ConsoleService& service) { service.OnEnded(); });
}

}  // namespace sorvo::tools
