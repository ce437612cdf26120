// Reads a written container file back the way a player does: libavformat for the streams
// and packets, libavcodec for the pictures and samples. Also parses the MP4 'esds' boxes
// by hand, since ffprobe-like readers report extradata even when the box lacks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/CodecTestSupport.h"

namespace sorvo::test {

struct ProbedStream {
  int index = -1;
  int id = -1;
  int mediaType = -1;  // AVMediaType
  int codecId = 0;     // AVCodecID
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  std::vector<uint8_t> extradata;
  int decodedFrames = 0;       // pictures or audio frames the decoder gave back
  int64_t decodedSamples = 0;  // audio: samples per channel the decoder gave back
  int decodeErrors = 0;
  double endSeconds = 0;               // end of the last packet: pts + duration
  std::vector<Picture> pictures;       // the decoded pictures, when asked for, in output order
  std::vector<double> pictureSeconds;  // when each of them is presented
  // Audio, when asked for: the first channel of the decoded sound as a player gives it
  // (start-up delay left out), and the presentation time of its first sample.
  std::vector<float> sound;
  double soundStartSeconds = -1;
};

struct ProbedPacket {
  int stream = -1;
  double ptsSeconds = 0;
  double dtsSeconds = 0;
  double durationSeconds = 0;
  bool key = false;
  int size = 0;
  int64_t pos = -1;  // byte offset in the file; -1 when unknown
};

struct ProbedFile {
  bool opened = false;
  std::string formatName;
  double durationSeconds = 0;  // the container's own duration
  std::vector<ProbedStream> streams;
  std::vector<ProbedPacket> packets;  // in file order

  std::vector<ProbedPacket> PacketsOf(int stream) const;
};

// Opens, demuxes and decodes the whole file; with `keepPictures`, keeps a copy of every
// decoded video picture and of the decoded sound.
ProbedFile ProbeFile(const std::string& path, bool keepPictures = false);

// The bytes of each packet of stream `stream`, in file order, read where libavformat finds
// them in the file.
std::vector<std::string> StreamPacketBytes(const std::string& path, int stream);

// The decoder-specific info of every 'esds' box in an MP4 file, in file order; an empty
// entry for a box without one.
std::vector<std::vector<uint8_t>> EsdsDecoderInfos(const std::string& path);

// One top-level box of an MP4 file.
struct Mp4Box {
  std::string type;  // "ftyp", "moov", "moof", ...
  uint64_t offset = 0;
  uint64_t size = 0;
};
// An MP4 file's top-level boxes, in file order; the walk stops at a box that runs past the
// end of the file.
std::vector<Mp4Box> TopLevelBoxes(const std::string& path);
// The same of an MP4 file's bytes.
std::vector<Mp4Box> TopLevelBoxesOf(const std::string& bytes);
// How many of `boxes` are of `type`.
int CountBoxes(const std::vector<Mp4Box>& boxes, const std::string& type);

// Number of file descriptors the process has open.
int OpenDescriptorCount();

}  // namespace sorvo::test
