// Streaming scanner for textimage elements in an HTML body that arrives in
// arbitrary blocks. Bytes outside elements pass through unchanged as runs
// straight from the caller's block; an element unfinished at the end of a
// block is held back and continued; every complete element is replaced by
// its img markup.
#pragma once

#include "HTMLStreamParser/ElementRecord.h"
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
    Idle = 0,
    TagName = 1,
    AttrStart = 2,
    SkipSpace = 3,
    AttrName = 4,
    Equals = 5,
    ValueStart = 6,
    Value = 7,
    Text = 8,
    ClosingTag = 9,
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

  // One step of the machine: consumes the byte at the block's position, or
  // changes the state so that the same byte is examined again.
  void step(Block& block);
  void stepIdle(Block& block);
  void stepTagName(Block& block, char byte);
  void stepAttrStart(Block& block, char byte);
  void stepSkipSpace(Block& block, char byte);
  void stepAttrName(Block& block, char byte);
  void stepEquals(Block& block, char byte);
  void stepValueStart(Block& block, char byte);
  void stepValue(Block& block, char byte);
  void stepText(Block& block);
  void stepClosingTag(Block& block, char byte);

  std::int64_t heldBytes(const Block& block) const;
  void writePending();
  void endOfValue();
  void completeElement(Block& block);
  void endOfBlock(Block& block);

  Writer owner;
  ElementStore store;
  State state = State::Idle;
  State nextState = State::Idle;
  char quote = 0;
  std::string closingTag;
  std::uint32_t matchIndex = 0;
  ElementRecord element;
  std::string pending;
  std::string tagName;
  std::string attrName;
  std::string attrValue;
};

}  // namespace nimbuswatch
