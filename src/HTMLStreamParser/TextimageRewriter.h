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

// The tag that closes an element, in lower case.
inline constexpr std::string_view kClosingTag = "</textimage>";
inline constexpr std::size_t kClosingTagLength = kClosingTag.size();

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

class ElementMemo;

// The rewriting step as the scanner meets it in one block of a page. Each
// thread remembers the markup of the elements it rewrote lately, by their
// bytes, for as long as the spool takes their description's file as present
// without looking; meanwhile the same bytes are answered from that memory.
// The memory is asked once for each element: a start it could not answer
// is not asked again when the same bytes complete as an element. Made for
// each block on the thread that scans it, and kept no longer than the block.
class TextimageRewriter {
 public:
  // Element starts in one block the memory may fail to answer before the
  // rest of the block is left to be stepped through.
  static constexpr int kMostRememberedMisses = 16;
  // The longest element the memory holds, in bytes from its "<"; a longer
  // one is refused before its bytes are hashed.
  static constexpr std::size_t kLongestRemembered = 1024;

  // Rewrites elements for `store` through `write`, in the block of `nbytes`
  // bytes at `data`.
  TextimageRewriter(const ElementStore& store, const Writer& write, const char* data, std::int32_t nbytes)
      : store(store), write(write), data(data), nbytes(nbytes) {}

  // What the memory answers for an element start.
  struct Recalled {
    const std::string* markup = nullptr;  // null: no answer
    std::int32_t end = 0;                 // the offset just past the element
  };

  // The element whose "<" lies at `tagStart` and whose name ends at
  // `nameEnd`, answered from memory when this thread rewrote its bytes a
  // moment ago. Its end is taken to be the first closing tag, which must
  // lie whole in the block; when that is not the element's end (the tag
  // lies in an attribute value, say), the bytes up to it are no remembered
  // element. The closing tag is looked for once for all the starts before
  // it, and after kMostRememberedMisses starts without an answer the rest
  // of the block gets none, so a page of starts that never become elements
  // costs hardly more than stepping through it.
  Recalled recall(std::int32_t tagStart, std::int32_t nameEnd);

  // Rewrites the element whose bytes are `bytes` (see elementRecordOf):
  // writes exactly what rewriteElement writes for its record, and stores
  // its description in the spool, unless the memory answers for the bytes.
  void rewrite(std::string_view bytes, const ElementLayout& layout);

 private:
  friend class ElementMemo;

  // One look-up of an element's bytes in the memory: where the bytes go in
  // it when they are remembered after they are rewritten, so that
  // remembering them costs no second look-up.
  struct Lookup {
    std::string_view bytes;
    std::size_t hash = 0;
    std::size_t slot = 0;
    // The arrangement of the memory's table that `hash` and `slot` belong
    // to; 0 when it held nothing for the store and did not hash the bytes.
    std::uint64_t arrangement = 0;
  };

  // This thread's memory, fetched when a block first needs it.
  ElementMemo& memory();
  // The markup the memory answers for `lookup.bytes`, or null; notes in
  // `lookup` where the bytes go.
  const std::string* lookUp(Lookup& lookup);

  ElementMemo* memo = nullptr;
  // The arrangement of the memory's table at which it was last found to
  // hold elements of `store` (0: not yet).
  std::uint64_t checkedArrangement = 0;
  ElementStore store;
  Writer write;
  const char* data;
  std::int32_t nbytes;
  // The first closing tag at or after the last start that looked for one
  // (nbytes: none); -1 before any start has.
  std::int32_t closingAt = -1;
  int misses = 0;
  // The look-up of the last start the memory could not answer, kept for
  // the element its bytes may complete.
  Lookup missed;
};

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
