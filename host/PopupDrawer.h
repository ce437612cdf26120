// The drawing library's pop-up window: an SDL2 window that shows YUV 4:2:0 pictures, driven
// by the process's shared UI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/IPopupDrawer.h"
#include "host/PopupUiThread.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace sorvo {

// What CreatePopupDrawer calls instead of opening a window, for tests; nullptr restores
// the windows.
using PopupDrawerFactory = int (*)(const char* title, IPopupDrawer** drawer, int x, int y);
void SetPopupDrawerFactoryForTesting(PopupDrawerFactory factory);

// CreatePopupDrawer for a window that shows its pictures within maxWidth x maxHeight (0 for
// either: only the screen bounds it), as a host tiling several windows wants.
int CreatePopupDrawerWithin(const char* title, IPopupDrawer** drawer, int x, int y, int maxWidth,
                            int maxHeight);

struct SdlWindowDeleter {
  void operator()(SDL_Window* window) const;
};
struct SdlRendererDeleter {
  void operator()(SDL_Renderer* renderer) const;
};
struct SdlTextureDeleter {
  void operator()(SDL_Texture* texture) const;
};

// One window. Reference counted; the last Release closes the window.
//
// Threads: Draw runs on the caller's drawing thread and only copies the picture into
// m_pending under m_pictureLock; AddRef and Release on any thread but the UI thread (the
// last Release waits for the UI thread to close the window); everything that touches SDL
// (the window, renderer, texture and m_shown) runs on the UI thread only. The UI thread
// takes m_pictureLock briefly to swap the newest picture in; no other lock is held then.
class CPopupDrawer final : public IPopupDrawer, private PopupUiClient {
 public:
  // A window titled `title` at (x, y) (-1: where the system puts it), never larger than
  // maxWidth x maxHeight (0: no bound but the screen); null when there is no display or SDL
  // cannot open a window.
  static CPopupDrawer* Create(const char* title, int x, int y, int maxWidth = 0,
                              int maxHeight = 0);

  long QueryInterface(const GUID& iid, void** object) override;
  long AddRef() override;
  long Release() override;
  // Copies a YUV 4:2:0 picture (format 0, `size` at least its picture size) for display
  // and returns at once: 1. 0 for anything else, which is not shown.
  int Draw(const char* channel,
           double time,
           unsigned char* data,
           long size,
           int width,
           int height,
           PixelFormat format,
           int reserved1,
           int reserved2) override;

  // Shows the newest picture and reads the window's pixels back as 0xAARRGGBB rows.
  bool ReadPixelsForTesting(std::vector<uint32_t>* pixels, int* width, int* height);
  std::string GetTitleForTesting();

 private:
  CPopupDrawer(PopupUiThread::Handle ui, int maxWidth, int maxHeight);
  ~CPopupDrawer() override;

  // UI thread.
  bool OpenWindow(const char* title, int x, int y);
  void CloseWindow();
  uint32_t WindowId() const override;
  void Present() override;
  void OnWindowEvent(const SDL_Event& event) override;
  bool TakePendingPicture();
  void UploadPicture();
  void FitWindowToPicture();
  void Render();

  std::atomic<int32_t> m_refCount{1};
  PopupUiThread::Handle m_ui;
  const int m_nMaxWidth;   // 0: no bound
  const int m_nMaxHeight;  // 0: no bound
  std::atomic<bool> m_bHidden{false};  // the user closed the window; written on the UI thread

  std::mutex m_pictureLock;
  std::vector<unsigned char> m_pending;  // guarded by m_pictureLock
  int m_nPendingWidth = 0;               // guarded by m_pictureLock
  int m_nPendingHeight = 0;              // guarded by m_pictureLock
  bool m_bPending = false;               // guarded by m_pictureLock

  // UI thread only.
  std::unique_ptr<SDL_Window, SdlWindowDeleter> m_pWindow;
  std::unique_ptr<SDL_Renderer, SdlRendererDeleter> m_pRenderer;
  std::unique_ptr<SDL_Texture, SdlTextureDeleter> m_pTexture;
  uint32_t m_nWindowId = 0;
  std::vector<unsigned char> m_shown;
  int m_nShownWidth = 0;
  int m_nShownHeight = 0;
  bool m_bRedraw = false;
};

}  // namespace sorvo
