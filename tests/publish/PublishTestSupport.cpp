#include "PublishTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/TestAppDir.h"
#include "common/ToneOnset.h"

namespace sorvo::test {
namespace {

int FreePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

struct Yuv {
  int y, u, v;
};
// BT.601 studio range, as the program's pictures are encoded.
constexpr Yuv kColours[] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}};

constexpr int kSoundRate = 44100;
constexpr int kSoundBuffer = 1152;

}  // namespace

int FreeTcpPort() {
  return FreePort(SOCK_STREAM);
}
int FreeUdpPort() {
  return FreePort(SOCK_DGRAM);
}

bool WaitForListener(int port, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    if (connected)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool WaitForFileText(const std::string& path,
                     const std::string& text,
                     std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadWholeFile(path).find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

RtmpServer::RtmpServer(const std::string& folder, bool tls)
    : m_folder(folder), m_port(FreeTcpPort()) {
  mkdir((folder + "/recorded").c_str(), 0755);
  std::ofstream conf(folder + "/nginx.conf");
  conf << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n";
  if (tls)
    conf << "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n";
  conf << (getuid() == 0 ? "user root;\n" : "") << "error_log " << folder << "/error.log info;\n"
       << "pid " << folder << "/nginx.pid;\n"
       << "events { worker_connections 64; }\n"
       << "rtmp {\n  server {\n    listen 127.0.0.1:" << m_port << ";\n"
       << "    application live {\n      live on;\n      record all;\n      record_path " << folder
       << "/recorded;\n      record_unique on;\n    }\n  }\n}\n";
  if (!tls)
    return;
  m_tlsPort = FreeTcpPort();
  RunTool("/usr/bin/openssl",
          {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder + "/key.pem", "-out",
           folder + "/cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1"},
          folder, std::chrono::seconds(60));
  conf << "stream {\n  server {\n    listen 127.0.0.1:" << m_tlsPort << " ssl;\n"
       << "    ssl_certificate " << folder << "/cert.pem;\n"
       << "    ssl_certificate_key " << folder << "/key.pem;\n"
       << "    proxy_pass 127.0.0.1:" << m_port << ";\n  }\n}\n";
}

RtmpServer::~RtmpServer() {
  Kill();
}

bool RtmpServer::Start() {
  m_process = std::make_unique<ToolProcess>(
      "/usr/sbin/nginx",
      std::vector<std::string>{"-p", m_folder, "-e", m_folder + "/error.log", "-c",
                               m_folder + "/nginx.conf", "-g", "daemon off; master_process off;"},
      m_folder);
  return m_process->started() && WaitForListener(m_port, std::chrono::seconds(20)) &&
         (m_tlsPort == 0 || WaitForListener(m_tlsPort, std::chrono::seconds(20)));
}

void RtmpServer::Kill() {
  if (!m_process)
    return;
  m_process->Signal(SIGCONT);
  m_process->Signal(SIGKILL);
  m_process->Wait(std::chrono::seconds(20));
  m_process.reset();
}

void RtmpServer::Pause() {
  if (m_process)
    m_process->Signal(SIGSTOP);
}

void RtmpServer::Resume() {
  if (m_process)
    m_process->Signal(SIGCONT);
}

std::string RtmpServer::Url(const std::string& key) const {
  return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/" + key;
}

std::string RtmpServer::TlsUrl(const std::string& key) const {
  return "rtmps://127.0.0.1:" + std::to_string(m_tlsPort) + "/live/" + key;
}

std::string RtmpServer::log() const {
  return ReadWholeFile(m_folder + "/error.log");
}

bool RtmpServer::WaitForPlayer(const std::string& key, std::chrono::seconds timeout) const {
  return WaitForFileText(m_folder + "/error.log", "play: name='" + key + "'", timeout);
}

std::vector<std::string> RtmpServer::Recordings() const {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(m_folder + "/recorded"))
    files.push_back(entry.path().string());
  // Each is named after the second its connection came.
  std::sort(files.begin(), files.end());
  return files;
}

std::function<bool()> HasRoom(const tools::Publisher& publisher) {
  return [&publisher] {
    const tools::PublishStatus status = publisher.Status();
    return status.picturesIn - status.picturesSkipped - status.picturesEncoded -
               status.picturesLeftOut <
           publisher.pictureSlots();
  };
}

std::unique_ptr<ToolProcess> StartPlayer(const std::string& url,
                                         const std::string& file,
                                         const std::string& folder,
                                         int idle) {
  return std::make_unique<ToolProcess>(
      kFfmpeg,
      std::vector<std::string>{"-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                               "-rw_timeout", std::to_string(idle * 1000000), "-i", url, "-c",
                               "copy", "-flush_packets", "1", file},
      folder);
}

tools::PublishSettings SmallProgram() {
  tools::PublishSettings settings;
  settings.width = 320;
  settings.height = 180;
  settings.fps = 25;
  settings.videoBitrate = 400000;
  settings.soundRate = kSoundRate;
  settings.soundChannels = 2;
  settings.encoderThreads = 1;
  settings.encoderNice = 0;
  return settings;
}

ProgramColour ColourOf(const Picture& picture) {
  // The top left quarter: the moving square stays in the bottom right one.
  const int width = picture.width / 2;
  const int height = picture.height / 2;
  long long y = 0, u = 0, v = 0;
  for (int row = 0; row < height; ++row)
    for (int column = 0; column < width; ++column)
      y += picture.y[row * picture.width + column];
  const int chromaWidth = (picture.width + 1) / 2;
  for (int row = 0; row < height / 2; ++row)
    for (int column = 0; column < width / 2; ++column) {
      u += picture.u[row * chromaWidth + column];
      v += picture.v[row * chromaWidth + column];
    }
  const double n = static_cast<double>(width) * height;
  const double m = static_cast<double>(width / 2) * (height / 2);
  const double my = y / n, mu = u / m, mv = v / m;
  for (int colour = 0; colour < 3; ++colour) {
    const double distance = std::fabs(my - kColours[colour].y) +
                            std::fabs(mu - kColours[colour].u) + std::fabs(mv - kColours[colour].v);
    if (distance < 30)
      return static_cast<ProgramColour>(colour);
  }
  return ProgramColour::kOther;
}

const char* ColourName(ProgramColour colour) {
  switch (colour) {
    case ProgramColour::kRed:
      return "red";
    case ProgramColour::kGreen:
      return "green";
    case ProgramColour::kBlue:
      return "blue";
    case ProgramColour::kOther:
      break;
  }
  return "other";
}

LiveProgram::LiveProgram(tools::ProgramInput& input,
                         const tools::PublishSettings& settings,
                         double switchEvery,
                         double toneOnset,
                         std::function<bool()> canTake)
    : m_input(input),
      m_settings(settings),
      m_switchEvery(switchEvery),
      m_toneOnset(toneOnset),
      m_canTake(std::move(canTake)) {}

LiveProgram::~LiveProgram() {
  Stop();
}

void LiveProgram::Start() {
  m_thread = std::thread(&LiveProgram::Run, this);
}

void LiveProgram::Stop() {
  m_stop.store(true);
  if (m_thread.joinable())
    m_thread.join();
}

bool LiveProgram::WaitForPictures(long long count, std::chrono::seconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (m_pictures.load() < count) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<uint8_t> LiveProgram::Draw(int width, int height, int camera, long long index) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  const size_t lumaSize = static_cast<size_t>(width) * height;
  const size_t chromaSize = static_cast<size_t>(chromaWidth) * chromaHeight;
  std::vector<uint8_t> picture(lumaSize + 2 * chromaSize);
  const Yuv colour = kColours[camera % 3];
  std::fill(picture.begin(), picture.begin() + static_cast<long>(lumaSize), colour.y);
  std::fill(picture.begin() + static_cast<long>(lumaSize),
            picture.begin() + static_cast<long>(lumaSize + chromaSize), colour.u);
  std::fill(picture.begin() + static_cast<long>(lumaSize + chromaSize), picture.end(), colour.v);
  // A white square moving along the bottom right quarter, so that pictures differ.
  const int box = height / 8;
  const int span = width / 2 - box;
  const int x = width / 2 + static_cast<int>(index * 3 % span);
  const int y = height * 3 / 4;
  for (int row = y; row < y + box && row < height; ++row)
    for (int column = x; column < x + box && column < width; ++column)
      picture[static_cast<size_t>(row) * width + column] = 235;
  return picture;
}

void LiveProgram::Run() {
  const auto start = std::chrono::steady_clock::now();
  const int64_t onset = std::llround(m_toneOnset * kSoundRate);
  long long picture = 0;
  long long buffer = 0;
  while (!m_stop.load()) {
    const double pictureDue = static_cast<double>(picture) / m_settings.fps;
    const double soundDue = static_cast<double>(buffer) * kSoundBuffer / kSoundRate;
    const bool isPicture = pictureDue <= soundDue;
    if (isPicture && picture == m_limit)
      return;
    const double due = isPicture ? pictureDue : soundDue;
    std::this_thread::sleep_until(start +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(due)));
    if (isPicture) {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (m_canTake && !m_canTake() && !m_stop.load() &&
             std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const int camera = static_cast<int>(std::floor(due / m_switchEvery)) % 3;
      const std::vector<uint8_t> data = Draw(m_settings.width, m_settings.height, camera, picture);
      m_input.OnPicture(due, data.data(), data.size(), m_settings.width, m_settings.height);
      ++picture;
      m_pictures.store(picture);
    } else {
      const std::vector<uint8_t> pcm =
          ToneFrom(buffer * kSoundBuffer, kSoundBuffer, onset, kSoundRate);
      m_input.OnSound(due, reinterpret_cast<const int16_t*>(pcm.data()), kSoundBuffer);
      ++buffer;
    }
  }
}

std::vector<ColourRun> ColourRuns(const ProbedStream& video) {
  std::vector<ColourRun> runs;
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    const ProgramColour colour = ColourOf(video.pictures[i]);
    if (runs.empty() || runs.back().colour != colour)
      runs.push_back({colour, video.pictureSeconds[i], 0});
    ++runs.back().pictures;
  }
  return runs;
}

std::string DescribeRuns(const std::vector<ColourRun>& runs) {
  std::string text;
  for (const ColourRun& run : runs)
    text += std::string(ColourName(run.colour)) + " x" + std::to_string(run.pictures) + " from " +
            std::to_string(run.startSeconds) + "; ";
  return text;
}

const ProbedStream* FirstStream(const ProbedFile& file, int mediaType) {
  for (const ProbedStream& stream : file.streams)
    if (stream.mediaType == mediaType)
      return &stream;
  return nullptr;
}

sorvo::tools::PublishTarget TargetOf(const std::string& url) {
  sorvo::tools::PublishTarget target;
  std::string why;
  EXPECT_TRUE(sorvo::tools::ParsePublishTarget(url, &target, &why)) << url << ": " << why;
  return target;
}

}  // namespace sorvo::test
