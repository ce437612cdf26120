#include "tools/record/edit/CutJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sorvo::tools {
namespace {

constexpr char kMagic[] = "sorvo-cut\t1";

std::string Seconds(double time) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.6f", time);
  return text;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream parts(line);
  for (std::string field; std::getline(parts, field, '\t');)
    fields.push_back(field);
  return fields;
}

bool Number(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && std::isfinite(*value);
}

bool Integer(const std::string& text, int* value) {
  double number = 0;
  // A damaged line may hold any number: one beyond an int is refused before it is cast.
  if (!Number(text, &number) || std::abs(number) > 1e9 || number != std::trunc(number))
    return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace

CutJournal::~CutJournal() {
  Close();
}

bool CutJournal::Open(const std::string& path,
                      const std::string& title,
                      const Timecode& timecode,
                      const EditFile& program,
                      const std::vector<EditFile>& cameras,
                      const EditFile& sound,
                      std::vector<std::pair<int, OriginProbe>> probes,
                      std::string* error) {
  m_path = path;
  m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (m_fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string head = std::string(kMagic) + "\n";
  head += "title\t" + PrintableText(title) + "\n";
  head +=
      "timecode\t" + Seconds(timecode.startOfDay()) + "\t" + std::to_string(timecode.rate()) + "\n";
  head += "program\t" + PrintableText(FileName(program.path)) + "\n";
  for (const EditFile& camera : cameras)
    head += "camera\t" + std::to_string(camera.camera) + "\t" +
            PrintableText(FileName(camera.path)) + "\t" + PrintableText(camera.name) + "\n";
  if (!sound.path.empty())
    head += "sound\t" + PrintableText(FileName(sound.path)) + "\t" +
            std::to_string(sound.channels) + "\n";
  m_queued = head;
  m_probes = std::move(probes);
  m_stop = false;
  m_thread = std::thread(&CutJournal::Run, this);
  return true;
}

void CutJournal::Switch(double time, int camera) {
  Queue("switch\t" + Seconds(time) + "\t" + std::to_string(camera) + "\n");
}

void CutJournal::Mark(double time, const std::string& label) {
  Queue("mark\t" + Seconds(time) + "\t" + PrintableText(label) + "\n");
}

void CutJournal::Queue(std::string line) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0 || m_stop)
      return;
    m_queued += line;
  }
  m_wake.notify_one();
}

void CutJournal::Run() {
  std::unique_lock<std::mutex> hold(m_lock);
  for (;;) {
    // The files' origins come with their first packets; they are asked a few times a
    // second until each has said.
    m_wake.wait_for(hold, std::chrono::milliseconds(200),
                    [this] { return m_stop || !m_queued.empty(); });
    for (auto probe = m_probes.begin(); probe != m_probes.end();) {
      double origin = 0;
      if (probe->second(&origin)) {
        m_queued += "origin\t" + std::to_string(probe->first) + "\t" + Seconds(origin) + "\n";
        probe = m_probes.erase(probe);
      } else {
        ++probe;
      }
    }
    const bool stop = m_stop;
    std::string text;
    text.swap(m_queued);
    // The disk may take its time: the callers only ever wait for the queue.
    hold.unlock();
    size_t done = 0;
    while (done < text.size() && m_error.empty()) {
      const ssize_t wrote = ::write(m_fd, text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR)
        continue;
      if (wrote < 0)
        m_error = "cannot write " + m_path + ": " + std::strerror(errno);
      else
        done += static_cast<size_t>(wrote);
    }
    if (!text.empty() && m_error.empty() && ::fdatasync(m_fd) != 0)
      m_error = "cannot sync " + m_path + ": " + std::strerror(errno);
    hold.lock();
    if (stop && m_queued.empty())
      return;
  }
}

void CutJournal::Close() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0)
      return;
    m_stop = true;
  }
  m_wake.notify_one();
  // Its last pass asks the files that have not said yet once more.
  if (m_thread.joinable())
    m_thread.join();
  std::lock_guard<std::mutex> hold(m_lock);
  m_probes.clear();
  ::close(m_fd);
  m_fd = -1;
}

bool ReadCutJournal(const std::string& path, JournalContents* contents, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A last line without its end was being written when the recorder stopped.
  const size_t end = text.find_last_of('\n');
  text.resize(end == std::string::npos ? 0 : end + 1);
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) {
    *error = path + " is not a cut journal (its first line is not \"" +
             std::string(kMagic).replace(9, 1, " ") + "\")";
    return false;
  }
  const std::string folder = Folder(path);
  contents->program.camera = -1;
  contents->program.name = "director";
  bool timecode = false;
  while (std::getline(lines, line)) {
    const std::vector<std::string> f = Fields(line);
    double time = 0;
    double day = 0;
    int number = 0;
    if (f.size() == 2 && f[0] == "title") {
      contents->title = f[1];
    } else if (f.size() == 3 && f[0] == "timecode" && Number(f[1], &day) &&
               Integer(f[2], &number) && number > 0 && number <= 1000) {
      contents->timecode = Timecode(day, number);
      timecode = true;
    } else if (f.size() == 2 && f[0] == "program" && !f[1].empty()) {
      contents->program.path = folder + "/" + f[1];
    } else if (f.size() == 4 && f[0] == "camera" && Integer(f[1], &number) && number >= 0 &&
               !f[2].empty()) {
      contents->cameras.push_back({number, f[3], folder + "/" + f[2], false, 0, 0});
    } else if (f.size() == 3 && f[0] == "sound" && !f[1].empty() && Integer(f[2], &number) &&
               number > 0) {
      contents->sound.name = "sound";
      contents->sound.path = folder + "/" + f[1];
      contents->sound.channels = number;
    } else if (f.size() == 3 && f[0] == "origin" && Integer(f[1], &number) && Number(f[2], &time)) {
      EditFile* file = nullptr;
      if (number == CutJournal::kProgram)
        file = &contents->program;
      else if (number == CutJournal::kSound && !contents->sound.path.empty())
        file = &contents->sound;
      for (EditFile& camera : contents->cameras)
        if (camera.camera == number)
          file = &camera;
      if (file != nullptr) {
        file->started = true;
        file->origin = time;
      } else {
        ++contents->damagedLines;
      }
    } else if (f.size() == 3 && f[0] == "switch" && Number(f[1], &time) && Integer(f[2], &number)) {
      contents->cut.AddSwitch(time, number);
    } else if ((f.size() == 2 || f.size() == 3) && f[0] == "mark" && Number(f[1], &time)) {
      contents->cut.AddMark(time, f.size() == 3 ? f[2] : "");
    } else {
      ++contents->damagedLines;
    }
  }
  if (!timecode || contents->program.path.empty()) {
    *error = path + " has no timecode or program line: the cut cannot be laid against the files";
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
