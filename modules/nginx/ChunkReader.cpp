#include "modules/nginx/ChunkReader.h"

#include "platform/Ascii.h"

#include <algorithm>
#include <cstring>

namespace nimbuswatch::nginx {

namespace {

// Sixteen hexadecimal digits hold any 64-bit size; one more could not.
constexpr std::uint64_t kLargestBeforeDigit = UINT64_MAX >> 4;

}  // namespace

void ChunkReader::sizeDigit(char c) {
  const int value = ascii::hexValue(c);
  if (value >= 0 && remaining <= kLargestBeforeDigit) {
    remaining = remaining * 16 + static_cast<unsigned>(value);
    digits = true;
  } else if (value >= 0 || !digits) {
    current = State::Broken;  // too large, or a line without a size
  } else {
    current = State::Extension;
    afterSize(c);
  }
}

void ChunkReader::afterSize(char c) {
  if (c != '\n') {
    return;  // an extension, or the CR before the line feed
  }
  digits = false;
  lineStarted = false;
  current = remaining == 0 ? State::Trailer : State::Data;
}

std::size_t ChunkReader::read(std::string_view in, char* out, std::size_t room, std::size_t& written) {
  written = 0;
  std::size_t at = 0;
  while (at < in.size()) {
    switch (current) {
      case State::Size:
        sizeDigit(in[at++]);
        break;
      case State::Extension:
        afterSize(in[at++]);
        break;
      case State::Data: {
        if (written == room) {
          return at;
        }
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>({remaining, in.size() - at, room - written}));
        std::memcpy(out + written, in.data() + at, count);
        written += count;
        at += count;
        remaining -= count;
        if (remaining == 0) {
          current = State::DataEnd;
        }
        break;
      }
      case State::DataEnd:
        if (in[at++] == '\n') {
          current = State::Size;
        }
        break;
      case State::Trailer:
      case State::TrailerLine: {
        const char c = in[at++];
        if (c == '\n') {
          current = lineStarted ? State::Trailer : State::Done;
          lineStarted = false;
        } else if (c != '\r') {
          lineStarted = true;
          current = State::TrailerLine;
        }
        break;
      }
      case State::Done:
      case State::Broken:
        return at;
    }
  }
  return at;
}

}  // namespace nimbuswatch::nginx
