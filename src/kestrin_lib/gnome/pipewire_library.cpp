#include "kestrin_lib/gnome/pipewire_library.hpp"

#include <dlfcn.h>
#include <pipewire/pipewire.h>

#include <cstdarg>
#include <mutex>
#include <string>

namespace kestrin::gnome {
namespace {

constexpr const char* library_name = "libpipewire-0.3.so.0";

// Every pw_ function the backend uses, looked up by its own name with its
// declared type.
#define KESTRIN_PIPEWIRE_FUNCTIONS(X)                                                                     \
  X(pw_init) X(pw_context_new) X(pw_context_destroy) X(pw_context_connect) X(pw_core_disconnect)          \
  X(pw_properties_new_dict) X(pw_properties_set) X(pw_stream_new) X(pw_stream_destroy)                  \
  X(pw_stream_add_listener) X(pw_stream_connect) X(pw_stream_update_params) X(pw_stream_dequeue_buffer)  \
  X(pw_stream_queue_buffer) X(pw_thread_loop_new) X(pw_thread_loop_destroy) X(pw_thread_loop_get_loop)   \
  X(pw_thread_loop_start) X(pw_thread_loop_stop) X(pw_thread_loop_lock) X(pw_thread_loop_unlock)

struct Functions {
#define KESTRIN_SLOT(name) decltype(&::name) name = nullptr;
  KESTRIN_PIPEWIRE_FUNCTIONS(KESTRIN_SLOT)
#undef KESTRIN_SLOT
};

Functions functions;

Status load() {
  // Never closed: PipeWire's threads and plugins may outlive any one session.
  void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    return std::unexpected(Error::ordinary(
        std::string("PipeWire's library ") + library_name +
            " could not be loaded: install PipeWire's client library (Debian and Ubuntu: the package "
            "libpipewire-0.3-0; Fedora: pipewire-libs)",
        {reason != nullptr ? reason : "dlopen failed"}));
  }
  Functions loaded;
#define KESTRIN_LOOKUP(name)                                                                              \
  loaded.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));                               \
  if (loaded.name == nullptr)                                                                             \
    return std::unexpected(Error::ordinary(std::string(library_name) + " lacks " #name ": a PipeWire older " \
                                           "than 0.3.40 is not supported"));
  KESTRIN_PIPEWIRE_FUNCTIONS(KESTRIN_LOOKUP)
#undef KESTRIN_LOOKUP
  functions = loaded;
  return {};
}

}  // namespace

Status load_pipewire() {
  static std::once_flag once;
  static Status outcome;
  std::call_once(once, [] { outcome = load(); });
  return outcome;
}

}  // namespace kestrin::gnome

using kestrin::gnome::functions;

extern "C" {

void pw_init(int* argc, char** argv[]) { functions.pw_init(argc, argv); }

pw_context* pw_context_new(pw_loop* main_loop, pw_properties* props, size_t user_data_size) {
  return functions.pw_context_new(main_loop, props, user_data_size);
}
void pw_context_destroy(pw_context* context) { functions.pw_context_destroy(context); }
pw_core* pw_context_connect(pw_context* context, pw_properties* properties, size_t user_data_size) {
  return functions.pw_context_connect(context, properties, user_data_size);
}
int pw_core_disconnect(pw_core* core) { return functions.pw_core_disconnect(core); }

// The one variadic function: its key/value pairs are set one by one.
pw_properties* pw_properties_new(const char* key, ...) {
  const spa_dict empty = SPA_DICT_INIT(nullptr, 0);
  pw_properties* properties = functions.pw_properties_new_dict(&empty);
  if (properties == nullptr) return nullptr;
  va_list pairs;
  va_start(pairs, key);
  for (const char* k = key; k != nullptr; k = va_arg(pairs, const char*)) {
    const char* value = va_arg(pairs, const char*);
    functions.pw_properties_set(properties, k, value);
  }
  va_end(pairs);
  return properties;
}
int pw_properties_set(pw_properties* properties, const char* key, const char* value) {
  return functions.pw_properties_set(properties, key, value);
}

pw_stream* pw_stream_new(pw_core* core, const char* name, pw_properties* props) {
  return functions.pw_stream_new(core, name, props);
}
void pw_stream_destroy(pw_stream* stream) { functions.pw_stream_destroy(stream); }
void pw_stream_add_listener(pw_stream* stream, spa_hook* listener, const pw_stream_events* events, void* data) {
  functions.pw_stream_add_listener(stream, listener, events, data);
}
int pw_stream_connect(pw_stream* stream, pw_direction direction, uint32_t target_id, pw_stream_flags flags,
                      const spa_pod** params, uint32_t n_params) {
  return functions.pw_stream_connect(stream, direction, target_id, flags, params, n_params);
}
int pw_stream_update_params(pw_stream* stream, const spa_pod** params, uint32_t n_params) {
  return functions.pw_stream_update_params(stream, params, n_params);
}
pw_buffer* pw_stream_dequeue_buffer(pw_stream* stream) { return functions.pw_stream_dequeue_buffer(stream); }
int pw_stream_queue_buffer(pw_stream* stream, pw_buffer* buffer) {
  return functions.pw_stream_queue_buffer(stream, buffer);
}

pw_thread_loop* pw_thread_loop_new(const char* name, const spa_dict* props) {
  return functions.pw_thread_loop_new(name, props);
}
void pw_thread_loop_destroy(pw_thread_loop* loop) { functions.pw_thread_loop_destroy(loop); }
pw_loop* pw_thread_loop_get_loop(pw_thread_loop* loop) { return functions.pw_thread_loop_get_loop(loop); }
int pw_thread_loop_start(pw_thread_loop* loop) { return functions.pw_thread_loop_start(loop); }
void pw_thread_loop_stop(pw_thread_loop* loop) { functions.pw_thread_loop_stop(loop); }
void pw_thread_loop_lock(pw_thread_loop* loop) { functions.pw_thread_loop_lock(loop); }
void pw_thread_loop_unlock(pw_thread_loop* loop) { functions.pw_thread_loop_unlock(loop); }

}  // extern "C"
