#include "ConsoleTestSupport.h"

#include <algorithm>
#include <cctype>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace sorvo::test {

using namespace sorvo::tools;

FakeModel::FakeModel(const std::vector<std::string>& titles) {
  m_snapshot.seconds = 12.5;
  m_snapshot.outDir = "/recordings/session";
  const int cameras = titles.empty() ? 3 : static_cast<int>(titles.size());
  m_snapshot.directorCameras = std::min(cameras, 5);
  for (int camera = 0; camera < cameras; ++camera) {
    SinkStatus sink;
    sink.name = "camera" + std::to_string(camera);
    sink.title = titles.empty() ? "" : titles[camera];
    sink.camera = camera;
    sink.source = "test pattern " + std::to_string(camera);
    sink.port = 8051 + camera;
    sink.buffersIn = 300 + camera;
    sink.packets = 299 + camera;
    sink.bytes = 1000000 * (camera + 1);
    sink.late = camera;  // pictures lost on the way
    sink.clients = camera;
    m_snapshot.sinks.push_back(sink);
  }
  SinkStatus director;
  director.name = "director";
  director.source = "fitted to 1280x720";
  director.port = 8050;
  director.buffersIn = 310;
  director.packets = 310;
  director.bytes = 4000000;
  m_snapshot.sinks.push_back(director);
  SinkStatus sound;
  sound.name = "sound";
  sound.source = "tone";
  sound.port = 8060;
  sound.video = false;
  sound.buffersIn = 478;
  sound.packets = 478;
  sound.bytes = 200000;
  m_snapshot.sinks.push_back(sound);
  m_snapshot.notes.emplace_back("port 8050 is in use");
}

ConsoleSnapshot FakeModel::Snapshot() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_snapshot;
}

std::string FakeModel::CameraProblemLocked(int camera) const {
  const bool present =
      std::any_of(m_snapshot.sinks.begin(), m_snapshot.sinks.end(),
                  [camera](const SinkStatus& sink) { return sink.camera == camera; });
  if (!present)
    return "there is no camera " + std::to_string(camera);
  if (camera >= m_snapshot.directorCameras)
    return "camera " + std::to_string(camera) + " is not shown in the director's cut";
  if (m_snapshot.state != ConsoleSessionState::kRecording)
    return "the session has ended";
  return "";
}

std::string FakeModel::SelectProgram(int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string why = CameraProblemLocked(camera);
  return why.empty() ? ProgramLocked(camera) : why;
}

std::string FakeModel::SelectPreview(int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string why = CameraProblemLocked(camera);
  if (!why.empty())
    return why;
  m_preview = camera;
  if (m_console)
    m_console->PreviewChanged(camera);
  return "";
}

std::string FakeModel::Take() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_preview < 0)
    return "no camera is on preview";
  const int program = m_selected.empty() ? 0 : m_selected.back();
  ProgramLocked(m_preview);
  m_preview = program;
  if (m_console)
    m_console->PreviewChanged(program);
  return "";
}

std::string FakeModel::ProgramLocked(int camera) {
  m_selected.push_back(camera);
  m_cut.AddSwitch(m_snapshot.seconds, camera);
  if (m_console)
    m_console->ProgramChanged(camera, m_snapshot.seconds);
  return "";
}

std::string FakeModel::AddMark(const std::string& label, double* time) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_snapshot.state != ConsoleSessionState::kRecording)
    return "the session has ended";
  m_marks.push_back(label);
  m_cut.AddMark(m_snapshot.seconds, label);
  *time = m_snapshot.seconds;
  if (m_console)
    m_console->Marked(m_snapshot.seconds, label);
  return "";
}

bool FakeModel::RequestStop() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_snapshot.state != ConsoleSessionState::kRecording)
    return false;
  ++m_stops;
  m_snapshot.state = ConsoleSessionState::kStopping;
  return true;
}

void FakeModel::SetSnapshot(const ConsoleSnapshot& snapshot) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_snapshot = snapshot;
}

void FakeModel::SetSeconds(double seconds) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_snapshot.seconds = seconds;
}

void FakeModel::SetState(ConsoleSessionState state) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_snapshot.state = state;
}

std::vector<int> FakeModel::selected() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_selected;
}

std::vector<std::string> FakeModel::marks() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_marks;
}

int FakeModel::stops() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_stops;
}

int FakeModel::controls() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return static_cast<int>(m_selected.size() + m_marks.size()) + m_stops;
}

ConsoleUrl FindConsoleUrl(const std::string& output) {
  constexpr std::string_view kStart = "http://127.0.0.1:";
  constexpr std::string_view kToken = "/?token=";
  ConsoleUrl found;
  const size_t start = output.find(kStart);
  if (start == std::string::npos)
    return found;
  size_t at = start + kStart.size();
  const size_t digits = at;
  while (at < output.size() && std::isdigit(static_cast<unsigned char>(output[at])))
    ++at;
  if (at == digits || at - digits > 5 || output.compare(at, kToken.size(), kToken) != 0)
    return found;
  const int port = std::stoi(output.substr(digits, at - digits));
  at += kToken.size();
  const size_t token = at;
  while (at < output.size() && std::isxdigit(static_cast<unsigned char>(output[at])))
    ++at;
  if (at == token || port <= 0 || port > 65535)
    return found;
  found.url = output.substr(start, at - start);
  found.port = static_cast<unsigned short>(port);
  found.token = output.substr(token, at - token);
  return found;
}

Picture DecodeJpeg(const std::string& jpeg) {
  Picture picture;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (avcodec_open2(context, codec, nullptr) == 0 &&
      av_new_packet(packet, static_cast<int>(jpeg.size())) == 0) {
    std::copy(jpeg.begin(), jpeg.end(), packet->data);
    if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0 &&
        (frame->format == AV_PIX_FMT_YUVJ420P || frame->format == AV_PIX_FMT_YUV420P))
      picture = PictureFromFrame(frame);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return picture;
}

Rgb MeanColour(const Picture& picture) {
  if (picture.y.empty())
    return {};
  double y = 0, u = 0, v = 0;
  for (uint8_t value : picture.y)
    y += value;
  for (uint8_t value : picture.u)
    u += value;
  for (uint8_t value : picture.v)
    v += value;
  y /= picture.y.size();
  u = u / picture.u.size() - 128;
  v = v / picture.v.size() - 128;
  // Full-range BT.601, as JPEG files hold it.
  auto clamp = [](double x) { return std::clamp(x, 0.0, 255.0); };
  return {clamp(y + 1.402 * v), clamp(y - 0.344136 * u - 0.714136 * v), clamp(y + 1.772 * u)};
}

bool Near(const Rgb& a, const Rgb& b, double tolerance) {
  return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
         std::abs(a.blue - b.blue) <= tolerance;
}

std::vector<uint8_t> SolidYuvPicture(int width,
                                     int height,
                                     uint8_t red,
                                     uint8_t green,
                                     uint8_t blue) {
  const double y = 16 + (65.481 * red + 128.553 * green + 24.966 * blue) / 255;
  const double u = 128 + (-37.797 * red - 74.203 * green + 112.0 * blue) / 255;
  const double v = 128 + (112.0 * red - 93.786 * green - 18.214 * blue) / 255;
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  std::vector<uint8_t> picture(luma + 2 * chroma);
  std::fill(picture.begin(), picture.begin() + luma, static_cast<uint8_t>(y + 0.5));
  std::fill(picture.begin() + luma, picture.begin() + luma + chroma, static_cast<uint8_t>(u + 0.5));
  std::fill(picture.begin() + luma + chroma, picture.end(), static_cast<uint8_t>(v + 0.5));
  return picture;
}

}  // namespace sorvo::test
