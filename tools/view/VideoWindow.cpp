#include "tools/view/VideoWindow.h"

#include <SDL.h>

extern "C" {
#include <libswscale/swscale.h>
}

namespace sorvo::tools {

VideoWindow::~VideoWindow() {
  if (m_texture != nullptr) SDL_DestroyTexture(m_texture);
  if (m_renderer != nullptr) SDL_DestroyRenderer(m_renderer);
  if (m_window != nullptr) SDL_DestroyWindow(m_window);
  if (m_sdlStarted) SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

bool VideoWindow::Open(const std::string& title, int width, int height, std::string* error) {
  if (!m_decoder.Open(error))
    return false;
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    *error = std::string("cannot start SDL2 video: ") + SDL_GetError();
    return false;
  }
  m_sdlStarted = true;
  m_window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                              width, height, SDL_WINDOW_RESIZABLE);
  if (m_window != nullptr) m_renderer = SDL_CreateRenderer(m_window, -1, 0);
  if (m_renderer == nullptr) {
    *error = std::string("cannot open a window: ") + SDL_GetError();
    return false;
  }
  SDL_RenderSetLogicalSize(m_renderer, width, height);
  return true;
}

bool VideoWindow::Present(const AVFrame* frame) {
  if (m_texture == nullptr || frame->width != m_textureWidth || frame->height != m_textureHeight) {
    if (m_texture != nullptr) SDL_DestroyTexture(m_texture);
    m_texture = SDL_CreateTexture(m_renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                  frame->width, frame->height);
    if (m_texture == nullptr) return false;
    m_textureWidth = frame->width;
    m_textureHeight = frame->height;
    SDL_RenderSetLogicalSize(m_renderer, frame->width, frame->height);
  }
  // The decoder gives planar YUV 4:2:0; anything else is converted first.
  const AVFrame* shown = frame;
  if (frame->format != AV_PIX_FMT_YUV420P) {
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame->width, frame->height,
                                        static_cast<AVPixelFormat>(frame->format), frame->width,
                                        frame->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                        nullptr, nullptr));
    av_frame_unref(m_converted.get());
    m_converted->format = AV_PIX_FMT_YUV420P;
    m_converted->width = frame->width;
    m_converted->height = frame->height;
    if (!m_scaler || av_frame_get_buffer(m_converted.get(), 0) < 0) return false;
    sws_scale(m_scaler.get(), frame->data, frame->linesize, 0, frame->height,
              m_converted->data, m_converted->linesize);
    shown = m_converted.get();
  }
  SDL_UpdateYUVTexture(m_texture, nullptr, shown->data[0], shown->linesize[0], shown->data[1],
                       shown->linesize[1], shown->data[2], shown->linesize[2]);
  SDL_RenderClear(m_renderer);
  SDL_RenderCopy(m_renderer, m_texture, nullptr, nullptr);
  SDL_RenderPresent(m_renderer);
  return true;
}

int VideoWindow::Show(const uint8_t* data, size_t size) {
  int shown = 0;
  if (!m_decoder.Decode(data, size, [&](const AVFrame* frame) {
        if (Present(frame))
          shown = 1;
      }))
    ++m_decodeErrors;
  return shown;
}

bool VideoWindow::PumpEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type == SDL_QUIT) return false;
    if (event.type == SDL_KEYDOWN &&
        (event.key.keysym.sym == SDLK_q || event.key.keysym.sym == SDLK_ESCAPE))
      return false;
  }
  return true;
}

}  // namespace sorvo::tools
