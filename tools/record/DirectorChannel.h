// The director's cut and the multi-stream file: the library's muxing controller with its
// director sink (its MP4, its server, its preview window), which shows one camera at a time
// and writes every camera (0 to 8) and the sound into the multi-stream MP4; the observer
// that hears where each switch takes effect and keeps the cut; and the counter of the
// director's packets. The cut is journaled as it is made (director.cut, see CutJournal).
// At Close the cut becomes the director's chapters, and the director's file is taken as
// the edit lists refer to it.
//
// Threads: every operation on the control thread, except cut(), which is thread-safe: the
// library reports each switch on the thread that delivers the director's pictures, and the
// marks come from wherever they are made. Status reads counters that the director's worker
// updates. The controller goes before the counter that is its director's data target.
#pragma once

#include <sorvo/sorvo.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/record/CameraChannel.h"
#include "tools/record/FileMetadata.h"
#include "tools/record/PacketCounter.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/SoundChannel.h"
#include "tools/record/edit/CutJournal.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

class DirectorChannel {
 public:
  // The director's sink, and with it its preview window, has this name.
  static constexpr char kName[] = "director";

  explicit DirectorChannel(const RecordOptions& options) : m_options(options) {}
  DirectorChannel(const DirectorChannel&) = delete;
  DirectorChannel& operator=(const DirectorChannel&) = delete;

  // Makes the director's sink, recording into `path` with the sound's packets when there
  // is sound and the options want it there, and hands it the cameras the controller takes
  // (0 to 8); camera 0 is on program. False with `error`.
  bool Create(const std::string& path,
              bool preview,
              const std::vector<CameraChannel*>& cameras,
              SoundChannel* sound,
              const FileMetadata& metadata,
              std::string* error);
  // Starts the multi-stream file in `outDir`: every camera the controller took and the
  // sound. False with `error`.
  bool StartMultiStream(const std::string& outDir,
                        const std::vector<CameraChannel*>& cameras,
                        SoundChannel* sound,
                        const FileMetadata& metadata,
                        std::string* error);
  // Journals the cut from now on, beside the director's file, with what the edit lists need
  // to be rebuilt from it (`title`, the session's `timecode`, the `cameras`' files). Before
  // the cameras start; `sound` (null: none) must outlive Close. False with `error`.
  bool StartJournal(const std::string& title,
                    const Timecode& timecode,
                    const std::vector<CameraChannel*>& cameras,
                    const SoundChannel* sound,
                    std::string* error);
  OutputFile file() const;
  OutputFile multiStreamFile() const;
  // Closes the multi-stream file before the session ends, as Close would (readable up to
  // here); the director's own file goes on. False when it was not open.
  bool StopMultiStream();
  // Stops the director's raw stream file while its MP4 records on.
  void StopRawStream();
  // The capture time the multi-stream file begins at; false before its first packet.
  bool MultiStreamOrigin(double* origin) const;
  // The director's MP4 and the multi-stream file, to be dated.
  std::vector<FFWriteFile*> Writers() const;
  // The one receiver of the director's fitted pictures (the publisher's feed or the
  // console's tap); null for none.
  void SetProgramTap(IGrabberCallBack* tap);

  // Shows camera `number` from its next picture on; false when the director cannot show it
  // (only cameras 0 to 4 are shown).
  bool Select(int number);
  // The next camera, round those the director shows in turn.
  void SelectNext();
  int selected() const { return m_selected; }
  // How many cameras the director can show.
  int shown() const { return m_shown; }
  CutList& cut() { return m_cut; }
  const CutList& cut() const { return m_cut; }

  // Closes the director's file and the multi-stream file, the cut becoming the director's
  // chapters (`titles` names the cameras by number, `metadata` gives the timecode of the
  // marks), and takes the final status. The cameras' last packets must be in by then.
  void Close(const std::vector<std::string>& titles, const FileMetadata& metadata);
  // Final once closed; none before Create.
  std::optional<SinkStatus> Status() const;
  // Pictures its sink holds not yet encoded; any thread while the cameras are fed.
  long long Unencoded() const;
  // The director's file as the edit lists refer to it; where its pictures begin and end is
  // known once it is closed.
  const EditFile& program() const { return m_program; }

 private:
  // Tells the cut list where each switch takes effect.
  class SwitchRecorder : public ISorvoSwitchObserver {
   public:
    explicit SwitchRecorder(CutList* cut) : m_cut(cut) {}
    void OnCameraSwitch(int camera, double time) override { m_cut->AddSwitch(time, camera); }

   private:
    CutList* m_cut;
  };

  // Hands the cut to the director's file as chapters, before the file closes.
  void PutChapters(ISorvoSink* director,
                   const std::vector<std::string>& titles,
                   const FileMetadata& metadata);
  SinkStatus LiveStatus(ISorvoSink* director) const;

  const RecordOptions& m_options;
  std::string m_path;
  std::string m_outDir;
  bool m_withSound = false;
  int m_shown = 0;
  int m_selected = -1;
  std::string m_note;
  CutJournal m_journal;  // outlives the cut that writes to it
  CutList m_cut;
  SwitchRecorder m_switchRecorder{&m_cut};
  PacketCounter m_counter;  // the director's data target
  std::unique_ptr<SorvoMuxer> m_muxer;
  bool m_closed = false;
  std::optional<SinkStatus> m_final;  // taken at Close
  EditFile m_program;                 // its times taken at Close
};

}  // namespace sorvo::tools
