// Undoes the content coding of a page an upstream sent compressed, so the
// filter can read it: gzip and deflate (with or without its zlib wrapper),
// by zlib. The compressed bytes are taken a piece at a time and given out in
// portions of a bounded size, so a small piece that expands a thousandfold
// never has to be held whole.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::server {

class ContentDecoder {
 public:
  enum class Coding { Gzip, Deflate };

  // The coding a Content-Encoding value names, when it is one this decoder
  // reads: "gzip" (or "x-gzip") and "deflate", alone.
  static std::optional<Coding> codingOf(std::string_view contentEncoding);

  // "identity", the coding that changes nothing.
  static bool isIdentity(std::string_view contentEncoding);

  explicit ContentDecoder(Coding coding);
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // The next compressed bytes; they must stay where they are until
  // `pending` is false.
  void input(std::string_view bytes);
  // Compressed bytes are left to decode.
  bool pending() const { return stream.avail_in > 0 && !failed; }
  // Decodes into `out` (emptied first) at most `limit` bytes. False when
  // the data are not of the coding; `error` says why.
  bool decode(std::string& out, std::size_t limit, std::string& error);
  // The compressed stream has come to its end.
  bool complete() const { return ended; }

 private:
  bool start(int windowBits);
  bool retryRaw(std::string& error);

  Coding coding;
  z_stream stream{};
  bool ready = false;
  bool ended = false;
  bool failed = false;
  bool producedAny = false;
  // The first compressed bytes of a deflate body, copied while `copying`:
  // read again as bare data when they turn out to lack the zlib wrapper.
  bool copying;
  std::string first;
};

}  // namespace nimbuswatch::server
