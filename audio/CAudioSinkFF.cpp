#include "audio/CAudioSinkFF.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include "audio/CWaveSave.h"
#include "host/ITransferServer.h"
#include "host/Mmio.h"
#include "sink/ISorvoData.h"
#include "support/LogF.h"

namespace {

// The encoder reads interleaved signed 16-bit samples.
constexpr uint16_t kBitsPerSample = 16;

}  // namespace

void CAudioSinkFF::ServerRelease::operator()(ITransferServer* server) const {
  server->Release();
}

CAudioSinkFF::CAudioSinkFF() : m_pWave(std::make_unique<CWaveSave>()) {}

CAudioSinkFF::~CAudioSinkFF() {
  // No drain here: a host that forgot Close may have torn its receiver down already.
  ShutDown();
  CSingleLock hold(m_sinkLock);
  m_pWave->Finish();
}

int CAudioSinkFF::Create(const char* /*name*/,
                         const char* wavPath,
                         const tWAVEFORMATEX& format,
                         int port) {
  // A second Create must not leave the first server or file behind.
  Close();
  if (format.wBitsPerSample != kBitsPerSample) {
    // Other sample widths would be encoded as noise.
    LogErrorF("audio sink: %u-bit PCM given; only 16-bit PCM can be recorded",
              static_cast<unsigned>(format.wBitsPerSample));
    return 0;
  }
  if (Open(format.nChannels, static_cast<int>(format.nSamplesPerSec),
           static_cast<int>(format.nAvgBytesPerSec)) != 1)
    return 0;

  if (wavPath != nullptr) {
    CSingleLock hold(m_sinkLock);
    if (m_pWave->Create(wavPath, format) != 1)
      LogWarnF("audio sink: recording without a WAV file: %s cannot be created", wavPath);
  }
  if (port > 0) {
    ITransferServer* created = nullptr;
    // The port's low 16 bits, as the transfer library takes it.
    CreateServer(static_cast<unsigned short>(port), &created, nullptr);
    ServerPtr server(created);
    // No greeting to send first, so clients may join at once rather than at the first
    // broadcast.
    if (server)
      server->RegisterAcceptCallback(nullptr, 0);
    CSingleLock hold(m_sinkLock);
    m_pServer = std::move(server);
  }
  return 1;
}

int CAudioSinkFF::SetEncodeDataOutputCB(int tag, ISorvoData* receiver) {
  CSingleLock hold(m_sinkLock);
  m_nReceiverTag = tag;
  m_pReceiver = receiver;
  return 1;
}

int CAudioSinkFF::OnBuffer(int id,
                           double time,
                           unsigned char* data,
                           long length,
                           int /*width*/,
                           int /*height*/,
                           PixelFormat /*pixelFormat*/) {
  if (data != nullptr && length > 0) {
    CSingleLock hold(m_sinkLock);
    if (m_pWave->IsOpen() &&
        mmioWrite(m_pWave->GetHandle(), reinterpret_cast<const char*>(data), length) != length)
      StopWaveLocked();
  }
  return Encode(id, time, data, length);
}

void CAudioSinkFF::StopWaveLocked() {
  // Throwing out of the host's capture callback would lose the sound as well; the WAV file
  // ends here and everything else goes on.
  if (m_pWave->Finish())
    LogWarnF(
        "audio sink: WAV file %s stopped: the disk refused more PCM (full, or the 4 GiB "
        "a WAV file can hold); it keeps the PCM written so far, and MP3 recording goes on",
        m_pWave->GetPath().c_str());
  else
    LogWarnF(
        "audio sink: WAV file %s stopped: the disk refused more PCM and its sizes could "
        "not be completed; MP3 recording goes on",
        m_pWave->GetPath().c_str());
}

void CAudioSinkFF::OnEncode(AVPacket* packet) {
  CSingleLock hold(m_sinkLock);
  if (m_pServer)
    m_pServer->Broadcast(packet->data, packet->size, nullptr, nullptr);
  if (m_pReceiver != nullptr)
    m_pReceiver->OnEncodeData(m_nReceiverTag, packet);
}

int CAudioSinkFF::OnDecode(AVPacket* /*pcm*/) {
  return 1;
}

int CAudioSinkFF::Close() {
  // The sound the codec still holds back goes out to the clients and the receiver too.
  Drain();
  ShutDown();
  CSingleLock hold(m_sinkLock);
  m_pWave->Close(0);
  return 1;
}

void CAudioSinkFF::ShutDown() {
  // Once the encoder is closed no OnEncode runs, so nothing broadcasts any more.
  FFAudioEncoder::Close();
  FFAudioDecoder::Close();
  // Released at the end of this scope, after the lock taken below is let go: the last
  // release waits for the server's own thread.
  ServerPtr server;
  CSingleLock hold(m_sinkLock);
  server = std::move(m_pServer);
}

ITransferServer* CAudioSinkFF::GetTransferServer() {
  CSingleLock hold(m_sinkLock);
  return m_pServer.get();
}
