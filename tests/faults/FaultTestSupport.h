// What the fault tests share: a recording sink started the way a host starts one, the audio
// sink as a host drives it, and small readers of folders and logs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio/CAudioSinkFF.h"
#include "common/LogCapture.h"
#include "common/TestAppDir.h"
#include "host/ITransferServer.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/SinkTestSupport.h"

namespace sorvo::test {

// A YUV 4:2:0 sink recording `name`.mp4 in the test's folder, serving on `port` (0: no
// server), with `collector` as its data target; null when it would not start.
inline CSorvoSinkFF* StartRecordingSink(const TestAppDir& dir,
                                        const std::string& name,
                                        int width,
                                        int height,
                                        int port,
                                        PacketCollector& collector) {
  auto* sink = new CSorvoSinkFF();
  if (sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), width, height, PIX_FMT_YUV420P,
                   25, 2000000, 1, port, 0) == 1) {
    sink->SetEncodeDataOutputCB(&collector);
    if (sink->StartRecord() == 1)
      return sink;
  }
  ADD_FAILURE() << "the sink " << name << " did not start recording";
  sink->Release();
  return nullptr;
}

// The audio sink as the host's capture thread reaches it, with a look at its server.
class AudioSink : public CAudioSinkFF {
 public:
  int Feed(std::vector<uint8_t> pcm) {
    IGrabberCallBack* host = this;
    return host->OnBuffer(0, 0.0, pcm.data(), static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
  }
  // -1 without a server.
  int ClientCount() {
    ITransferServer* server = GetTransferServer();
    return server != nullptr ? server->GetClientCount() : -1;
  }
};

inline std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().string());
  return names;
}

inline int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// Warnings and errors whose text holds `part`.
inline int WarningsNaming(LogCapture& log, const std::string& part) {
  int count = 0;
  for (const LogLine& line : log.Lines())
    count += line.level >= SORVO_LOG_WARN && line.text.find(part) != std::string::npos;
  return count;
}

}  // namespace sorvo::test
