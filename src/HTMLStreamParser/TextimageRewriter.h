// The step that replaces one complete textimage element by an img element
// whose picture shows the element's text.
#pragma once

#include "HTMLStreamParser/ElementRecord.h"
#include "HTMLStreamParser/Writer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Where the parts of one element lie in its bytes, as offsets from its "<":
// the attributes in the order they are written, and the start of its text,
// which runs up to the closing tag that ends the bytes. The scanner fills it
// while it reads the element and reuses it for the next one.
struct ElementLayout {
  struct Attribute {
    std::uint32_t nameBegin;
    std::uint32_t nameEnd;
    std::uint32_t valueBegin;  // the value as written, quotes included
    std::uint32_t valueEnd;
  };
  std::vector<Attribute> attributes;
  std::uint32_t textBegin = 0;

  void clear() {
    attributes.clear();
    textBegin = 0;
  }
};

// The record of the element whose bytes, from its "<" to the end of its
// closing tag, are `bytes`: attribute names lower-cased (a later value of a
// name replaces an earlier one), the text with each line feed as a space and
// still ending with the closing tag.
ElementRecord elementRecordOf(std::string_view bytes, const ElementLayout& layout);

// Rewrites the element whose bytes are `bytes` (see elementRecordOf): writes
// through `write` exactly what rewriteElement writes for its record, and
// stores its description in the store's spool. Each thread remembers the
// markup of elements it rewrote lately, by their bytes, for as long as the
// spool itself takes their description's file as present without looking;
// meanwhile the same bytes are answered from memory.
void rewriteElementBytes(std::string_view bytes, const ElementLayout& layout, const ElementStore& store,
                         const Writer& write);

// The markup rewriteElementBytes would write from memory for exactly these
// element bytes in `store`, or null when this thread remembers none in time.
const std::string* rememberedMarkup(std::string_view bytes, const ElementStore& store);

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
