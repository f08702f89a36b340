// Rules of HTTP/1.1 that the filter, the servers that drive it and their
// tests all follow, written once: which responses have no body, and how a
// chunk of a chunked body is framed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nimbuswatch {

// A response has no body when it answers HEAD or its status is 1xx, 204 or
// 304, whatever its header fields announce.
constexpr bool responseHasBody(bool headRequest, unsigned status) {
  return !headRequest && !(status >= 100 && status <= 199) && status != 204 && status != 304;
}

// Room for a chunk-size line: sixteen hexadecimal digits and CR LF.
inline constexpr std::size_t kChunkSizeLineRoom = 18;

// Writes the size line of a chunk of `size` bytes into `line`, in lower-case
// hexadecimal without leading zeros as printf's "%x" writes it, followed by
// CR LF, and returns its length.
inline std::size_t writeChunkSizeLine(char (&line)[kChunkSizeLineRoom], std::uint64_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const int digits = size == 0 ? 1 : (64 - __builtin_clzll(size) + 3) / 4;
  for (int i = digits - 1; i >= 0; --i) {
    line[i] = kDigits[size & 0x0F];
    size >>= 4;
  }
  line[digits] = '\r';
  line[digits + 1] = '\n';
  return static_cast<std::size_t>(digits) + 2;
}

// Appends `data` framed as one chunk; nothing for empty data, which would
// read as the last chunk.
inline void appendChunk(std::string& out, std::string_view data) {
  if (data.empty()) {
    return;
  }
  char line[kChunkSizeLineRoom];
  out.append(line, writeChunkSizeLine(line, data.size()));
  out += data;
  out += "\r\n";
}

// The last chunk with an empty trailer section: the end of a chunked body.
inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

}  // namespace nimbuswatch
