#include "host/HostLog.h"

#include "Logger/Logger.h"

#include <unistd.h>

#include <cerrno>

namespace nimbuswatch::host {

std::string logValue(std::string_view value) { return loggableValue(value); }

void logError(std::string_view message) {
  std::string line = "nimbuswatch-host: [error] ";
  line += message;
  line += '\n';
  for (std::string_view rest = line; !rest.empty();) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // nowhere to report it
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace nimbuswatch::host
