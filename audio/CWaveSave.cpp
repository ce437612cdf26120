#include "audio/CWaveSave.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "audio/CMMIOException.h"
#include "audio/WaveSampleFormat.h"

namespace {

// The fields of the "fmt " chunk.
struct PcmLayout {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
};

// Block align as RIFF/WAVE defines it for PCM: each sample takes whole bytes, so a 12-bit
// sample is stored in two. Empty when the record describes no sound or a layout the 16-
// and 32-bit fields cannot hold, since such a header would be read wrongly.
std::optional<PcmLayout> LayoutFor(const WAVEFORMATEX& format) {
  const uint32_t blockAlign =
      uint32_t{format.nChannels} * ((uint32_t{format.wBitsPerSample} + 7) / 8);
  const uint64_t bytesPerSec = uint64_t{blockAlign} * format.nSamplesPerSec;
  if (blockAlign == 0 || blockAlign > UINT16_MAX || format.nSamplesPerSec == 0 ||
      bytesPerSec > UINT32_MAX)
    return std::nullopt;
  // Readers take the samples of a file that says integer PCM as integers, so floating-point
  // samples must say so.
  const uint16_t tag = sorvo::IsFloatWave(format) ? sorvo::kWaveFormatIeeeFloat : WAVE_FORMAT_PCM;
  return PcmLayout{tag,
                   format.nChannels,
                   format.nSamplesPerSec,
                   static_cast<uint32_t>(bytesPerSec),
                   static_cast<uint16_t>(blockAlign),
                   format.wBitsPerSample};
}

void Check(MMRESULT result) {
  if (result != MMSYSERR_NOERROR)
    throw CMMIOException(result);
}

char* Put16(char* out, uint16_t value) {
  out[0] = static_cast<char>(value & 0xFF);
  out[1] = static_cast<char>(value >> 8);
  return out + 2;
}

char* Put32(char* out, uint32_t value) {
  return Put16(Put16(out, static_cast<uint16_t>(value & 0xFFFF)),
               static_cast<uint16_t>(value >> 16));
}

constexpr uint32_t kCreateFlags = MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF | MMIO_DENYWRITE;
constexpr uint32_t kFormatChunkSize = 16;
// RF64's 'ds64' payload: RIFF size, data size and sample count (64 bits each), and the
// length of a table of other chunks' sizes, which these files never need.
constexpr uint32_t kWideSizesBytes = 28;
// The end of the PCM beyond which 32-bit sizes no longer count the file (RIFF size, pad
// byte included, at most 0xFFFFFFFF).
constexpr int64_t kLargestPlainEnd = 8 + int64_t{0xFFFFFFFF} - 1;

// Writes everything up to the first PCM byte; `riff` and `current` are left open, and the
// place kept for 64-bit sizes goes to *wideSizes.
void WriteHeader(HMMIO hmmio,
                 const PcmLayout& layout,
                 MMCKINFO* riff,
                 MMCKINFO* current,
                 uint32_t* wideSizes) {
  *riff = MMCKINFO{};
  riff->fccType = mmioFOURCC('W', 'A', 'V', 'E');
  Check(mmioCreateChunk(hmmio, riff, MMIO_CREATERIFF));

  MMCKINFO junk{};
  junk.ckid = mmioFOURCC('J', 'U', 'N', 'K');
  junk.cksize = kWideSizesBytes;
  Check(mmioCreateChunk(hmmio, &junk, 0));
  const char reserved[kWideSizesBytes] = {};
  if (mmioWrite(hmmio, reserved, sizeof reserved) == -1)
    throw CMMIOException(CMMIOException::kWriteFailed);
  Check(mmioAscend(hmmio, &junk, 0));
  *wideSizes = junk.dwDataOffset;

  *current = MMCKINFO{};
  current->ckid = mmioFOURCC('f', 'm', 't', ' ');
  current->cksize = kFormatChunkSize;
  Check(mmioCreateChunk(hmmio, current, 0));
  char record[kFormatChunkSize];
  char* out = Put16(record, layout.formatTag);
  out = Put16(out, layout.channels);
  out = Put32(out, layout.samplesPerSec);
  out = Put32(out, layout.avgBytesPerSec);
  out = Put16(out, layout.blockAlign);
  Put16(out, layout.bitsPerSample);
  if (mmioWrite(hmmio, record, sizeof record) == -1)
    throw CMMIOException(CMMIOException::kWriteFailed);
  Check(mmioAscend(hmmio, current, 0));

  current->ckid = mmioFOURCC('d', 'a', 't', 'a');
  current->cksize = 0;
  Check(mmioCreateChunk(hmmio, current, 0));
  // On disk now, with the RIFF size of a file without PCM: a full disk shows here rather
  // than at the first PCM, and a recording cut off before any size update is a valid WAV
  // file all the same.
  Check(mmioUpdateChunkSize(hmmio, riff));
}

char* Put64(char* out, uint64_t value) {
  return Put32(Put32(out, static_cast<uint32_t>(value & 0xFFFFFFFF)),
               static_cast<uint32_t>(value >> 32));
}

// Overwrites the 32-bit size field at `offset` of an unbuffered handle.
bool PutSizeField(HMMIO hmmio, int64_t offset, uint32_t size) {
  char field[4];
  Put32(field, size);
  return mmioSeek(hmmio, static_cast<long>(offset), SEEK_SET) == offset &&
         mmioWrite(hmmio, field, sizeof field) == sizeof field;
}

}  // namespace

CWaveSave::CWaveSave() : m_nRf64From(kLargestPlainEnd) {}

CWaveSave::~CWaveSave() {
  Finish();
}

int CWaveSave::Create(const char* path, const WAVEFORMATEX& format) {
  if (path == nullptr)
    return 0;
  size_t length = 0;
  while (length <= kMaxPath && path[length] != '\0')
    ++length;
  if (length > kMaxPath)
    return 0;
  const std::optional<PcmLayout> layout = LayoutFor(format);
  if (!layout)
    return 0;
  Close(0);
  m_strPath.assign(path, length);
  // A file that another writer still holds stays; the open below then fails.
  mmioOpenA(path, nullptr, MMIO_DELETE);
  try {
    Open(path, kCreateFlags);
  } catch (const CMMIOException&) {
    return 0;
  }
  m_nUnsized = 0;
  // Half a second of sound, so that a source delivering in real time sees the sizes
  // written more than once a second.
  m_nSizeEvery = std::max<int64_t>(layout->avgBytesPerSec / 2, 1);
  m_nBlockAlign = layout->blockAlign;
  m_bRf64 = false;
  m_bPadded = false;
  try {
    WriteHeader(m_hmmio, *layout, &m_ckRiff, &m_ckCurrent, &m_nWideSizes);
  } catch (const CMMIOException&) {
    // A header that could not be written leaves nothing worth keeping.
    mmioClose(m_hmmio, 0);
    m_hmmio = nullptr;
    mmioOpenA(path, nullptr, MMIO_DELETE);
    throw;
  }
  return 1;
}

bool CWaveSave::Append(const void* data, long length) {
  if (m_hmmio == nullptr || length < 0)
    return false;
  if (!m_bRf64 && mmioSeek(m_hmmio, 0, SEEK_CUR) + length > m_nRf64From && !BecomeRf64())
    return false;
  if (mmioWrite(m_hmmio, static_cast<const char*>(data), length) != length)
    return false;
  m_nUnsized += length;
  return m_nUnsized < m_nSizeEvery || UpdateSizes();
}

bool CWaveSave::BecomeRf64() {
  // The 64-bit sizes go into the 'JUNK' chunk while readers still skip it; then one write
  // makes the file RF64 and the chunk 'ds64'; then the data size says "see ds64".
  char head[16];
  char* out = Put32(head, mmioFOURCC('R', 'F', '6', '4'));
  out = Put32(out, 0xFFFFFFFF);
  out = Put32(out, mmioFOURCC('W', 'A', 'V', 'E'));
  Put32(out, mmioFOURCC('d', 's', '6', '4'));
  char unknown[4];
  Put32(unknown, 0xFFFFFFFF);
  if (!WriteWideSizes(m_hmmio, mmioSeek(m_hmmio, 0, SEEK_CUR), 0) ||
      mmioWriteAt(m_hmmio, 0, head, sizeof head) != MMSYSERR_NOERROR)
    return false;
  // From here on an RF64 file, whose 'ds64' sizes readers take, whatever else fails.
  m_bRf64 = true;
  mmioAllowLargeFile(m_hmmio);
  return mmioWriteAt(m_hmmio, m_ckCurrent.dwDataOffset - 4, unknown, sizeof unknown) ==
         MMSYSERR_NOERROR;
}

bool CWaveSave::WriteWideSizes(HMMIO hmmio, int64_t end, int pad) const {
  const int64_t data = end - m_ckCurrent.dwDataOffset;
  if (m_nWideSizes == 0 || data < 0)
    return false;
  char sizes[24];
  char* out = Put64(sizes, static_cast<uint64_t>(end + pad - 8));
  out = Put64(out, static_cast<uint64_t>(data));
  Put64(out, static_cast<uint64_t>(data / m_nBlockAlign));
  // One write: the three sizes always agree with each other.
  return mmioWriteAt(hmmio, m_nWideSizes, sizes, sizeof sizes) == MMSYSERR_NOERROR;
}

bool CWaveSave::UpdateSizes() {
  if (m_bRf64) {
    // The PCM is written before the sizes that count it (mmioWriteAt writes what the
    // handle buffers first).
    if (!WriteWideSizes(m_hmmio, mmioSeek(m_hmmio, 0, SEEK_CUR), 0))
      return false;
    m_nUnsized = 0;
    return true;
  }
  // The data chunk first: should the process end between the two writes, the RIFF form
  // still ends at or before the end of the file. Each call writes the buffered PCM before
  // its field.
  if (mmioUpdateChunkSize(m_hmmio, &m_ckCurrent) != MMSYSERR_NOERROR ||
      mmioUpdateChunkSize(m_hmmio, &m_ckRiff) != MMSYSERR_NOERROR)
    return false;
  m_nUnsized = 0;
  return true;
}

void CWaveSave::Close(uint32_t /*flags*/) {
  if (m_hmmio == nullptr)
    return;
  if (m_bRf64) {
    // A pad byte follows odd PCM, as in a RIFF file; the sizes count the PCM without it.
    int64_t end = mmioSeek(m_hmmio, 0, SEEK_CUR) - (m_bPadded ? 1 : 0);
    if (!m_bPadded && ((end - m_ckCurrent.dwDataOffset) & 1) != 0) {
      if (mmioWrite(m_hmmio, "", 1) != 1)
        throw CMMIOException(CMMIOException::kWriteFailed);
      m_bPadded = true;
    }
    if (!WriteWideSizes(m_hmmio, end, m_bPadded ? 1 : 0))
      throw CMMIOException(MMIOERR_CANNOTWRITE);
    CMMIOFile::Close(0);
    return;
  }
  Check(mmioAscend(m_hmmio, &m_ckCurrent, 0));
  Check(mmioAscend(m_hmmio, &m_ckRiff, 0));
  CMMIOFile::Close(0);
}

bool CWaveSave::Finish() noexcept {
  if (m_hmmio == nullptr)
    return true;
  try {
    Close(0);
    return true;
  } catch (const CMMIOException&) {
  }
  // What the handle still buffers cannot reach the file; closing it is the only way to let
  // go of those bytes (the close reports them lost, which is known already).
  mmioClose(m_hmmio, 0);
  m_hmmio = nullptr;
  return WriteSizesFromDisk();
}

bool CWaveSave::WriteSizesFromDisk() const {
  // Unbuffered: each write below reaches the file or fails at once.
  HMMIO file = mmioOpenA(m_strPath.c_str(), nullptr, MMIO_READWRITE | MMIO_DENYWRITE);
  if (file == nullptr)
    return false;
  const int64_t dataStart = m_ckCurrent.dwDataOffset;
  const bool dataFinished = (m_ckCurrent.dwFlags & MMIO_DIRTY) == 0;
  int64_t end = mmioSeek(file, 0, SEEK_END);
  bool written = dataStart >= 8 && end >= dataStart;
  if (written && m_bRf64) {
    mmioAllowLargeFile(file);
    const int64_t dataEnd = end - (m_bPadded ? 1 : 0);
    int pad = m_bPadded ? 1 : 0;
    if (!m_bPadded && ((dataEnd - dataStart) & 1) != 0 && mmioWrite(file, "", 1) == 1)
      pad = 1;
    written = WriteWideSizes(file, dataEnd, pad);
  } else if (written) {
    const uint32_t dataSize =
        dataFinished ? m_ckCurrent.cksize : static_cast<uint32_t>(end - dataStart);
    // An odd chunk is followed by a pad byte where the file still takes one; readers also
    // accept a last chunk without it.
    if (!dataFinished && (dataSize & 1) != 0 && mmioWrite(file, "", 1) == 1)
      ++end;
    written = PutSizeField(file, dataStart - 4, dataSize) &&
              PutSizeField(file, m_ckRiff.dwDataOffset - 4,
                           static_cast<uint32_t>(end - m_ckRiff.dwDataOffset));
  }
  return mmioClose(file, 0) == MMSYSERR_NOERROR && written;
}
