#include "codec/SampleTables.h"

#include <limits>
#include <optional>

namespace sorvo::mp4 {

// One box: its entries are counted in both passes and written in the second.
struct SampleTables::Table {
  Table(uint32_t boxType, int fieldBytes) : type(boxType), entryBytes(fieldBytes) {}

  uint32_t type;
  int entryBytes;
  bool present = true;
  uint64_t entries = 0;  // this pass
  uint64_t counted = 0;  // the first pass's
  std::optional<FileWriter> writer;

  // 'stsz' has the sample size before its count, and entries only for varying sizes.
  uint64_t Size(bool sizes, bool constant) const {
    if (!present)
      return 0;
    return (sizes ? 20 : 16) + (sizes && constant ? 0 : counted * entryBytes);
  }
  void Put(uint32_t value) {
    if (writer)
      writer->Write32(value);
  }
  void Put64(uint64_t value) {
    if (writer)
      writer->Write64(value);
  }
};

SampleTables::SampleTables()
    : m_stts(std::make_unique<Table>(FourCc("stts"), 8)),
      m_stss(std::make_unique<Table>(FourCc("stss"), 4)),
      m_ctts(std::make_unique<Table>(FourCc("ctts"), 8)),
      m_stsc(std::make_unique<Table>(FourCc("stsc"), 12)),
      m_stsz(std::make_unique<Table>(FourCc("stsz"), 4)),
      m_stco(std::make_unique<Table>(FourCc("stco"), 4)) {}

SampleTables::~SampleTables() = default;
SampleTables::SampleTables(SampleTables&&) noexcept = default;
SampleTables& SampleTables::operator=(SampleTables&&) noexcept = default;

void SampleTables::Add(const FragmentSample& sample) {
  if (sample.chunkStart || m_nChunkSamples == 0 || sample.descriptionIndex != m_nChunkDescription) {
    EndChunk();
    ++m_nChunks;
    if (sample.offset > std::numeric_limits<uint32_t>::max())
      m_bWideOffsets |= !m_bCounted;
    if (m_bWideOffsets)
      m_stco->Put64(sample.offset);
    else
      m_stco->Put(static_cast<uint32_t>(sample.offset));
    ++m_stco->entries;
    m_nChunkDescription = sample.descriptionIndex;
  }
  ++m_nChunkSamples;
  ++m_nSamples;
  m_nSampleBytes += sample.size;

  if (m_nDurationRun > 0 && sample.duration != m_nRunDuration) {
    m_stts->Put(static_cast<uint32_t>(m_nDurationRun));
    m_stts->Put(m_nRunDuration);
    ++m_stts->entries;
    m_nDurationRun = 0;
  }
  m_nRunDuration = sample.duration;
  ++m_nDurationRun;

  if (m_nCompositionRun > 0 && sample.compositionOffset != m_nRunComposition) {
    m_ctts->Put(static_cast<uint32_t>(m_nCompositionRun));
    m_ctts->Put(static_cast<uint32_t>(m_nRunComposition));
    ++m_ctts->entries;
    m_nCompositionRun = 0;
  }
  m_nRunComposition = sample.compositionOffset;
  ++m_nCompositionRun;

  if (sample.sync) {
    m_stss->Put(static_cast<uint32_t>(m_nSamples));
    ++m_stss->entries;
  }
  m_stsz->Put(sample.size);
  ++m_stsz->entries;

  if (!m_bCounted) {
    m_bAllSync &= sample.sync;
    m_bComposition |= sample.compositionOffset != 0;
    m_bSignedComposition |= sample.compositionOffset < 0;
    if (m_nSamples == 1)
      m_nFirstSize = sample.size;
    m_bConstantSize &= sample.size == m_nFirstSize;
  }
}

void SampleTables::EndChunk() {
  if (m_nChunkSamples == 0)
    return;
  if (m_nChunkSamples != m_nLastChunkSamples || m_nChunkDescription != m_nLastChunkDescription) {
    m_stsc->Put(static_cast<uint32_t>(m_nChunks));
    m_stsc->Put(static_cast<uint32_t>(m_nChunkSamples));
    m_stsc->Put(m_nChunkDescription);
    ++m_stsc->entries;
    m_nLastChunkSamples = m_nChunkSamples;
    m_nLastChunkDescription = m_nChunkDescription;
  }
  m_nChunkSamples = 0;
}

void SampleTables::Flush() {
  EndChunk();
  if (m_nDurationRun > 0) {
    m_stts->Put(static_cast<uint32_t>(m_nDurationRun));
    m_stts->Put(m_nRunDuration);
    ++m_stts->entries;
  }
  if (m_nCompositionRun > 0) {
    m_ctts->Put(static_cast<uint32_t>(m_nCompositionRun));
    m_ctts->Put(static_cast<uint32_t>(m_nRunComposition));
    ++m_ctts->entries;
  }
}

void SampleTables::FinishCounting() {
  Flush();
  m_bConstantSize &= m_nSamples > 0;
  m_stss->present = !m_bAllSync;
  m_ctts->present = m_bComposition;
  if (m_bWideOffsets) {
    m_stco->type = FourCc("co64");
    m_stco->entryBytes = 8;
  }
  for (Table* table :
       {m_stts.get(), m_stss.get(), m_ctts.get(), m_stsc.get(), m_stsz.get(), m_stco.get()})
    table->counted = table->entries;
  m_bCounted = true;
}

uint64_t SampleTables::Size() const {
  uint64_t size = 0;
  for (const Table* table : {m_stts.get(), m_stss.get(), m_ctts.get(), m_stsc.get(), m_stco.get()})
    size += table->Size(false, false);
  return size + m_stsz->Size(true, m_bConstantSize);
}

void SampleTables::Reset() {
  m_nSamples = m_nSampleBytes = m_nChunks = 0;
  m_nDurationRun = m_nCompositionRun = m_nChunkSamples = m_nLastChunkSamples = 0;
  m_nRunDuration = m_nChunkDescription = m_nLastChunkDescription = 0;
  m_nRunComposition = 0;
}

void SampleTables::StartWriting(PositionedFile* file, uint64_t offset) {
  Reset();
  for (Table* table :
       {m_stts.get(), m_stss.get(), m_ctts.get(), m_stsc.get(), m_stsz.get(), m_stco.get()}) {
    table->entries = 0;
    if (!table->present)
      continue;
    const bool sizes = table == m_stsz.get();
    const uint64_t size = table->Size(sizes, m_bConstantSize);
    table->writer.emplace(file, offset);
    table->writer->Write32(static_cast<uint32_t>(size));
    table->writer->Write32(table->type);
    table->writer->Write32(table == m_ctts.get() && m_bSignedComposition ? 1u << 24 : 0);
    if (sizes) {
      table->writer->Write32(m_bConstantSize ? m_nFirstSize : 0);
      table->writer->Write32(static_cast<uint32_t>(table->counted));
      // A constant size needs no entries.
      if (m_bConstantSize) {
        table->writer->Flush();
        table->writer.reset();
      }
    } else {
      table->writer->Write32(static_cast<uint32_t>(table->counted));
    }
    offset += size;
  }
}

bool SampleTables::FinishWriting() {
  Flush();
  bool written = true;
  for (Table* table :
       {m_stts.get(), m_stss.get(), m_ctts.get(), m_stsc.get(), m_stsz.get(), m_stco.get()}) {
    // The second pass must have seen what the first counted, or the sizes are wrong.
    written &= table->entries == table->counted;
    if (table->writer)
      written &= table->writer->Flush();
    table->writer.reset();
  }
  return written;
}

}  // namespace sorvo::mp4
