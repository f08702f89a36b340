// A non-owning reference to the operation that takes output bytes: the
// owning HTTP parser's body writer in the filter, a test's sink elsewhere.
#pragma once

#include <cstdint>
#include <string_view>

namespace nimbuswatch {

class Writer {
 public:
  // A writer that calls `(target.*Method)(data, length)`.
  template <auto Method, class Target>
  static Writer to(Target& target) {
    return Writer(&target, [](void* object, const char* data, std::int32_t length) {
      (static_cast<Target*>(object)->*Method)(data, length);
    });
  }

  void operator()(const char* data, std::int32_t length) const { call(target, data, length); }
  void operator()(std::string_view bytes) const {
    call(target, bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }

 private:
  using Call = void (*)(void*, const char*, std::int32_t);
  Writer(void* object, Call function) : target(object), call(function) {}

  void* target;
  Call call;
};

}  // namespace nimbuswatch
