#include "server/UrlPath.h"

#include "platform/Ascii.h"

namespace nimbuswatch::server {

namespace {

std::optional<std::string> percentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? ascii::hexValue(text[i + 1]) : -1;
    const int low = high < 0 ? -1 : ascii::hexValue(text[i + 2]);
    if (low < 0) {
      return std::nullopt;
    }
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

bool hasParentSegment(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (path.substr(start, end - start) == "..") {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// The origin-form part of an absolute target: what follows the authority.
std::string_view originForm(std::string_view target) {
  const std::size_t scheme = target.find("://");
  if (target.empty() || target.front() == '/' || scheme == std::string_view::npos) {
    return target;
  }
  const std::size_t slash = target.find('/', scheme + 3);
  return slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
}

}  // namespace

ParsedTarget parseTarget(std::string_view target) {
  ParsedTarget result;
  target = originForm(target);
  const std::size_t mark = target.find('?');
  const std::string_view rawPath = target.substr(0, mark);
  if (rawPath.empty() || rawPath.front() != '/') {
    result.error = TargetError::Malformed;
    return result;
  }
  auto decoded = percentDecode(rawPath);
  if (!decoded) {
    result.error = TargetError::Malformed;
    return result;
  }
  if (decoded->find('\0') != std::string::npos || hasParentSegment(*decoded)) {
    result.error = TargetError::Forbidden;
    return result;
  }
  result.target.path = std::move(*decoded);
  if (mark != std::string_view::npos) {
    result.target.query = std::string(target.substr(mark + 1));
  }
  return result;
}

std::optional<std::string> afterPrefix(std::string_view path, std::string_view prefix) {
  if (prefix.empty() || path.substr(0, prefix.size()) != prefix) {
    return std::nullopt;
  }
  return std::string(path.substr(prefix.size()));
}

std::string percentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("/-._~").find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

std::string joinPath(std::string_view directory, std::string_view relative) {
  while (!directory.empty() && directory.back() == '/') {
    directory.remove_suffix(1);
  }
  while (!relative.empty() && relative.front() == '/') {
    relative.remove_prefix(1);
  }
  std::string joined(directory);
  joined += '/';
  joined += relative;
  return joined;
}

}  // namespace nimbuswatch::server
