// The character entity names of HTML 4.0 and their code points, as the
// drawing library's text calls accept them in "&name;" form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace nimbuswatch::textengine {

// The code point of an entity name, without the '&' and the ';'. Names are
// case-sensitive ("Eacute" and "eacute" differ); "apos" is not among them.
std::optional<std::uint32_t> characterEntity(std::string_view name);

struct CharacterEntity {
  std::string_view name;
  std::uint32_t codePoint;
};

// All 252 names, ordered by name.
std::span<const CharacterEntity> characterEntities();

// The longest name, in bytes.
inline constexpr std::size_t kLongestEntityName = 8;

}  // namespace nimbuswatch::textengine
