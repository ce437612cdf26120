// The sample tables of one track of a regular MP4 ('stts', 'stss', 'ctts', 'stsc', 'stsz'
// and 'stco' or 'co64'), made from its samples in decode order without holding them: a first
// pass counts what the boxes need and decides their forms, a second writes them into a file,
// so that the memory used does not depend on the number of samples.
//
// Threads: any; an object belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>

#include "codec/FragmentWalk.h"
#include "codec/Mp4Box.h"

namespace sorvo::mp4 {

class SampleTables {
 public:
  SampleTables();
  ~SampleTables();
  SampleTables(SampleTables&&) noexcept;
  SampleTables& operator=(SampleTables&&) noexcept;

  // First pass: every sample, then FinishCounting.
  void Count(const FragmentSample& sample) { Add(sample); }
  void FinishCounting();
  // The bytes of all the boxes, once counted.
  uint64_t Size() const;
  uint64_t Samples() const { return m_nSamples; }
  uint64_t SampleBytes() const { return m_nSampleBytes; }

  // Second pass: the boxes go to `file` from `offset` on; the same samples in the same
  // order, then FinishWriting, which is false when the file refused them.
  void StartWriting(PositionedFile* file, uint64_t offset);
  void Write(const FragmentSample& sample) { Add(sample); }
  bool FinishWriting();

 private:
  struct Table;

  void Add(const FragmentSample& sample);
  void EndChunk();
  // Emits the runs still open.
  void Flush();
  void Reset();

  // What the first pass decided.
  bool m_bCounted = false;
  bool m_bAllSync = true;
  bool m_bComposition = false;        // some sample has a composition offset
  bool m_bSignedComposition = false;  // and one is negative
  bool m_bConstantSize = true;
  bool m_bWideOffsets = false;
  uint32_t m_nFirstSize = 0;

  // Running state of a pass.
  uint64_t m_nSamples = 0;
  uint64_t m_nSampleBytes = 0;
  uint64_t m_nChunks = 0;
  uint32_t m_nRunDuration = 0;
  uint64_t m_nDurationRun = 0;
  int64_t m_nRunComposition = 0;
  uint64_t m_nCompositionRun = 0;
  uint64_t m_nChunkSamples = 0;  // of the chunk being read
  uint32_t m_nChunkDescription = 0;
  uint64_t m_nLastChunkSamples = 0;  // of the last 'stsc' entry
  uint32_t m_nLastChunkDescription = 0;

  std::unique_ptr<Table> m_stts, m_stss, m_ctts, m_stsc, m_stsz, m_stco;
};

}  // namespace sorvo::mp4
