// A smart pointer over a reference-counted module object (AddRef/Release), as the host's
// framework offers it: constructing from a raw pointer or copying takes a reference,
// destruction and reassignment release one. Attach adopts a reference the caller already
// holds (the one CreateSorvo hands out) without taking another.
//
// Not thread-safe itself: an instance shared between threads needs its owner's lock.
#pragma once

#include <utility>

template <class T>
class CComPtr {
 public:
  CComPtr() = default;
  CComPtr(T* object) : m_p(object) {  // NOLINT: implicit, as the framework's is
    if (m_p != nullptr)
      m_p->AddRef();
  }
  CComPtr(const CComPtr& other) : CComPtr(other.m_p) {}
  CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  ~CComPtr() { Release(); }

  CComPtr& operator=(const CComPtr& other) {
    CComPtr(other).Swap(*this);
    return *this;
  }
  CComPtr& operator=(CComPtr&& other) noexcept {
    CComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  CComPtr& operator=(T* object) {
    CComPtr(object).Swap(*this);
    return *this;
  }

  // Adopts `object`'s reference; the one held before is released.
  void Attach(T* object) {
    Release();
    m_p = object;
  }
  // Gives the reference up to the caller without releasing it.
  T* Detach() { return std::exchange(m_p, nullptr); }
  // Releases the reference held, if any, and empties the pointer.
  void Release() {
    if (T* object = std::exchange(m_p, nullptr))
      object->Release();
  }

  T* get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  operator T*() const { return m_p; }  // NOLINT: implicit, as the framework's is

 private:
  void Swap(CComPtr& other) noexcept { std::swap(m_p, other.m_p); }

  T* m_p = nullptr;
};
