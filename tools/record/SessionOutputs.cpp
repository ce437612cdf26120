#include "tools/record/SessionOutputs.h"

#include "tools/record/OutputFolder.h"
#include "tools/record/edit/EditLists.h"
#include "tools/record/edit/MltWriter.h"
#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {
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

std::string SessionOutputs::EditTitle(const std::string& outDir, const std::string& program) {
  return FolderName(outDir) + " " + FolderName(WithExtension(program, ""));
}

bool SessionOutputs::WriteEditLists(const CutList& cut,
                                    const EditFile& program,
                                    const std::vector<EditFile>& sources,
                                    const EditFile& sound,
                                    const std::string& outDir,
                                    std::vector<OutputFile>* files,
                                    std::vector<std::string>* notes) const {
  const EditPlan plan =
      PlanEdit(cut.Shots(), cut.Marks(), m_metadata.timecode(), program, sources, sound);
  const std::string title = EditTitle(outDir, program.path);
  std::vector<std::string> written;
  const size_t before = notes->size();
  sorvo::tools::WriteEditLists(plan, title, &written, notes);
  // The MLT project needs the session's picture size and sound, which only the recorder
  // knows: sorvo-recover rebuilds the lists above, not this one.
  const std::string mlt = WithExtension(program.path, ".mlt");
  const MltProject project{title, m_options.directorWidth, m_options.directorHeight, sound};
  std::string error;
  if (WriteMlt(plan, project, mlt, &error))
    written.push_back(mlt);
  else
    notes->push_back("the MLT project could not be written: " + error);
  for (const std::string& path : written)
    files->push_back({OutputFile::Kind::kEditList, path, program.name});
  return notes->size() == before;
}

}  // namespace sorvo::tools
