#include "tools/record/SessionOutputs.h"

#include "tools/record/OutputFolder.h"
#include "tools/record/edit/EdlWriter.h"
#include "tools/record/edit/MltWriter.h"
#include "tools/record/edit/OtioWriter.h"
#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {
namespace {

// `path` with its extension replaced by `extension`.
std::string WithExtension(const std::string& path, const char* extension) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has ? path.substr(0, dot) : path) + extension;
}

}  // namespace

bool SessionOutputs::StartPublishing(IGrabberCallBack* soundSink, std::string* error) {
  if (m_options.publish.empty())
    return true;
  std::vector<PublishTarget> targets;
  for (const std::string& url : m_options.publish) {
    PublishTarget target;
    std::string why;
    ParsePublishTarget(url, &target, &why);  // checked with the options
    targets.push_back(target);
  }
  PublishSettings settings;
  settings.width = m_options.directorWidth;
  settings.height = m_options.directorHeight;
  settings.fps = m_options.fps;
  settings.videoBitrate = m_options.publishBitrate;
  settings.soundRate = kSoundRate;
  settings.soundChannels = soundSink != nullptr ? kSoundChannels : 0;
  m_publisher = std::make_unique<Publisher>(std::move(targets), settings);
  std::string why;
  if (!m_publisher->Start(&why)) {
    *error = "--publish: " + why;
    return false;
  }
  m_pictures = GrabberFeed::Pictures(*m_publisher, nullptr);
  // The sound reaches the publisher after the audio sink has taken it.
  if (soundSink != nullptr)
    m_sound = GrabberFeed::Sound(*m_publisher, kSoundChannels, soundSink);
  return true;
}

PublishStatus SessionOutputs::Publishing() const {
  return m_publisher ? m_publisher->Status() : PublishStatus();
}

std::vector<std::string> SessionOutputs::TakePublishMessages() {
  return m_publisher ? m_publisher->TakeMessages() : std::vector<std::string>();
}

void SessionOutputs::StopPublishing() {
  if (m_publisher)
    m_publisher->Stop();
}

void SessionOutputs::WriteEditLists(const CutList& cut,
                                    const EditFile& program,
                                    const std::vector<EditFile>& sources,
                                    const EditFile& sound,
                                    const std::string& outDir,
                                    std::vector<OutputFile>* files,
                                    std::vector<std::string>* notes) const {
  const EditPlan plan = PlanEdit(cut.Shots(), cut.Marks(), m_metadata.timecode(), program, sources);
  const std::string title = FolderName(outDir) + " " + FolderName(WithExtension(program.path, ""));
  const std::string edl = WithExtension(program.path, ".edl");
  const std::string otio = WithExtension(program.path, ".otio");
  std::string error;
  if (WriteEdl(plan, title, edl, &error))
    files->push_back({OutputFile::Kind::kEditList, edl, program.name});
  else
    notes->push_back("the edit decision list could not be written: " + error);
  if (WriteOtio(plan, title, otio, &error))
    files->push_back({OutputFile::Kind::kEditList, otio, program.name});
  else
    notes->push_back("the OpenTimelineIO document could not be written: " + error);
  const std::string mlt = WithExtension(program.path, ".mlt");
  const MltProject project{title, m_options.directorWidth, m_options.directorHeight, sound};
  if (WriteMlt(plan, project, mlt, &error))
    files->push_back({OutputFile::Kind::kEditList, mlt, program.name});
  else
    notes->push_back("the MLT project could not be written: " + error);
}

}  // namespace sorvo::tools
