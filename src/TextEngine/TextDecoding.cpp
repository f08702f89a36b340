#include "TextEngine/TextDecoding.h"

#include "platform/Ascii.h"
#include "TextEngine/CharacterEntities.h"

#include <string_view>

namespace nimbuswatch::textengine {

namespace {

int decimalDigit(unsigned char byte) { return ascii::isDigit(static_cast<char>(byte)) ? byte - '0' : -1; }

int hexDigit(unsigned char byte) { return ascii::hexValue(static_cast<char>(byte)); }

// "&#N;" or "&#xN;" at `p`: the digits occupy offsets 2 (3 for hex) to 7 at
// most and must be followed by ';', so 5 decimal or 4 hex digits fit.
std::size_t decodeNumericReference(const unsigned char* p, std::uint32_t& code) {
  const bool hex = p[2] == 'x' || p[2] == 'X';
  const std::uint32_t base = hex ? 16 : 10;
  std::uint32_t value = 0;
  std::size_t i = hex ? 3 : 2;
  for (; i < 8; ++i) {
    const int digit = hex ? hexDigit(p[i]) : decimalDigit(p[i]);
    if (digit < 0) {
      break;
    }
    value = value * base + static_cast<std::uint32_t>(digit);
  }
  if (i == 8 || p[i] != ';') {
    return 0;
  }
  code = value;
  return i + 1;
}

std::size_t decodeNamedReference(const unsigned char* p, std::uint32_t& code) {
  for (std::size_t i = 1; i <= 1 + kLongestEntityName && p[i] != '\0'; ++i) {
    if (p[i] == ';') {
      const std::string_view name(reinterpret_cast<const char*>(p) + 1, i - 1);
      const std::optional<std::uint32_t> entity = characterEntity(name);
      if (!entity) {
        return 0;
      }
      code = *entity;
      return i + 1;
    }
  }
  return 0;
}

bool isTrailByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// UTF-8 of 1 to 3 bytes; a byte that starts no such sequence stands for
// itself. Reads past a byte only when that byte is not the terminating NUL.
std::size_t decodeUtf8(const unsigned char* p, std::uint32_t& code) {
  const std::uint32_t lead = p[0];
  if (lead >= 0xC0 && lead < 0xE0 && isTrailByte(p[1])) {
    code = ((lead & 0x1F) << 6) | (p[1] & 0x3Fu);
    return 2;
  }
  if (lead >= 0xE0 && lead < 0xF0 && isTrailByte(p[1]) && isTrailByte(p[2])) {
    code = ((lead & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 3;
  }
  code = lead;
  return 1;
}

std::size_t decodeCharacter(const unsigned char* p, std::uint32_t& code) {
  if (p[0] == '&') {
    const std::size_t used = p[1] == '#' ? decodeNumericReference(p, code)
                                         : decodeNamedReference(p, code);
    if (used != 0) {
      return used;
    }
  }
  return decodeUtf8(p, code);
}

}  // namespace

std::vector<std::uint32_t> decodeText(const char* text) {
  std::vector<std::uint32_t> codes;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0') {
    std::uint32_t code = 0;
    p += decodeCharacter(p, code);
    codes.push_back(code);
  }
  return codes;
}

}  // namespace nimbuswatch::textengine
