// Owning pointers for GLib and GObject resources, and the one place where a GError becomes a
// QBYError. Only the platform layer and the Parts that are themselves a GLib-based interface
// (script runner, web sessions, password store) include this header.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <utility>

#include "platform/QBYError.h"

namespace qby {

// A move-only strong reference to a GObject. Adopting a floating reference sinks it, so a
// freshly created floating object is owned, not leaked.
template <typename T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  // Takes over one reference the caller owns (a "transfer full" return value).
  static GObjectPtr adopt(T* object) {
    GObjectPtr p;
    if (object && g_object_is_floating(object)) g_object_ref_sink(object);
    p.object_ = object;
    return p;
  }
  // Adds a reference of its own ("transfer none" values). A floating reference stays the
  // caller's to sink: taking it here would leave the caller with one reference too few.
  static GObjectPtr retain(T* object) {
    GObjectPtr p;
    if (object) p.object_ = static_cast<T*>(g_object_ref(object));
    return p;
  }
  GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  ~GObjectPtr() { reset(); }

  void reset() {
    if (object_) g_object_unref(std::exchange(object_, nullptr));
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  T* release() { return std::exchange(object_, nullptr); }

 private:
  T* object_ = nullptr;
};

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GErrorDeleter {
  void operator()(GError* e) const { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GMainContextDeleter {
  void operator()(GMainContext* c) const { g_main_context_unref(c); }
};
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextDeleter>;

struct GMainLoopDeleter {
  void operator()(GMainLoop* l) const { g_main_loop_unref(l); }
};
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopDeleter>;

struct GSourceDeleter {
  void operator()(GSource* s) const { g_source_unref(s); }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceDeleter>;

struct GVariantDeleter {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;

struct GBytesDeleter {
  void operator()(GBytes* b) const { g_bytes_unref(b); }
};
using GBytesPtr = std::unique_ptr<GBytes, GBytesDeleter>;

struct GStrvDeleter {
  void operator()(char** v) const { g_strfreev(v); }
};
using GStrvPtr = std::unique_ptr<char*, GStrvDeleter>;

struct GUriDeleter {
  void operator()(GUri* u) const { g_uri_unref(u); }
};
using GUriPtr = std::unique_ptr<GUri, GUriDeleter>;

struct GHashTableDeleter {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableDeleter>;

// The error's domain name (its quark's text), code and message.
inline QBYError errorFromGError(const GError* error) {
  if (!error) return QBYError::make(QBYErrorDomainGLib, 0, "Unknown error");
  return QBYError::make(g_quark_to_string(error->domain), error->code,
                        error->message ? error->message : "");
}

}  // namespace qby
