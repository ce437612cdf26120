#include "audio/CAudioSinkFF.h"

#include <algorithm>
#include <optional>

extern "C" {
#include <libavcodec/packet.h>
}

#include "audio/CWaveSave.h"
#include "audio/WaveSampleFormat.h"
#include "host/ITransferServer.h"
#include "sink/ISorvoData.h"
#include "support/LogF.h"

namespace {

// The MP3 bit rate, in bits per second, is the byte rate of the 16-bit PCM the codec is
// given: the caller's byte rate for 16-bit samples, scaled for other widths, so that a
// sound gets the same MP3 whatever width its source delivers.
int BitRateFor(const tWAVEFORMATEX& format, FFAudioEncoder::SampleLayout input) {
  const int64_t rate = int64_t{format.nAvgBytesPerSec} * 2 / FFAudioEncoder::BytesPerSample(input);
  return static_cast<int>(std::min<int64_t>(rate, INT32_MAX));
}

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
  const std::optional<SampleLayout> input = sorvo::EncoderInputOf(format);
  if (input) {
    if (OpenForInput(format.nChannels, static_cast<int>(format.nSamplesPerSec),
                     BitRateFor(format, *input), *input) != 1)
      return 0;
  } else if (wavPath == nullptr) {
    LogErrorF("audio sink: %u-bit PCM cannot be encoded as MP3 and no WAV file was asked for",
              static_cast<unsigned>(format.wBitsPerSample));
    return 0;
  }

  if (wavPath != nullptr) {
    CSingleLock hold(m_sinkLock);
    if (m_pWave->Create(wavPath, format) != 1) {
      if (!input) {
        LogErrorF("audio sink: %u-bit PCM cannot be encoded as MP3 and %s cannot be created",
                  static_cast<unsigned>(format.wBitsPerSample), wavPath);
        return 0;
      }
      LogWarnF("audio sink: recording without a WAV file: %s cannot be created", wavPath);
    }
  }
  if (!input) {
    // The WAV file can hold such samples as they are; without packets there is nothing
    // to serve.
    LogWarnF(
        "audio sink: %u-bit PCM cannot be encoded as MP3; recording %s only, no MP3 "
        "stream%s",
        static_cast<unsigned>(format.wBitsPerSample), wavPath, port > 0 ? " and no server" : "");
    return 1;
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
    if (m_pWave->IsOpen() && !m_pWave->Append(data, length))
      StopWaveLocked();
  }
  return Encode(id, time, data, length);
}

void CAudioSinkFF::StopWaveLocked() {
  // Throwing out of the host's capture callback would lose the sound as well; the WAV file
  // ends here and everything else goes on.
  if (m_pWave->Finish())
    LogWarnF(
        "audio sink: WAV file %s stopped: the disk refused more PCM (full?); it keeps the "
        "PCM written so far, and MP3 recording goes on",
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
