// Every committed fuzz input (the seeds and each input a fuzzer once failed on) goes
// through its target's body in the ordinary suite, so the plain, ASan and TSan builds
// all keep them passing. A body aborts on a broken contract, which fails the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/ExactCopy.h"
#include "fuzz/FuzzTargets.h"
#include "fuzz/PacketSplit.h"

namespace {

namespace fs = std::filesystem;
using Body = long long (*)(const uint8_t*, size_t);

struct Target {
  const char* name;
  Body body;
  // What the seeds give together (packets, pictures, PCM frames, packets): proof that they
  // reach past the first checks, as MakeSeeds.cpp made them.
  long long seedOutput;
};

void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}

struct Replayed {
  size_t files = 0;
  long long output = 0;
};

// Feeds every file of fuzz/<kind>/<name> through the target's body.
Replayed Replay(const Target& target, const char* kind) {
  Replayed replayed;
  const fs::path folder = fs::path(SORVO_FUZZ_DIR) / kind / target.name;
  if (!fs::is_directory(folder))
    return replayed;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    const std::unique_ptr<uint8_t[]> exact = sorvo::fuzz::ExactCopy(bytes.data(), bytes.size());
    replayed.output += target.body(exact.get(), bytes.size());
    ++replayed.files;
  }
  return replayed;
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, SeedsPassAndReachDeep) {
  const Replayed seeds = Replay(GetParam(), "corpus");
  // A missing corpus must not pass as an empty one.
  EXPECT_GE(seeds.files, 3u);
  EXPECT_EQ(seeds.output, GetParam().seedOutput);
}

TEST_P(FuzzReplay, EveryRegressionInputPasses) {
  Replay(GetParam(), "regressions");
}

TEST_P(FuzzReplay, EmptyAndTinyInputsPass) {
  const uint8_t bytes[4] = {0x80, 0xFF, 0xFF, 0xC0};
  for (size_t size = 0; size <= sizeof(bytes); ++size)
    GetParam().body(bytes, size);
}

INSTANTIATE_TEST_SUITE_P(
    Targets,
    FuzzReplay,
    testing::Values(Target{"private_stream", sorvo::fuzz::FuzzPrivateStream, 7},
                    Target{"video_decoder", sorvo::fuzz::FuzzVideoDecoder, 10},
                    Target{"audio_decoder", sorvo::fuzz::FuzzAudioDecoder, 16},
                    Target{"view_stream", sorvo::fuzz::FuzzViewStream, 5},
                    Target{"recover_media", sorvo::fuzz::FuzzRecoverMedia, 124}),
    [](const testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

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
