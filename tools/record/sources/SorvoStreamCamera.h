// A camera that is another recorder's sink, reached at sorvo://HOST:PORT and read as
// sorvo-view reads it: the 80-byte greeting gives the rate, then every packet comes with
// its 20-byte header. Packets are decoded from the first key frame on, and the pictures
// handed on in planar YUV 4:2:0 (scaled where another size is asked for): the director and
// the console take pictures. Given a passage (PacketPassage.h), the packets go to this
// recorder's sink as received too, which records them instead of encoding the pictures
// again when the stream is one it records. The picture size is the first decoded picture's:
// what the greeting and the headers say is only a claim. The stream carries no times:
// its pictures count at the greeting's rate.
//
// One thread reads; the stop token, requested from any thread, ends a wait at once. A
// server that sends nothing for kSilentSourceSeconds is taken as gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/common/Mpeg4Decoder.h"
#include "tools/common/ServerAddress.h"
#include "tools/common/StreamConnection.h"
#include "tools/common/VideoStreamReader.h"
#include "tools/record/sources/DecodedCamera.h"
#include "tools/record/sources/PacketPassage.h"

namespace sorvo::tools {

class SorvoStreamCamera : public DecodedCamera {
 public:
  static constexpr const char* kScheme = "sorvo://";
  static bool Names(const std::string& name) { return name.rfind(kScheme, 0) == 0; }
  // The HOST:PORT of a sorvo:// name; false with `error` set.
  static bool ParseAddress(const std::string& name, ServerAddress* address, std::string* error);

  // Connects, reads the greeting and decodes the first picture; null with `error` set when
  // that fails. Pictures come at their own size, or as `wanted` says. The `stop` token,
  // where given, stops it instead of Stop().
  static std::unique_ptr<SorvoStreamCamera> Open(const std::string& name,
                                                 std::string* error,
                                                 const Wanted& wanted = Wanted(),
                                                 const StopToken* stop = nullptr,
                                                 std::shared_ptr<PacketPassage> passage = nullptr);
  ~SorvoStreamCamera() override;

  bool NextDecoded(FramePtr* frame, double* due) override;
  bool live() const override { return true; }
  bool timesCounted() const override { return true; }
  std::string Describe() const override;

 private:
  SorvoStreamCamera();
  // Why the reader got no more bytes.
  std::string ReadEndText() const;
  // The next packet decoded into `frame`; false with m_error set.
  bool ReadPicture(FramePtr* frame);

  std::string m_name;
  StreamConnection m_connection;
  StreamConnection::ReadResult m_lastRead = StreamConnection::ReadResult::kOk;
  VideoStreamReader m_reader;
  Mpeg4Decoder m_decoder;
  Wanted m_wanted;
  FramePtr m_first;  // the first decoded picture, until it is handed on
  PacketHeader m_header{};
  std::vector<uint8_t> m_packet;
  bool m_keySeen = false;
  std::shared_ptr<PacketPassage> m_passage;  // may be null
  long long m_passageNumber = 0;             // this connection's number on the passage
  long long m_pictures = 0;
};

}  // namespace sorvo::tools
