// The audio capture sink: the host's PCM buffers are appended to an optional WAV file and
// encoded as MP3; every packet is broadcast, as bare bytes, to the clients of an optional
// transfer server and then handed to the registered ISorvoData receiver with the receiver's
// tag (200 marks audio for a muxing controller).
//
// The WAV file keeps the samples as delivered, in any width its header can describe
// (integer PCM, or IEEE float for 32- and 64-bit float records); the encoder narrows 8-,
// 24- and 32-bit integer and float samples to the 16 bits the codec takes. Samples it cannot
// take (integers wider than 32 bits) are recorded into the WAV file alone.
//
// Buffers may have any length: the encoder gathers PCM across calls. The WAV file's sizes
// are kept up to date as PCM comes in, so it plays after a kill too, and past 4 GiB (6 h 46
// min of 44.1 kHz 16-bit stereo) it goes on as RF64 (CWaveSave.h). A WAV file that stops
// taking PCM (a full disk) is finished with what it holds and closed, with one warning in
// the log; the MP3 stream, the broadcast and the receiver go on. Create and Close, which run where the host can act, raise CMMIOException
// for WAV failures after the file was opened.
//
// Ownership: the sink owns its encoder, its WAV writer and one reference to its server.
// The receiver is not owned: the host keeps it alive until it clears it. The decoder half
// is inherited for its place in the interface and is never opened.
//
// Threads: the host's audio thread calls OnBuffer, which runs Encode and, inside it,
// OnEncode. The host's control threads call Create, Close, SetEncodeDataOutputCB and the
// destructor. Locks: the encoder's own lock serialises Open, Encode, Drain and Close and is
// held around OnEncode; m_sinkLock guards the server, the receiver and its tag, and the WAV
// writer. Order: the encoder's lock, then m_sinkLock, then whatever the server and the
// receiver take (a container writer's lock). Nothing here takes the encoder's lock while
// holding m_sinkLock. The server and the receiver are called with both locks held, so once
// Close or SetEncodeDataOutputCB has returned, the old ones are no longer in use; they must
// not call Create or Close of this sink.
#pragma once

#include <memory>

#include "codec/FFAudioDecoder.h"
#include "codec/FFAudioEncoder.h"
#include "host/CCriticalSectionEx.h"
#include "host/SorvoExport.h"
#include "host/Win32Types.h"
#include "sink/IGrabberCallBack.h"

class CWaveSave;
class ISorvoData;
class ITransferServer;
struct AVPacket;

class SORVO_EXPORT CAudioSinkFF : public FFAudioEncoder,
                                  public FFAudioDecoder,
                                  public IGrabberCallBack {
 public:
  CAudioSinkFF();
  // Closes what the host left open, without throwing and without calling the receiver:
  // the codec is closed, the server released, and the WAV file finished so that common
  // readers take it.
  ~CAudioSinkFF() override;

  // Starts recording PCM in `format`: format.nChannels channels at format.nSamplesPerSec,
  // IEEE float samples when the tag is 3 and they are 32 or 64 bits wide, else integer PCM
  // (unsigned up to 8 bits, signed up to 32, whatever the tag). The MP3 bit rate in bits
  // per second is the byte rate of the 16-bit PCM the codec takes: format.nAvgBytesPerSec
  // unchanged for 16-bit samples, scaled by 2 / bytes per sample for others. `name` is not
  // used. `wavPath` null: no WAV file; a WAV file that cannot be made (bad folder, path
  // over 511 characters) is logged and left out. `port` <= 0: no server; otherwise a server
  // on its low 16 bits (one that cannot listen is logged and left out). A sink already
  // started is closed first, as Close does. Returns 1 when the encoder opened, 0 otherwise
  // (nothing else is started then). Samples the encoder cannot take give one warning and
  // the WAV file alone, without encoder or server: 1 when the file was made, else 0. Throws
  // CMMIOException when the WAV header cannot be written (the encoder is open then and the
  // caller calls Close), or when the previous take's WAV file cannot be finished.
  virtual int Create(const char* name, const char* wavPath, const tWAVEFORMATEX& format, int port);
  // Registers the receiver of the MP3 packets and the tag handed back with each; null
  // clears. Returns 1. Kept across Close and Create.
  virtual int SetEncodeDataOutputCB(int tag, ISorvoData* receiver);
  // Encodes what the codec still holds (the PCM short of a whole frame and the codec's
  // look-ahead) and hands those last packets out as usual, then closes the encoder and the
  // decoder half, releases the server and finishes the WAV file. Returns 1. Throws
  // CMMIOException when the WAV file cannot be finished: everything else is closed by
  // then, and the WAV file stays open for another Close (or the destructor) to finish.
  int Close() override;
  // The sink is open while its encoder is; both halves have these names.
  using FFAudioEncoder::IsOpen;
  using FFAudioEncoder::Open;

 protected:
  // Appends `length` bytes of PCM at `data` to the WAV file and encodes them; id and time
  // are passed to Encode, width, height and pixelFormat are ignored. The result of Encode:
  // 1 when a packet came out, 0 otherwise (also before Create and after Close).
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override;
  // Broadcasts the packet, then hands it to the receiver.
  void OnEncode(AVPacket* packet) override;
  // Nothing is decoded here; returns 1.
  int OnDecode(AVPacket* pcm) override;

  // The server Create started, or null; for derived classes on the control thread. Valid
  // until the next Close or Create.
  ITransferServer* GetTransferServer();

 private:
  struct ServerRelease {
    void operator()(ITransferServer* server) const;
  };
  using ServerPtr = std::unique_ptr<ITransferServer, ServerRelease>;

  // Closes the encoder and the decoder half and releases the server.
  void ShutDown();
  // Ends a WAV file that refused PCM; m_sinkLock is held.
  void StopWaveLocked();

  CCriticalSectionEx m_sinkLock;
  ServerPtr m_pServer;                 // guarded by m_sinkLock
  ISorvoData* m_pReceiver = nullptr;   // guarded by m_sinkLock
  int m_nReceiverTag = 0;              // guarded by m_sinkLock
  std::unique_ptr<CWaveSave> m_pWave;  // guarded by m_sinkLock; always present
};
