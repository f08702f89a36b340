#include "HTMLStreamParser/HTMLStreamParser.h"

#include "Logger/Logger.h"
#include "platform/Ascii.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>

namespace nimbuswatch {

namespace {

using ascii::isDigit;
using ascii::isLetter;
using ascii::isSpace;
constexpr auto lower = ascii::toLower;

constexpr const char* kModule = ".\\src\\HTMLStreamParser";
// The places the scanner's log lines name; their numbers are part of the
// lines sites already watch for.
constexpr CodePlace kDeadLoop{kModule, 32};
constexpr CodePlace kUnhandledState{kModule, 213};
constexpr CodePlace kNotLastIdle{kModule, 223};
constexpr std::string_view kElementName = "textimage";
// An element the memory answers is never cut short by the held-tag limit.
static_assert(TextimageRewriter::kLongestRemembered < HTMLStreamParser::kLongestTag);

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

// The first `byte` in [from, to), or null. Attribute values and element
// texts are short: a plain loop beats a call of memchr for them.
const char* findByte(const char* from, const char* to, char byte) {
  for (const char* at = from; at < to; ++at) {
    if (*at == byte) {
      return at;
    }
  }
  return nullptr;
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
  TextimageRewriter rewriter;
  std::int32_t pos = 0;      // the byte being examined
  std::int32_t written = 0;  // everything before it is written or replaced
  std::int32_t tagStart = 0; // the last byte examined in Idle: a tag's "<"
  // Where the current tag's "<" lies relative to the block: before its start
  // when the tag began in an earlier block.
  std::int64_t origin = 0;

  char byte() const { return data[pos]; }
};

HTMLStreamParser::HTMLStreamParser(Writer owner, const ElementStore& store) : owner(owner), store(store) {}

// Every step consumes bytes or changes the state; one that does neither
// would repeat forever, and is stopped.
void HTMLStreamParser::feed(const char* data, std::int32_t nbytes) {
  Block block{data, nbytes, lastNonLetterOf(data, nbytes), TextimageRewriter(store, owner, data, nbytes)};
  block.origin = -static_cast<std::int64_t>(pending.size());
  std::int32_t lastPos = -1;
  State lastState = State::Idle;
  while (block.pos < block.nbytes) {
    if (block.pos == lastPos && state == lastState) {
      logAt(kCritical, kDeadLoop, "dead loop detected");
      throw InternalError("dead loop detected");
    }
    lastPos = block.pos;
    lastState = state;
    step(block);
  }
  endOfBlock(block);
}

void HTMLStreamParser::flush() {
  writePending();
}

inline std::int64_t HTMLStreamParser::heldBytes(const Block& block) const { return block.pos - block.origin; }

inline std::int32_t HTMLStreamParser::room(const Block& block) const {
  return static_cast<std::int32_t>(std::min<std::int64_t>(block.nbytes, block.origin + kLongestTag) - block.pos);
}

// One pass of feed's loop takes one step of the current state. A step
// consumes the run of bytes its state accepts and, at a byte that ends the
// run, changes the state, which takes the next step from that byte on. No
// run goes past the held-tag limit, so the limit is checked here before
// every step as the byte-at-a-time machine checks it before every byte.
void HTMLStreamParser::step(Block& block) {
  if (state != State::Idle && heldBytes(block) >= kLongestTag) {
    // Too long to be an element worth holding: abandoned like any tag that
    // is not one, and the byte is examined again in Idle.
    state = State::Idle;
    return;
  }
  switch (state) {
    case State::Idle: return stepIdle(block);
    case State::TagName: return stepTagName(block);
    case State::AttrStart: return stepAttrStart(block);
    case State::SkipSpace: return stepSkipSpace(block);
    case State::AttrName: return stepAttrName(block);
    case State::Equals: return stepEquals(block);
    case State::ValueStart: return stepValueStart(block);
    case State::Value: return stepValue(block);
    case State::Text: return stepText(block);
    case State::ClosingTag: return stepClosingTag(block);
  }
  logAt(kCritical, kUnhandledState, "unhandled state %d", static_cast<int>(state));
  throw InternalError("unhandled state");
}

// Idle: every byte but "<" passes through, and a tag that is not a textimage
// start tag returns to Idle right after its name without writing anything.
// So Idle only has to stop at a "<" followed by "t" or "T", and at a "<"
// whose letters run to the end of the block (that tag is held back).
// Everything else is stepped over at once, with exactly the writes the
// byte-at-a-time machine would make. A complete element name goes straight
// on to the white space after it, where the byte machine's TagName state
// would send it, unless the rewriter answers the element from memory.
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
    block.origin = lt;
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
    if (opensElement) {
      const TextimageRewriter::Recalled recalled = block.rewriter.recall(lt, nameEnd);
      if (recalled.markup != nullptr) {
        takeRememberedElement(block, recalled.end, *recalled.markup);
        continue;
      }
      enterElement();
      return;
    }
    // A name longer than the held-tag limit is abandoned within its letters,
    // which pass through like any others.
    if (!nameComplete && nameEnd - lt <= kLongestTag) {
      tagName.assign(block.data + nameStart, static_cast<std::size_t>(nameEnd - nameStart));
      state = State::TagName;
      return;
    }
  }
}

// The bytes from the tag's "<" to `end` are an element the memory answered
// with `markup`: the machine, led by the same bytes, would have replaced
// them by it.
void HTMLStreamParser::takeRememberedElement(Block& block, std::int32_t end, const std::string& markup) {
  if (block.tagStart > block.written) {
    owner(block.data + block.written, block.tagStart - block.written);
  }
  if (!markup.empty()) {
    owner(markup);
  }
  block.pos = end;
  block.written = end;
  block.tagStart = end;
}

void HTMLStreamParser::enterElement() {
  layout.clear();
  state = State::SkipSpace;
}

// TagName: the letters of a name that began in an earlier block; the byte
// after them decides.
void HTMLStreamParser::stepTagName(Block& block) {
  const std::int32_t end = block.pos + room(block);
  std::int32_t pos = block.pos;
  while (pos < end && isLetter(block.data[pos])) {
    ++pos;
  }
  tagName.append(block.data + block.pos, static_cast<std::size_t>(pos - block.pos));
  block.pos = pos;
  if (pos == end) {
    return;
  }
  const char byte = block.byte();
  if ((byte == '>' || isSpace(byte)) && ascii::equalsIgnoringCase(tagName, kElementName)) {
    enterElement();
  } else {
    state = State::Idle;
  }
}

inline bool HTMLStreamParser::skipSpace(Block& block) const {
  const std::int32_t end = block.pos + room(block);
  while (block.pos < end && isSpace(block.byte())) {
    ++block.pos;
  }
  return block.pos < end;
}

// SkipSpace: white space after the element's name or an attribute's value.
void HTMLStreamParser::stepSkipSpace(Block& block) {
  if (skipSpace(block)) {
    state = State::AttrStart;
  }
}

// AttrStart: a ">" ends the start tag, and the text begins after it; a
// letter or digit begins an attribute's name; any other byte makes the tag
// no element.
void HTMLStreamParser::stepAttrStart(Block& block) {
  const char byte = block.byte();
  if (byte == '>') {
    ++block.pos;
    layout.textBegin = offset(block);
    state = State::Text;
  } else if (isLetter(byte) || isDigit(byte)) {
    attrNameBegin = offset(block);
    ++block.pos;
    state = State::AttrName;
  } else {
    state = State::Idle;
  }
}

// AttrName: letters and digits, up to white space or the "=".
void HTMLStreamParser::stepAttrName(Block& block) {
  const std::int32_t end = block.pos + room(block);
  while (block.pos < end && ascii::isLetterOrDigit(block.byte())) {
    ++block.pos;
  }
  if (block.pos == end) {
    return;
  }
  attrNameEnd = offset(block);
  const char byte = block.byte();
  state = byte == '=' || isSpace(byte) ? State::Equals : State::Idle;
}

// Equals: white space after the name, then the "=" that must follow.
void HTMLStreamParser::stepEquals(Block& block) {
  if (!skipSpace(block)) {
    return;
  }
  if (block.byte() != '=') {
    state = State::Idle;
    return;
  }
  ++block.pos;
  state = State::ValueStart;
}

// ValueStart: white space after the "=", then the value's first byte; a
// quote opens a quoted value.
void HTMLStreamParser::stepValueStart(Block& block) {
  if (!skipSpace(block)) {
    return;
  }
  attrValueBegin = offset(block);
  quote = 0;
  if (block.byte() == '"' || block.byte() == '\'') {
    quote = block.byte();
    ++block.pos;
  }
  state = State::Value;
}

// Value: a quoted value runs up to and with its closing quote; an unquoted
// one up to the next ">" or white space, which is examined again.
void HTMLStreamParser::stepValue(Block& block) {
  const std::int32_t end = block.pos + room(block);
  if (quote != 0) {
    const char* found = findByte(block.data + block.pos, block.data + end, quote);
    if (found == nullptr) {
      block.pos = end;
      return;
    }
    block.pos = static_cast<std::int32_t>(found - block.data) + 1;
  } else {
    while (block.pos < end && block.byte() != '>' && !isSpace(block.byte())) {
      ++block.pos;
    }
    if (block.pos == end) {
      return;
    }
  }
  layout.attributes.push_back({attrNameBegin, attrNameEnd, attrValueBegin, offset(block)});
  state = State::SkipSpace;
}

// Text: every byte belongs to the element's text up to a "<" that may begin
// the closing tag. The run up to the next "<" is taken in one go, but never
// past the byte at which the held-tag limit is reached.
void HTMLStreamParser::stepText(Block& block) {
  const std::int32_t end = block.pos + room(block);
  const char* found = findByte(block.data + block.pos, block.data + end, '<');
  if (found == nullptr) {
    block.pos = end;
    return;
  }
  block.pos = static_cast<std::int32_t>(found - block.data) + 1;
  matchIndex = 1;
  state = State::ClosingTag;
}

// ClosingTag: a byte that does not continue the closing tag is examined
// again as text.
void HTMLStreamParser::stepClosingTag(Block& block) {
  const std::int32_t end = block.pos + room(block);
  std::uint32_t match = matchIndex;
  std::int32_t pos = block.pos;
  while (match < kClosingTag.size() && pos < end && lower(block.data[pos]) == kClosingTag[match]) {
    ++match;
    ++pos;
  }
  if (pos == block.pos) {
    state = State::Text;
    return;
  }
  matchIndex = match;
  block.pos = pos;
  if (match == kClosingTag.size()) {
    completeElement(block);
  }
}

void HTMLStreamParser::writePending() {
  if (!pending.empty()) {
    owner(pending);
    pending.clear();
  }
}

// The element's bytes are this block's from the tag's "<" on, or, when it
// began in an earlier block, what is held back followed by this block's
// bytes up to here. Every byte held back belongs to the element.
void HTMLStreamParser::completeElement(Block& block) {
  std::string_view bytes(block.data + block.tagStart, static_cast<std::size_t>(block.pos - block.tagStart));
  if (!pending.empty()) {
    pending.append(bytes);
    bytes = pending;
  }
  if (block.tagStart > block.written) {
    owner(block.data + block.written, block.tagStart - block.written);
  }
  block.rewriter.rewrite(bytes, layout);
  pending.clear();
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
