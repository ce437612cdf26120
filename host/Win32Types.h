// Plain records standing in for the Win32 ones that cross the module's interface. They keep
// the Win32 member names and widths so that code and stored bytes read the same.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// The platform's wave format record: exactly 18 bytes, little-endian, no padding.
struct tWAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
typedef tWAVEFORMATEX WAVEFORMATEX;
static_assert(sizeof(tWAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");

constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
typedef const GUID& REFIID;

struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// MFC's rectangle, reduced to what the module uses.
struct CRect : RECT {
  CRect() : RECT{0, 0, 0, 0} {}
  CRect(int32_t l, int32_t t, int32_t r, int32_t b) : RECT{l, t, r, b} {}
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const CRect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
};

struct BITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");

struct tagVIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  uint32_t dwBitRate;
  uint32_t dwBitErrorRate;
  int64_t AvgTimePerFrame;  // 100-nanosecond units
  BITMAPINFOHEADER bmiHeader;
};
typedef tagVIDEOINFOHEADER VIDEOINFOHEADER;
