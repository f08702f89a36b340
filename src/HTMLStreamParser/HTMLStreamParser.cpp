#include "HTMLStreamParser/HTMLStreamParser.h"

#include "Logger/Logger.h"
#include "platform/Ascii.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>

namespace nimbuswatch {

namespace {

using ascii::isDigit;
using ascii::isLetter;
using ascii::isSpace;
using ascii::lowerInPlace;
constexpr auto lower = ascii::toLower;

constexpr const char* kModule = ".\\src\\HTMLStreamParser";
// The places the scanner's log lines name; their numbers are part of the
// lines sites already watch for.
constexpr CodePlace kDeadLoop{kModule, 32};
constexpr CodePlace kUnhandledState{kModule, 213};
constexpr CodePlace kNotLastIdle{kModule, 223};
constexpr std::string_view kElementName = "textimage";

// The offset of the first "<" in [from, limit) that is followed by "t" or
// "T", or `limit` when there is none. Reads data[limit] at most.
std::int32_t findTagCandidate(const char* data, std::int32_t from, std::int32_t limit) {
  std::int32_t i = from;
#if defined(__SSE2__)
  const __m128i open = _mm_set1_epi8('<');
  const __m128i t = _mm_set1_epi8('t');
  const __m128i caseBit = _mm_set1_epi8(0x20);
  for (; i + 16 <= limit; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
    const __m128i hits = _mm_and_si128(_mm_cmpeq_epi8(here, open), _mm_cmpeq_epi8(_mm_or_si128(next, caseBit), t));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) {
      return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
  }
#endif
  for (; i < limit; ++i) {
    if (data[i] == '<' && (data[i + 1] | 0x20) == 't') {
      return i;
    }
  }
  return limit;
}

// The offset of the last byte of the block that is not a letter, or -1.
std::int32_t lastNonLetterOf(const char* data, std::int32_t nbytes) {
  std::int32_t i = nbytes - 1;
  while (i >= 0 && isLetter(data[i])) {
    --i;
  }
  return i;
}

}  // namespace

// The offsets of one call of feed; they start afresh with every block.
struct HTMLStreamParser::Block {
  const char* data;
  std::int32_t nbytes;
  std::int32_t lastNonLetter;  // a "<" before it has a name that ends in the block
  std::int32_t pos = 0;      // the byte being examined
  std::int32_t written = 0;  // everything before it is written or replaced
  std::int32_t tagStart = 0; // the last byte examined in Idle: a tag's "<"
  std::int32_t guardPos = -1;
  State guardState = static_cast<State>(-1);

  char byte() const { return data[pos]; }
  bool atEnd() const { return pos >= nbytes; }
};

HTMLStreamParser::HTMLStreamParser(Writer owner, const ElementStore& store) : owner(owner), store(store) {}

void HTMLStreamParser::feed(const char* data, std::int32_t nbytes) {
  Block block{data, nbytes, lastNonLetterOf(data, nbytes)};
  while (block.pos < block.nbytes) {
    if (block.pos == block.guardPos && state == block.guardState) {
      logAt(kCritical, kDeadLoop, "dead loop detected");
      throw InternalError("dead loop detected");
    }
    block.guardPos = block.pos;
    block.guardState = state;
    step(block);
  }
  endOfBlock(block);
}

void HTMLStreamParser::flush() {
  writePending();
}

// The bytes of the current tag held so far, from its "<" up to the byte being
// examined: those of earlier blocks in `pending`, and those of this block
// from `tagStart` on (0 when the block began inside the tag).
std::int64_t HTMLStreamParser::heldBytes(const Block& block) const {
  return static_cast<std::int64_t>(pending.size()) + block.pos - block.tagStart;
}

void HTMLStreamParser::step(Block& block) {
  if (state != State::Idle && heldBytes(block) >= kLongestTag) {
    // Too long to be an element worth holding: abandoned like any tag that
    // is not one, and the byte is examined again in Idle.
    state = State::Idle;
    return;
  }
  const char byte = block.byte();
  switch (state) {
    case State::Idle: return stepIdle(block);
    case State::TagName: return stepTagName(block, byte);
    case State::AttrStart: return stepAttrStart(block, byte);
    case State::SkipSpace: return stepSkipSpace(block, byte);
    case State::AttrName: return stepAttrName(block, byte);
    case State::Equals: return stepEquals(block, byte);
    case State::ValueStart: return stepValueStart(block, byte);
    case State::Value: return stepValue(block, byte);
    case State::Text: return stepText(block);
    case State::ClosingTag: return stepClosingTag(block, byte);
  }
  logAt(kCritical, kUnhandledState, "unhandled state %d", static_cast<int>(state));
  throw InternalError("unhandled state");
}

// Idle: every byte but "<" passes through, and a tag that is not a textimage
// start tag returns to Idle right after its name without writing anything.
// So Idle only has to stop at a "<" followed by "t" or "T", and at a "<"
// whose letters run to the end of the block (that tag is held back).
// Everything else is stepped over at once, with exactly the writes the
// byte-at-a-time machine would make.
void HTMLStreamParser::stepIdle(Block& block) {
  writePending();
  for (;;) {
    // Past the block's last non-letter every byte is a letter; a "<" there
    // can only be that last non-letter itself.
    const std::int32_t limit = std::max(block.lastNonLetter, block.pos);
    const std::int32_t lt = findTagCandidate(block.data, block.pos, limit);
    if (lt == limit && (limit != block.lastNonLetter || block.data[limit] != '<')) {
      block.tagStart = block.nbytes - 1;
      block.pos = block.nbytes;
      return;
    }
    block.tagStart = lt;
    const std::int32_t nameStart = lt + 1;
    std::int32_t nameEnd = nameStart;
    while (nameEnd < block.nbytes && isLetter(block.data[nameEnd])) {
      ++nameEnd;
    }
    const bool nameComplete = nameEnd < block.nbytes;
    const bool opensElement =
        nameComplete &&
        ascii::equalsIgnoringCase(std::string_view(block.data + nameStart, static_cast<std::size_t>(nameEnd - nameStart)),
                                  kElementName) &&
        (block.data[nameEnd] == '>' || isSpace(block.data[nameEnd]));
    block.pos = nameEnd;
    // A name longer than the held-tag limit is abandoned within its letters,
    // which pass through like any others.
    const bool withinLimit = nameEnd - lt <= kLongestTag;
    if ((!nameComplete && withinLimit) || opensElement) {
      tagName.assign(block.data + nameStart, static_cast<std::size_t>(nameEnd - nameStart));
      state = State::TagName;
      return;
    }
  }
}

void HTMLStreamParser::stepTagName(Block& block, char byte) {
  if (isLetter(byte)) {
    tagName += byte;
    ++block.pos;
    return;
  }
  if (byte != '>' && !isSpace(byte)) {
    state = State::Idle;
    return;
  }
  lowerInPlace(tagName);
  if (tagName != kElementName) {
    state = State::Idle;
    return;
  }
  element.clear();
  element.name = tagName;
  closingTag = "</" + tagName + ">";
  nextState = State::AttrStart;
  state = State::SkipSpace;
}

void HTMLStreamParser::stepAttrStart(Block& block, char byte) {
  if (byte == '>') {
    state = State::Text;
    ++block.pos;
  } else if (isLetter(byte) || isDigit(byte)) {
    attrName.assign(1, byte);
    state = State::AttrName;
    ++block.pos;
  } else {
    state = State::Idle;
  }
}

void HTMLStreamParser::stepSkipSpace(Block& block, char byte) {
  if (isSpace(byte)) {
    ++block.pos;
  } else {
    state = nextState;
  }
}

void HTMLStreamParser::stepAttrName(Block& block, char byte) {
  if (isLetter(byte) || isDigit(byte)) {
    attrName += byte;
    ++block.pos;
  } else if (isSpace(byte)) {
    nextState = State::Equals;
    state = State::SkipSpace;
    ++block.pos;
  } else if (byte == '=') {
    state = State::Equals;
  } else {
    state = State::Idle;
  }
}

void HTMLStreamParser::stepEquals(Block& block, char byte) {
  if (byte == '=') {
    nextState = State::ValueStart;
    state = State::SkipSpace;
    ++block.pos;
  } else {
    state = State::Idle;
  }
}

void HTMLStreamParser::stepValueStart(Block& block, char byte) {
  attrValue.clear();
  if (byte == '"' || byte == '\'') {
    quote = byte;
    attrValue += byte;
    ++block.pos;
  } else {
    quote = 0;
  }
  state = State::Value;
}

void HTMLStreamParser::stepValue(Block& block, char byte) {
  if (quote != 0) {
    attrValue += byte;
    ++block.pos;
    if (byte == quote) {
      endOfValue();
      state = State::SkipSpace;
    }
  } else if (byte == '>' || isSpace(byte)) {
    endOfValue();
    state = State::SkipSpace;
  } else {
    attrValue += byte;
    ++block.pos;
  }
}

// Text: every byte joins the element's text, a line feed as a space, up to a
// "<" that may begin the closing tag. The run up to the next "<" is taken in
// one go, but never past the byte at which the held-tag limit is reached.
void HTMLStreamParser::stepText(Block& block) {
  const char* start = block.data + block.pos;
  const auto room = static_cast<std::int32_t>(
      std::min<std::int64_t>(block.nbytes - block.pos, kLongestTag - heldBytes(block)));
  const auto* found = static_cast<const char*>(std::memchr(start, '<', static_cast<std::size_t>(room)));
  const char* end = found != nullptr ? found : start + room;
  const std::size_t from = element.text.size();
  element.text.append(start, end);
  for (std::size_t i = from; i < element.text.size(); ++i) {
    if (element.text[i] == '\n') {
      element.text[i] = ' ';
    }
  }
  block.pos = static_cast<std::int32_t>(end - block.data);
  if (found != nullptr) {
    element.text += '<';
    matchIndex = 1;
    state = State::ClosingTag;
    ++block.pos;
  }
}

void HTMLStreamParser::stepClosingTag(Block& block, char byte) {
  if (matchIndex >= closingTag.size() || lower(byte) != closingTag[matchIndex]) {
    state = State::Text;
    return;
  }
  element.text += byte;
  ++matchIndex;
  ++block.pos;
  if (matchIndex == closingTag.size()) {
    completeElement(block);
  }
}

void HTMLStreamParser::writePending() {
  if (!pending.empty()) {
    owner(pending);
    pending.clear();
  }
}

void HTMLStreamParser::endOfValue() {
  lowerInPlace(attrName);
  element.attributes[attrName] = attrValue;
  nextState = State::AttrStart;
}

void HTMLStreamParser::completeElement(Block& block) {
  pending.clear();  // every byte held back belongs to this element
  if (block.tagStart > block.written) {
    owner(block.data + block.written, block.tagStart - block.written);
  }
  rewriteElement(element, store, owner);
  block.written = block.pos;
  block.tagStart = block.pos;
  state = State::Idle;
}

void HTMLStreamParser::endOfBlock(Block& block) {
  if (state == State::Idle) {
    if (block.written < block.nbytes) {
      owner(block.data + block.written, block.nbytes - block.written);
    }
    return;
  }
  logAt(kNotice, kNotLastIdle, "in not last idle:%d,nbytes:%d", block.written, block.nbytes);
  if (block.tagStart > block.written) {
    owner(block.data + block.written, block.tagStart - block.written);
  }
  if (block.nbytes > block.tagStart) {
    pending.append(block.data + block.tagStart, static_cast<std::size_t>(block.nbytes - block.tagStart));
  }
}

}  // namespace nimbuswatch
