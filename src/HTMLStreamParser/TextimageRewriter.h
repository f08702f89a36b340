// The step that replaces one complete textimage element by an img element
// whose picture shows the element's text.
#pragma once

#include "HTMLStreamParser/ElementRecord.h"
#include "HTMLStreamParser/Writer.h"

#include <string>
#include <string_view>

namespace nimbuswatch {

class SpoolStorage;

// Where rewritten elements go: the spool that keeps their descriptions (none:
// nothing is stored) and the URL prefix of their pictures. Both outlive
// every response.
struct ElementStore {
  SpoolStorage* spool = nullptr;
  std::string_view imagesURL;
};

// "</textimage>", the tag that closes an element.
inline constexpr std::size_t kClosingTagLength = 12;

// Cleans the text of `element` (which still ends with its closing tag),
// stores its description in the store's spool, and writes the img markup
// through `write` in one call, or nothing when the text is empty.
void rewriteElement(ElementRecord& element, const ElementStore& store, const Writer& write);

// The img markup for a cleaned element whose description was stored under
// `identifier`, its picture under `imagesURL`; sets the src, align and border
// attributes of `element`.
std::string imgMarkup(ElementRecord& element, std::string_view imagesURL, const std::string& identifier);

// Removes every control character (0x00-0x1F and 0x7F) from `text`.
void removeControlCharacters(std::string& text);

}  // namespace nimbuswatch
