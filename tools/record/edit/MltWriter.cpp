#include "tools/record/edit/MltWriter.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>

#include "tools/record/edit/TextFile.h"

namespace sorvo::tools {
namespace {

namespace fs = std::filesystem;

// Text as an XML attribute value or character data.
std::string Escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // Line breaks in an attribute would be read back as spaces.
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Property(const std::string& name, const std::string& value) {
  return "    <property name=\"" + name + "\">" + Escaped(value) + "</property>\n";
}

// A playlist of clips and blanks, built in order of time on the project's timeline.
class Playlist {
 public:
  Playlist(std::string id, std::string name, bool video)
      : m_text("  <playlist id=\"" + id + "\">\n" + Property("shotcut:name", name) +
               Property(video ? "shotcut:video" : "shotcut:audio", "1")) {}

  // Pictures `in` to `out` (exclusive) of `producer` from timeline position `at` on; a
  // blank fills the time since the last clip.
  void Add(const std::string& producer, int64_t at, int64_t in, int64_t out) {
    if (out <= in)
      return;
    if (at > m_end)
      m_text += "    <blank length=\"" + std::to_string(at - m_end) + "\"/>\n";
    m_text += "    <entry producer=\"" + producer + "\" in=\"" + std::to_string(in) + "\" out=\"" +
              std::to_string(out - 1) + "\"/>\n";
    m_end = std::max(m_end, at) + (out - in);
  }

  std::string Text() const { return m_text + "  </playlist>\n"; }

 private:
  std::string m_text;
  int64_t m_end = 0;
};

std::string ProducerId(int camera) {
  return "camera" + std::to_string(camera);
}

// How the project names `path`: relative to its own folder when the file is there.
std::string Resource(const std::string& path, const fs::path& folder) {
  const fs::path file(path);
  return file.parent_path() == folder ? file.filename().string() : fs::absolute(file).string();
}

std::string Producer(const std::string& id,
                     const std::string& name,
                     const std::string& path,
                     const fs::path& folder) {
  return "  <producer id=\"" + id + "\">\n" + Property("resource", Resource(path, folder)) +
         Property("mlt_service", "avformat") + Property("shotcut:caption", name) +
         "  </producer>\n";
}

// Lays a file whose first picture is at timeline position `start` on `track`, up to
// `length`: a file that began before the program is entered from the program's start.
void LayFile(Playlist* track, const std::string& producer, int64_t start, int64_t length) {
  const int64_t skipped = std::max<int64_t>(0, -start);
  const int64_t at = std::max<int64_t>(0, start);
  track->Add(producer, at, skipped, skipped + length - at);
}

void Emit(const EditPlan& plan,
          const MltProject& project,
          const fs::path& folder,
          const TextSink& out) {
  const int rate = plan.timecode.rate();
  const int64_t length = plan.recordEnd - plan.recordStart;
  const int aspect = std::max(1, std::gcd(project.width, project.height));
  out("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
  out("<mlt LC_NUMERIC=\"C\" producer=\"tractor0\" title=\"" + Escaped(project.title) + "\">\n");
  out("  <profile description=\"" + std::to_string(project.width) + "x" +
      std::to_string(project.height) + " " + std::to_string(rate) + " fps\" width=\"" +
      std::to_string(project.width) + "\" height=\"" + std::to_string(project.height) +
      "\" progressive=\"1\" sample_aspect_num=\"1\" sample_aspect_den=\"1\" display_aspect_num=\"" +
      std::to_string(project.width / aspect) + "\" display_aspect_den=\"" +
      std::to_string(project.height / aspect) + "\" frame_rate_num=\"" + std::to_string(rate) +
      "\" frame_rate_den=\"1\" colorspace=\"601\"/>\n");

  // The background: black pictures and silence for the whole program.
  out("  <producer id=\"black\">\n" + Property("length", std::to_string(length)) +
      Property("mlt_service", "color") + Property("resource", "0") +
      Property("set.test_audio", "0") + "  </producer>\n");
  Playlist background("background", "background", true);
  background.Add("black", 0, 0, length);
  out(background.Text());

  std::vector<std::string> tracks = {"background"};
  for (const EditFile& source : plan.sources) {
    if (!source.started)
      continue;
    const std::string id = ProducerId(source.camera);
    out(Producer(id, source.name, source.path, folder));
    Playlist track("track_" + id, source.name, true);
    LayFile(&track, id, plan.SourceStart(source) - plan.recordStart, length);
    out(track.Text());
    tracks.push_back("track_" + id);
  }

  Playlist program("program", plan.program.name.empty() ? "program" : plan.program.name, true);
  for (const EditEvent& event : plan.events) {
    const EditFile* source = plan.Source(event.camera);
    if (source == nullptr)
      continue;
    const int64_t start = plan.SourceStart(*source);
    program.Add(ProducerId(event.camera), event.recordIn - plan.recordStart, event.sourceIn - start,
                event.sourceOut - start);
  }
  out(program.Text());
  tracks.push_back("program");

  if (project.sound.started) {
    out(Producer("sound", project.sound.name, project.sound.path, folder));
    // Where the sound's first sample falls against the program's first picture, to the
    // nearest picture: the timeline places clips on whole pictures.
    const int64_t start =
        std::llround((project.sound.origin - plan.program.origin) * static_cast<double>(rate));
    Playlist sound("track_sound", project.sound.name, false);
    LayFile(&sound, "sound", start, length);
    out(sound.Text());
  }

  out("  <tractor id=\"tractor0\" title=\"" + Escaped(project.title) + "\">\n" +
      Property("shotcut", "1"));
  for (const std::string& track : tracks)
    out("    <track producer=\"" + track + "\"" + (track == "background" ? "" : " hide=\"audio\"") +
        "/>\n");
  if (project.sound.started) {
    out("    <track producer=\"track_sound\" hide=\"video\"/>\n");
    out("    <transition id=\"mix_sound\">\n" + Property("mlt_service", "mix") +
        Property("a_track", "0") + Property("b_track", std::to_string(tracks.size())) +
        Property("always_active", "1") + Property("sum", "1") + "    </transition>\n");
  }
  out("  </tractor>\n</mlt>\n");
}

}  // namespace

bool WriteMlt(const EditPlan& plan,
              const MltProject& project,
              const std::string& path,
              std::string* error) {
  const fs::path folder = fs::path(path).parent_path();
  return WriteTextFile(
      path, [&](const TextSink& out) { Emit(plan, project, folder, out); }, error);
}

}  // namespace sorvo::tools
