// Compressed bodies for tests of pages an upstream compresses: zlib's
// deflate with the wrapper `windowBits` asks for (31 gzip, 15 zlib's own,
// -15 none). Header-only: a test that includes it links zlib itself.
#pragma once

#include <zlib.h>

#include <string>

namespace nimbuswatch::test {

inline std::string compressed(const std::string& text, int windowBits) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace nimbuswatch::test
