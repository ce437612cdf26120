// Every committed fuzz input (the seeds and each input a fuzzer once failed on) goes
// through its target's body in the ordinary suite, so the plain, ASan and TSan builds
// all keep them passing. A body aborts on a broken contract, which fails the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzTargets.h"
#include "fuzz/PacketSplit.h"

namespace {

namespace fs = std::filesystem;
using Body = void (*)(const uint8_t*, size_t);

struct Target {
  const char* name;
  Body body;
};

// Feeds every file of fuzz/corpus/<name> and fuzz/regressions/<name>; the count of files.
size_t Replay(const Target& target) {
  size_t files = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path folder = fs::path(SORVO_FUZZ_DIR) / kind / target.name;
    if (!fs::is_directory(folder))
      continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                       std::istreambuf_iterator<char>()};
      SCOPED_TRACE(entry.path().string());
      target.body(bytes.data(), bytes.size());
      ++files;
    }
  }
  return files;
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryCommittedInputPasses) {
  // Three seeds at least: a missing corpus must not pass as an empty one.
  EXPECT_GE(Replay(GetParam()), 3u);
}

TEST_P(FuzzReplay, EmptyAndTinyInputsPass) {
  const uint8_t bytes[4] = {0x80, 0xFF, 0xFF, 0xC0};
  for (size_t size = 0; size <= sizeof(bytes); ++size) GetParam().body(bytes, size);
}

INSTANTIATE_TEST_SUITE_P(Targets,
                         FuzzReplay,
                         testing::Values(Target{"private_stream", sorvo::fuzz::FuzzPrivateStream},
                                         Target{"video_decoder", sorvo::fuzz::FuzzVideoDecoder},
                                         Target{"audio_decoder", sorvo::fuzz::FuzzAudioDecoder},
                                         Target{"view_stream", sorvo::fuzz::FuzzViewStream}),
                         [](const testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

TEST(PacketSplit, CutsWhatAppendPacketJoins) {
  std::vector<uint8_t> input;
  const uint8_t first[] = {1, 2, 3};
  const std::vector<uint8_t> second(300, 9);
  sorvo::fuzz::AppendPacket(&input, 0x81, first, sizeof(first));
  sorvo::fuzz::AppendPacket(&input, 0x00, nullptr, 0);
  sorvo::fuzz::AppendPacket(&input, 0x40, second.data(), second.size());
  const auto packets = sorvo::fuzz::SplitPackets(input.data(), input.size(), 10);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].control, 0x81);
  EXPECT_EQ(std::vector<uint8_t>(packets[0].data, packets[0].data + packets[0].size),
            std::vector<uint8_t>(first, first + 3));
  EXPECT_EQ(packets[1].size, 0u);
  EXPECT_EQ(packets[2].control, 0x40);
  EXPECT_EQ(packets[2].size, 300u);
  // A length running past the end takes what is left; the limit caps the count.
  input.resize(input.size() - 100);
  EXPECT_EQ(sorvo::fuzz::SplitPackets(input.data(), input.size(), 10)[2].size, 200u);
  EXPECT_EQ(sorvo::fuzz::SplitPackets(input.data(), input.size(), 2).size(), 2u);
}

}  // namespace
