// Streaming scanner for textimage elements in an HTML body that arrives in
// arbitrary blocks. Bytes outside elements pass through unchanged as runs
// straight from the caller's block; an element unfinished at the end of a
// block is held back and continued; every complete element is replaced by
// its img markup. The scanner copies no byte of an element while it reads
// it: it notes where the parts lie, and the element is taken from the block
// itself (or from what is held back, when it began in an earlier block).
#pragma once

#include "HTMLStreamParser/TextimageRewriter.h"
#include "HTMLStreamParser/Writer.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nimbuswatch {

// Raised by the parser's two internal guards, which no input reaches.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class HTMLStreamParser {
 public:
  // The states, numbered as they are logged.
  enum class State : std::int32_t {
    Idle = 0,        // outside elements
    TagName = 1,     // the letters of a tag's name
    AttrStart = 2,   // an attribute's name or the ">" that ends the start tag
    SkipSpace = 3,   // white space before AttrStart
    AttrName = 4,    // the rest of an attribute's name
    Equals = 5,      // white space, then the "=" after the name
    ValueStart = 6,  // white space, then the value, quoted or not
    Value = 7,       // the rest of the value
    Text = 8,        // the element's text
    ClosingTag = 9,  // what may be the closing tag
  };

  // The most bytes of one tag or element, from its "<" on, that the parser
  // holds: a tag that reaches it before it is complete is abandoned and
  // passes through unchanged, so memory stays flat whatever the page.
  static constexpr std::int64_t kLongestTag = 16384;

  // Everything the parser produces goes through `owner`, one run per call;
  // complete elements are stored in `store`.
  HTMLStreamParser(Writer owner, const ElementStore& store);

  // Scans one block of `nbytes` body bytes. Keeps no reference to `data`.
  void feed(const char* data, std::int32_t nbytes);

  // End of the body: writes out unchanged whatever is still held back.
  void flush();

  State currentState() const { return state; }

 private:
  struct Block;

  // One step of the machine: the current state's step, which consumes a run
  // of bytes from the block's position, or changes the state so that the
  // same byte is examined again, or both.
  void step(Block& block);
  void stepIdle(Block& block);
  void stepTagName(Block& block);
  void stepSkipSpace(Block& block);
  void stepAttrStart(Block& block);
  void stepAttrName(Block& block);
  void stepEquals(Block& block);
  void stepValueStart(Block& block);
  void stepValue(Block& block);
  void stepText(Block& block);
  void stepClosingTag(Block& block);

  // The bytes of the current tag held so far, from its "<" up to the byte
  // being examined: those of earlier blocks in `pending`, and those of this
  // block from `tagStart` on (0 when the block began inside the tag). It is
  // also the offset of the examined byte from the tag's "<".
  std::int64_t heldBytes(const Block& block) const;
  // How many bytes from the examined one on the current state may consume:
  // up to the end of the block, and short of the held-tag limit.
  std::int32_t room(const Block& block) const;
  std::uint32_t offset(const Block& block) const { return static_cast<std::uint32_t>(heldBytes(block)); }
  // Steps over white space within the room; whether a byte that is none
  // was reached.
  bool skipSpace(Block& block) const;
  void takeRememberedElement(Block& block, std::int32_t end, const std::string& markup);
  void enterElement();
  void writePending();
  void completeElement(Block& block);
  void endOfBlock(Block& block);

  Writer owner;
  ElementStore store;
  State state = State::Idle;
  char quote = 0;
  std::uint32_t matchIndex = 0;
  // The element being read: where its parts lie, and where the attribute
  // being read begins.
  ElementLayout layout;
  std::uint32_t attrNameBegin = 0;
  std::uint32_t attrNameEnd = 0;
  std::uint32_t attrValueBegin = 0;
  std::string pending;
  // The name of a tag whose letters ran to the end of a block.
  std::string tagName;
};

}  // namespace nimbuswatch
