#include "host/PopupDrawer.h"

#include <SDL.h>

#include <algorithm>

namespace sorvo {

namespace {

std::atomic<PopupDrawerFactory> g_factory{nullptr};

// Until the first picture tells its size.
constexpr int kInitialWidth = 640;
constexpr int kInitialHeight = 360;
constexpr long kNoInterface = 0x80004002L;  // E_NOINTERFACE

int ChromaSize(int length) {
  return (length + 1) / 2;
}

int YuvPictureSize(int width, int height) {
  return width * height + 2 * ChromaSize(width) * ChromaSize(height);
}

}  // namespace

void SetPopupDrawerFactoryForTesting(PopupDrawerFactory factory) {
  g_factory.store(factory);
}

void SdlWindowDeleter::operator()(SDL_Window* window) const {
  SDL_DestroyWindow(window);
}
void SdlRendererDeleter::operator()(SDL_Renderer* renderer) const {
  SDL_DestroyRenderer(renderer);
}
void SdlTextureDeleter::operator()(SDL_Texture* texture) const {
  SDL_DestroyTexture(texture);
}

CPopupDrawer* CPopupDrawer::Create(const char* title, int x, int y, int maxWidth, int maxHeight) {
  PopupUiThread::Handle ui = PopupUiThread::Acquire();
  if (!ui)
    return nullptr;
  CPopupDrawer* drawer =
      new CPopupDrawer(std::move(ui), std::max(0, maxWidth), std::max(0, maxHeight));
  bool opened = false;
  drawer->m_ui->Invoke([&] { opened = drawer->OpenWindow(title != nullptr ? title : "", x, y); });
  if (opened)
    return drawer;
  drawer->Release();
  return nullptr;
}

CPopupDrawer::CPopupDrawer(PopupUiThread::Handle ui, int maxWidth, int maxHeight)
    : m_ui(std::move(ui)), m_nMaxWidth(maxWidth), m_nMaxHeight(maxHeight) {}

CPopupDrawer::~CPopupDrawer() {
  m_ui->Invoke([this] { CloseWindow(); });
}

long CPopupDrawer::QueryInterface(const GUID& /*iid*/, void** object) {
  if (object != nullptr)
    *object = nullptr;
  return kNoInterface;
}

long CPopupDrawer::AddRef() {
  return m_refCount.fetch_add(1) + 1;
}

long CPopupDrawer::Release() {
  const int32_t left = m_refCount.fetch_sub(1) - 1;
  if (left == 0)
    delete this;
  return left;
}

int CPopupDrawer::Draw(const char* /*channel*/,
                       double /*time*/,
                       unsigned char* data,
                       long size,
                       int width,
                       int height,
                       PixelFormat format,
                       int /*reserved1*/,
                       int /*reserved2*/) {
  if (format != PIX_FMT_YUV420P || data == nullptr || width <= 0 || height <= 0 || width > 16384 ||
      height > 16384)
    return 0;
  const int pictureSize = YuvPictureSize(width, height);
  if (size < pictureSize)
    return 0;
  if (m_bHidden.load())
    return 1;  // the user closed the window; recording goes on
  {
    std::lock_guard<std::mutex> hold(m_pictureLock);
    m_pending.assign(data, data + pictureSize);  // reuses the storage while the size holds
    m_nPendingWidth = width;
    m_nPendingHeight = height;
    m_bPending = true;
  }
  m_ui->Wake();
  return 1;
}

bool CPopupDrawer::OpenWindow(const char* title, int x, int y) {
  const int left = x < 0 ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : x;
  const int top = y < 0 ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : y;
  const int width = m_nMaxWidth > 0 ? std::min(kInitialWidth, m_nMaxWidth) : kInitialWidth;
  const int height = m_nMaxHeight > 0 ? std::min(kInitialHeight, m_nMaxHeight) : kInitialHeight;
  m_pWindow.reset(SDL_CreateWindow(title, left, top, width, height,
                                   SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE));
  if (!m_pWindow)
    return false;
  m_pRenderer.reset(SDL_CreateRenderer(m_pWindow.get(), -1, 0));
  if (!m_pRenderer) {
    m_pWindow.reset();
    return false;
  }
  m_nWindowId = SDL_GetWindowID(m_pWindow.get());
  m_ui->AddClient(this);
  Render();  // black until the first picture
  return true;
}

void CPopupDrawer::CloseWindow() {
  m_ui->RemoveClient(this);
  m_pTexture.reset();
  m_pRenderer.reset();
  m_pWindow.reset();
}

uint32_t CPopupDrawer::WindowId() const {
  return m_nWindowId;
}

void CPopupDrawer::Present() {
  if (!m_pRenderer)
    return;
  if (TakePendingPicture()) {
    UploadPicture();
    m_bRedraw = true;
  }
  if (m_bRedraw && !m_bHidden.load())
    Render();
}

bool CPopupDrawer::TakePendingPicture() {
  std::lock_guard<std::mutex> hold(m_pictureLock);
  if (!m_bPending)
    return false;
  m_pending.swap(m_shown);
  m_nShownWidth = m_nPendingWidth;
  m_nShownHeight = m_nPendingHeight;
  m_bPending = false;
  return true;
}

void CPopupDrawer::UploadPicture() {
  int textureWidth = 0;
  int textureHeight = 0;
  if (m_pTexture)
    SDL_QueryTexture(m_pTexture.get(), nullptr, nullptr, &textureWidth, &textureHeight);
  if (!m_pTexture || textureWidth != m_nShownWidth || textureHeight != m_nShownHeight) {
    m_pTexture.reset(SDL_CreateTexture(m_pRenderer.get(), SDL_PIXELFORMAT_IYUV,
                                       SDL_TEXTUREACCESS_STREAMING, m_nShownWidth, m_nShownHeight));
    if (!m_pTexture)
      return;
    FitWindowToPicture();
  }
  const int chromaWidth = ChromaSize(m_nShownWidth);
  const int chromaPlane = chromaWidth * ChromaSize(m_nShownHeight);
  const unsigned char* luma = m_shown.data();
  const unsigned char* blue = luma + m_nShownWidth * m_nShownHeight;
  SDL_UpdateYUVTexture(m_pTexture.get(), nullptr, luma, m_nShownWidth, blue, chromaWidth,
                       blue + chromaPlane, chromaWidth);
}

void CPopupDrawer::FitWindowToPicture() {
  // The window takes the picture's size, shrunk to the screen's usable area and to the
  // window's own bound when larger.
  SDL_Rect usable{0, 0, m_nShownWidth, m_nShownHeight};
  const int display = SDL_GetWindowDisplayIndex(m_pWindow.get());
  if (display < 0 || SDL_GetDisplayUsableBounds(display, &usable) != 0 || usable.w <= 0 ||
      usable.h <= 0) {
    usable.w = m_nShownWidth;
    usable.h = m_nShownHeight;
  }
  if (m_nMaxWidth > 0)
    usable.w = std::min(usable.w, m_nMaxWidth);
  if (m_nMaxHeight > 0)
    usable.h = std::min(usable.h, m_nMaxHeight);
  const double scale = std::min({1.0, static_cast<double>(usable.w) / m_nShownWidth,
                                 static_cast<double>(usable.h) / m_nShownHeight});
  SDL_SetWindowSize(m_pWindow.get(), std::max(1, static_cast<int>(m_nShownWidth * scale)),
                    std::max(1, static_cast<int>(m_nShownHeight * scale)));
}

void CPopupDrawer::Render() {
  m_bRedraw = false;
  SDL_Renderer* renderer = m_pRenderer.get();
  SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
  SDL_RenderClear(renderer);
  int outputWidth = 0;
  int outputHeight = 0;
  if (m_pTexture && SDL_GetRendererOutputSize(renderer, &outputWidth, &outputHeight) == 0 &&
      outputWidth > 0 && outputHeight > 0) {
    // Letterboxed: the whole picture, its aspect kept, centred in the window.
    const double scale = std::min(static_cast<double>(outputWidth) / m_nShownWidth,
                                  static_cast<double>(outputHeight) / m_nShownHeight);
    SDL_Rect target;
    target.w = std::max(1, static_cast<int>(m_nShownWidth * scale));
    target.h = std::max(1, static_cast<int>(m_nShownHeight * scale));
    target.x = (outputWidth - target.w) / 2;
    target.y = (outputHeight - target.h) / 2;
    SDL_RenderCopy(renderer, m_pTexture.get(), nullptr, &target);
  }
  SDL_RenderPresent(renderer);
}

void CPopupDrawer::OnWindowEvent(const SDL_Event& event) {
  switch (event.window.event) {
    case SDL_WINDOWEVENT_CLOSE:
      // Closing the preview must not stop the recording: the window only goes out of sight.
      SDL_HideWindow(m_pWindow.get());
      m_bHidden.store(true);
      break;
    case SDL_WINDOWEVENT_EXPOSED:
    case SDL_WINDOWEVENT_SIZE_CHANGED:
      m_bRedraw = true;
      break;
    default:
      break;
  }
}

bool CPopupDrawer::ReadPixelsForTesting(std::vector<uint32_t>* pixels, int* width, int* height) {
  bool read = false;
  m_ui->Invoke([&] {
    Present();
    Render();
    int w = 0;
    int h = 0;
    if (SDL_GetRendererOutputSize(m_pRenderer.get(), &w, &h) != 0 || w <= 0 || h <= 0)
      return;
    pixels->assign(static_cast<size_t>(w) * h, 0);
    read = SDL_RenderReadPixels(m_pRenderer.get(), nullptr, SDL_PIXELFORMAT_ARGB8888,
                                pixels->data(), w * 4) == 0;
    *width = w;
    *height = h;
  });
  return read;
}

std::string CPopupDrawer::GetTitleForTesting() {
  std::string title;
  m_ui->Invoke([&] { title = SDL_GetWindowTitle(m_pWindow.get()); });
  return title;
}

}  // namespace sorvo

int sorvo::CreatePopupDrawerWithin(const char* title,
                                   IPopupDrawer** drawer,
                                   int x,
                                   int y,
                                   int maxWidth,
                                   int maxHeight) {
  if (drawer == nullptr)
    return 0;
  if (PopupDrawerFactory factory = g_factory.load())
    return factory(title, drawer, x, y);
  *drawer = CPopupDrawer::Create(title, x, y, maxWidth, maxHeight);
  return *drawer != nullptr ? 1 : 0;
}

int CreatePopupDrawer(const char* title, IPopupDrawer** drawer, int x, int y) {
  return sorvo::CreatePopupDrawerWithin(title, drawer, x, y, 0, 0);
}
