// Sets (or unsets) one environment variable for the length of a scope and
// puts back what was there before.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace nimbuswatch::test {

class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name(std::move(name)) {
    if (const char* old = std::getenv(this->name.c_str())) {
      previous = old;
    }
    set(value);
  }
  ~ScopedEnvironment() { set(previous); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
#if defined(_WIN32)
    // The runtime's environment, which the filter DLL shares; an empty value
    // removes the variable.
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
#endif
  }

  std::string name;
  std::optional<std::string> previous;
};

}  // namespace nimbuswatch::test
