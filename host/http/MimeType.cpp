#include "host/http/MimeType.h"

#include "platform/Ascii.h"

#include <array>
#include <utility>

namespace nimbuswatch::host {

std::string_view mimeType(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 19> kTypes{{
      {"html", "text/html"},
      {"htm", "text/html"},
      {"css", "text/css"},
      {"js", "application/javascript"},
      {"json", "application/json"},
      {"txt", "text/plain"},
      {"xml", "application/xml"},
      {"gif", "image/gif"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"svg", "image/svg+xml"},
      {"ico", "image/vnd.microsoft.icon"},
      {"webp", "image/webp"},
      {"ttf", "font/ttf"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"pdf", "application/pdf"},
      {"wasm", "application/wasm"},
  }};
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return "application/octet-stream";
  }
  const std::string_view extension = path.substr(dot + 1);
  for (const auto& [known, type] : kTypes) {
    if (ascii::equalsIgnoringCase(extension, known)) {
      return type;
    }
  }
  return "application/octet-stream";
}

}  // namespace nimbuswatch::host
