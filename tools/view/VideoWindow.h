// Shows received MPEG-4 Part 2 packets, decoded, in an SDL2 window that scales them to its
// size. Closing the window or pressing q or Escape asks the viewer to stop.
//
// Main thread only: SDL2's windows and events belong to the thread that made them. SDL is
// kept from installing signal handlers, so that Ctrl-C reaches the viewer's own.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"
#include "tools/common/Mpeg4Decoder.h"

struct SDL_Renderer;
struct SDL_Texture;
struct SDL_Window;

namespace sorvo::tools {

class VideoWindow {
 public:
  VideoWindow() = default;
  ~VideoWindow();
  VideoWindow(const VideoWindow&) = delete;
  VideoWindow& operator=(const VideoWindow&) = delete;

  // False with `error` set when SDL2 or the decoder cannot start.
  bool Open(const std::string& title, int width, int height, std::string* error);
  // Decodes the packet and shows its picture. Returns the pictures shown (0 or 1).
  int Show(const uint8_t* data, size_t size);
  // Handles the window's events; false once the user asked to stop.
  bool PumpEvents();

  long long decodeErrors() const { return m_decodeErrors; }

 private:
  bool Present(const AVFrame* frame);

  bool m_sdlStarted = false;
  SDL_Window* m_window = nullptr;
  SDL_Renderer* m_renderer = nullptr;
  SDL_Texture* m_texture = nullptr;
  int m_textureWidth = 0;
  int m_textureHeight = 0;
  Mpeg4Decoder m_decoder;
  ScalerPtr m_scaler;
  FramePtr m_converted{av_frame_alloc()};
  long long m_decodeErrors = 0;
};

}  // namespace sorvo::tools
