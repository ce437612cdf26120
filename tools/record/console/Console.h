// The operator's console of a recording: a web page with every camera's live thumbnail, the
// program with its tally, the session's counters, files, free space and sound levels, and
// the controls (program, mark, stop), served with its API over HTTP and a WebSocket.
//
// The recorder puts the console's taps where pictures and sound pass (CameraInput between a
// camera's feeder and its sink, ProgramInput as the director sink's grabber target,
// SoundInput between the sound's feeder and the audio sink, SoundPackets behind the audio
// sink's encoder), implements ConsoleModel, and announces what happens (ProgramChanged,
// PreviewChanged, Marked, Problem, SessionEnded, FilesReadBack). Thumbnails are
// made on a thread of the console's own, only while someone watches; the capture threads
// never wait for the console.
//
// Threads: construction, Start, the inputs and destruction on the owner's (control) thread;
// the announcements from any thread. The console outlives every caller of its inputs (stop
// the feeders and clear the director's grabber target first).
#pragma once

#include <sorvo/sorvo.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "tools/record/console/ConsoleAddress.h"
#include "tools/record/console/ConsoleModel.h"
#include "tools/record/console/ConsoleServer.h"
#include "tools/record/console/ConsoleSettings.h"
#include "tools/record/console/PictureTap.h"
#include "tools/record/console/SoundFrameTap.h"
#include "tools/record/console/SoundMeter.h"
#include "tools/record/console/ThumbnailSlot.h"
#include "tools/record/console/ThumbnailWorker.h"

namespace sorvo::tools {

class Console {
 public:
  explicit Console(ConsoleSettings settings = {});
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Listens on `address`; every state-changing request must carry `token`, and every API
  // request as well when the address can be reached from other machines. The model
  // outlives the console. False with `error` (the port is taken, say).
  bool Start(const ConsoleAddress& address,
             const std::string& token,
             ConsoleModel* model,
             std::string* error);
  // The address to open in a browser, token included.
  std::string Url() const;
  unsigned short port() const { return m_server->port(); }
  // Listening on every address of this machine (0.0.0.0 or ::).
  bool everywhere() const { return m_address.address.is_unspecified(); }

  // Where camera `camera`'s feeder puts its pictures: they are handed on to `sink` (or
  // written into what it lends), then shown.
  PictureInput CameraInput(int camera, PictureInput sink);
  // The receiver of the director's pictures, which hands them on to `next` first (when
  // given), then shows them.
  IGrabberCallBack* ProgramInput(IGrabberCallBack* next = nullptr);
  // A receiver that hands the sound's interleaved 16-bit PCM on to `sink`, then meters it;
  // one per console.
  IGrabberCallBack* SoundInput(IGrabberCallBack* sink, int channels);
  // A receiver of the audio sink's MP3 packets that hands them on to `next` (when given),
  // then plays them to the console's listeners; one per console.
  ISorvoData* SoundPackets(ISorvoData* next);

  // `camera` went on program at session time `time`.
  void ProgramChanged(int camera, double time);
  // `camera` is on the preview bus now (-1: none).
  void PreviewChanged(int camera);
  void Marked(double time, const std::string& label);
  // Something the operator should know at once (a source failed, a file could not be
  // written).
  void Problem(const std::string& text);
  // The recording has stopped: pages say so; the console goes on answering until destroyed.
  void SessionEnded();
  // The session's files have been read back: `summary` is the --json summary's document.
  void FilesReadBack(const Json& summary);

 private:
  ThumbnailSlot::Clock::time_point Now() const;

  const ConsoleSettings m_settings;
  ConsoleAddress m_address;
  std::string m_token;
  std::array<std::unique_ptr<ThumbnailSlot>, kPictureSlots> m_slots;
  std::atomic<SoundMeter*> m_meter{nullptr};
  std::atomic<bool> m_soundWanted{false};
  std::unique_ptr<SoundFrameTap> m_soundFrames;
  std::vector<std::unique_ptr<PictureTap>> m_taps;
  std::unique_ptr<SoundMeter> m_soundMeter;
  std::unique_ptr<ConsoleServer> m_server;
  std::unique_ptr<ThumbnailWorker> m_worker;
};

}  // namespace sorvo::tools
