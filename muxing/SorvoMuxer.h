// The multi-stream muxing controller: passes the pictures of one selected camera, fitted to
// the director's size, to a director sink of its own, and writes every registered camera's
// encoded packets, with the audio packets that reach it, into one multi-stream MP4 file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/FFWriteFile.h"
#include "host/CCriticalSectionEx.h"
#include "host/PixelFormat.h"
#include "host/SorvoExport.h"
#include "muxing/ISorvoSwitchObserver.h"
#include "muxing/VideoInfo.h"
#include "sink/IGrabberCallBack.h"
#include "sink/ISorvoData.h"
#include "sink/ISorvoSink.h"
#include "support/CComPtr.h"

namespace sorvo {
class CameraFit;
class CaptureTimeline;
class PictureGate;
}  // namespace sorvo

// The host's order of use: construct; CreateSingleMux; for each camera: create its sink,
// SetSink(id, sink), AddSingleMux(sink), and make the controller the sink's encoded-data
// target (SetEncodeDataOutputCB); SetCurSingleMux; StartMultMux; ...; stop delivering
// pictures; StopAllMux; clear the sinks' encoded-data targets (or close the sinks);
// destroy. The host reaches the director sink through GetDirector (to start its own
// recording, for instance) and the multi-stream writer through GetMultiFile (to attach an
// audio encoder before StartMultMux).
//
// Ownership: the controller holds one reference to every sink in its tables and to its
// director sink, and owns the multi-stream writer and the fitting state. It is not
// reference counted itself: the camera sinks and the audio sink point at it without a
// reference, so it outlives their forwarding.
//
// Threads: the control operations (SetDirectorPort, CreateSingleMux, AddSingleMux, SetCurSingleMux,
// StartMultMux, StopAllMux, SetSink and the getters) come from the host's control
// thread; OnBuffer from the camera sinks' capture threads, several at once; OnEncodeData
// from the camera sinks' worker threads and the audio thread.
//
// Locks, in the order they are taken:
// - m_lock serialises the control operations, which hold it throughout. OnBuffer and
//   OnEncodeData never take it, so the control thread may wait for them while holding it.
// - The picture gate (m_pGate): every OnBuffer passes it; a control operation that
//   replaces or releases the director sink, the fitting state or the last picture closes
//   it, waiting for the pictures in flight, and writes those members only while it is
//   closed. Pictures arriving meanwhile are taken but go nowhere.
// - m_fitLock[id] guards m_pFit[id], the fitting state of camera id, for the one picture
//   of that camera being fitted and handed on.
// - m_tableMutex guards the sink tables m_pSinks and m_pMuxSinks and the director pointer
//   for OnEncodeData and the getters; writers hold m_lock as well, and change the director
//   only while the gate is closed. It is held while packets are handed to the sinks and to
//   the writer, whose own lock comes after it.
// - m_frameMutex guards the camera switch (m_nActiveCamera) and the last director picture
//   (m_directorInfo, m_lastFrame, m_repeatFrame, m_dLastTime, m_dwLastTick); it is held
//   while a picture is handed to the director sink, whose own locks come after it.
// m_nCurCamera, m_bRegistered, m_nStreamIndex and m_bStreamStarted are atomics read
// without a lock.
//
// Where a switch takes effect: the director's encoder places each picture on its frame-rate
// grid by capture time and leaves out one of an instant already shown (CaptureTimeline.h).
// The controller keeps the same grid over the pictures it hands over, so it knows the slot
// where the director's file first shows a newly active camera and tells the switch observer.
class SORVO_EXPORT SorvoMuxer : public IGrabberCallBack, public ISorvoData {
 public:
  static constexpr int kCameras = 9;         // camera ids 0 to 8
  static constexpr int kPictureCameras = 5;  // ids 0 to 4 carry pictures
  static constexpr int kRepeatCamera = 4;    // while it is active, other cameras repeat it
  static constexpr uint32_t kRepeatIntervalMs = 40;
  static constexpr int kDirectorPort = 8050;

  SorvoMuxer();
  // Detaches the registered cameras and waits for their pictures in flight. The host has
  // stopped delivering pictures and cleared the encoded-data targets pointing here.
  ~SorvoMuxer() override;
  SorvoMuxer(const SorvoMuxer&) = delete;
  SorvoMuxer& operator=(const SorvoMuxer&) = delete;

  // The transfer port of the director sinks this controller makes from now on: 1 to 65535,
  // or 0 for a director without a server, so that several controllers, in one process or
  // in several on one machine, each serve their director on a port of their own. 1 stored;
  // 0 for a port out of range (nothing changes). Without it: 8050. Control thread.
  int SetDirectorPort(int port);
  // Makes a new director sink (id 100, transfer port 8050 or SetDirectorPort's) of width x height, each 101
  // to 4999, replacing (releasing) the current one; the fitting state and the last
  // director picture are released with it, so nothing fitted for another director's size
  // reaches the new one. 1 created; 0 for a null path or a size out of range; 0xFFFFFFFF
  // when the director sink fails to start (the controller is then left without one).
  unsigned int CreateSingleMux(const char* name,
                               const char* path,
                               int width,
                               int height,
                               PixelFormat pixelFormat,
                               int frameRate,
                               int bitRate,
                               int preview,
                               EnumZoomOption zoomOption,
                               uint32_t fillColour);
  // Registers a camera sink at its id (0 to 8) and makes the controller its raw-frame
  // target; a sink registered at that id before is detached. 1 registered; 0 for a null
  // sink, an id out of range, or no director sink.
  unsigned int AddSingleMux(CComPtr<ISorvoSink> sink);
  // Selects the camera whose pictures go to the director, from its next picture on.
  // 1 selected; 0 when no sink is registered at the id.
  int SetCurSingleMux(EnumCameraType id);
  // Opens "导播多流.mp4" beside the director's file with one video stream per registered
  // camera, in id order (plus audio when the host attached an audio encoder to
  // GetMultiFile()). An earlier file of that name is moved aside, not overwritten. 1 open;
  // 0 with no registered camera, no director, a registered camera without an encoder in
  // the sink table, a name longer than 511 bytes, or a file that cannot be made.
  int StartMultMux();
  // Detaches the registered cameras, releases the fitting state, closes and releases the
  // director sink and closes the multi-stream file. Always 1.
  unsigned int StopAllMux();
  // The free function CreateSorvo; the sink is stored nowhere.
  unsigned int CreateSorvo(const char* name,
                           const char* path,
                           const VideoInfo& info,
                           int bitRate,
                           int port,
                           ISorvoSink** sink,
                           int id,
                           int preview);

  // The camera-sink table that the host fills: the sinks whose encoders StartMultMux puts
  // into the file, whose packets OnEncodeData writes and which receive the audio packets.
  // SetSink stores (a null sink clears) the entry at id 0 to 8, taking a reference; 1, or
  // 0 for an id out of range.
  int SetSink(int id, ISorvoSink* sink);
  CComPtr<ISorvoSink> GetSink(int id);
  // The director sink, or null; the caller's reference keeps it alive.
  CComPtr<ISorvoSink> GetDirector();
  // The multi-stream writer, for the host's steps on it (attaching an audio encoder).
  FFWriteFile& GetMultiFile() { return m_multiFile; }
  // Tells `observer` (null: nobody) of every switch from now on, the first camera shown
  // included. The observer must outlive StopAllMux or be cleared first.
  void SetSwitchObserver(ISorvoSwitchObserver* observer);

  // IGrabberCallBack: a camera sink's picture, with its id. 0 for an id outside 0 to 4 or
  // without a registered sink, for the active camera's picture under a zoom option other
  // than 0 or 1, and for one that cannot be fitted; else 1.
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override;
  // ISorvoData: tag 200 is audio, handed to every camera sink, the director sink and the
  // file; any other id is a camera's video packet for its stream. Always 1.
  int OnEncodeData(int id, AVPacket* packet) override;

 protected:
  // Fit a camera picture to the director: stretched (ZoomOri) or letterboxed (ZoomScale).
  // `picture` is set to the fitted picture (the camera's own data when it already has the
  // director's size and format), or to null when it cannot be fitted; `info` describes it
  // (the director's size and format, and its length). Called by OnBuffer inside the gate
  // with camera id's fitting lock held; the time is not used.
  void ZoomOri(VideoInfo& info,
               unsigned char*& picture,
               int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat);
  void ZoomScale(VideoInfo& info,
                 unsigned char*& picture,
                 int id,
                 double time,
                 unsigned char* data,
                 long length,
                 int width,
                 int height,
                 PixelFormat pixelFormat);
  // Makes the director sink object, not yet created, with one reference. A derived
  // controller may supply a sink of its own.
  virtual ISorvoSink* NewDirectorSink();

 private:
  void Fit(bool letterbox,
           VideoInfo& info,
           unsigned char*& picture,
           int id,
           unsigned char* data,
           long length,
           int width,
           int height,
           PixelFormat pixelFormat);
  std::string CameraName(int id);
  // Takes the director sink away with the fitting state and the last picture. m_lock held.
  CComPtr<ISorvoSink> DetachDirectorLocked();
  // Places a picture handed to the director on its grid; a new picture (not a repeat) of
  // another camera than the last one placed tells the observer where the switch took
  // effect. m_frameMutex held.
  void PlaceOnGridLocked(double time, bool newPicture);
  // Hands a fitted picture to the director and keeps a copy of it. m_frameMutex held.
  void SendLocked(ISorvoSink* director, double time, const VideoInfo& info, unsigned char* picture);
  // While camera 4 is active, sends its last picture again, with that picture's capture
  // time, once 40 ms have passed, unless the capture time of the picture that prompts it
  // (`time`) is later. m_frameMutex held.
  void RepeatLocked(ISorvoSink* director, double time);

  CCriticalSectionEx m_lock;
  std::unique_ptr<sorvo::PictureGate> m_pGate;

  std::mutex m_tableMutex;
  CComPtr<ISorvoSink> m_pSinks[kCameras];     // filled by the host through SetSink
  CComPtr<ISorvoSink> m_pMuxSinks[kCameras];  // registered by AddSingleMux
  CComPtr<ISorvoSink> m_pDirector;
  std::atomic<bool> m_bRegistered[kCameras];  // m_pMuxSinks[id] holds a sink

  // Written while the gate is closed, read by pictures inside it.
  EnumZoomOption m_zoomOption = ZOOM_STRETCH;
  uint32_t m_clrFill = 0;  // 0x00BBGGRR
  std::mutex m_fitLock[kPictureCameras];
  std::unique_ptr<sorvo::CameraFit> m_pFit[kPictureCameras];

  std::atomic<int> m_nCurCamera{CAMERA_NONE};
  std::mutex m_frameMutex;
  int m_nActiveCamera = CAMERA_NONE;
  VideoInfo m_directorInfo;  // the last director picture; imageSize 0 while there is none
  std::vector<unsigned char> m_lastFrame;
  std::vector<unsigned char> m_repeatFrame;  // what a repeat hands over, so m_lastFrame stays
  uint32_t m_dwLastTick = 0;
  double m_dLastTime = 0;  // capture time of the last director picture
  // The director's frame-rate grid, over the pictures handed to it, and the camera of the
  // last picture placed on it (CAMERA_NONE: none yet).
  std::unique_ptr<sorvo::CaptureTimeline> m_pGrid;
  int m_nDirectorRate = 25;
  int m_nDirectorPort = -1;  // -1: the process-wide default; m_lock
  int m_nGridCamera = CAMERA_NONE;
  std::atomic<ISorvoSwitchObserver*> m_pSwitchObserver{nullptr};

  FFWriteFile m_multiFile;
  std::atomic<int> m_nStreamIndex[kCameras];     // -1: no stream in the open file
  std::atomic<bool> m_bStreamStarted[kCameras];  // a key frame opened the camera's stream
};

namespace sorvo {
// The transfer port of director sinks made from now on by controllers not given one
// (SetDirectorPort); a negative port restores 8050 and 0 makes them without a server. Used by tests, which may not count on 8050 being free.
void SetDirectorPortForTesting(int port);
}  // namespace sorvo
