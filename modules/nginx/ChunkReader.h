// Takes a chunked body apart while it streams: the data of its chunks come
// out in order, the size lines, their extensions, the line ends and the
// trailer section are dropped. nginx frames a body itself, so the chunks the
// filter makes for an HTTP/1.1 client are undone before nginx sees the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nimbuswatch::nginx {

class ChunkReader {
 public:
  enum class State {
    Size,          // hexadecimal digits of a chunk size
    Extension,     // after the digits, up to the end of the size line
    Data,          // the chunk's bytes
    DataEnd,       // the CR LF after the chunk's bytes
    Trailer,       // a trailer line, or the empty line that ends the body
    TrailerLine,   // the rest of a trailer line that is not empty
    Done,          // the last chunk and its trailer have been read
    Broken,        // not chunked framing: nothing more is read
  };

  // Reads from `in` and copies chunk data into `out`, at most `room` bytes.
  // Returns how many bytes of `in` were read; `written` says how many data
  // bytes went to `out`. Stops early when `out` is full, or at the end of the
  // body (Done) or of readable framing (Broken).
  std::size_t read(std::string_view in, char* out, std::size_t room, std::size_t& written);

  State state() const { return current; }
  bool done() const { return current == State::Done; }
  bool broken() const { return current == State::Broken; }

 private:
  void sizeDigit(char c);
  void afterSize(char c);

  State current = State::Size;
  std::uint64_t remaining = 0;  // of the chunk being read
  bool digits = false;          // the size line has a digit
  bool lineStarted = false;     // the trailer line being read holds a byte other than CR
};

}  // namespace nimbuswatch::nginx
