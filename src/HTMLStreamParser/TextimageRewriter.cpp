#include "HTMLStreamParser/TextimageRewriter.h"

#include "SpoolStorage/SpoolStorage.h"
#include "platform/Ascii.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace nimbuswatch {

namespace {

using Clock = SpoolStorage::Clock;

constexpr std::string_view kElementName = "textimage";

// The attributes that steer the drawing; they go into the description only.
constexpr std::array<std::string_view, 5> kDrawingAttributes = {"color", "bgcolor", "font", "size",
                                                                "style"};

bool isDrawingAttribute(std::string_view attributeName) {
  return std::find(kDrawingAttributes.begin(), kDrawingAttributes.end(), attributeName) !=
         kDrawingAttributes.end();
}

void setDefault(ElementRecord& element, const std::string& attributeName, const char* value) {
  std::string& current = element.attributes[attributeName];
  if (current.empty()) {
    current = value;
  }
}

// What rewriting a record gives: its markup, empty when nothing is written,
// and until when the spool takes the file of its description as present
// without looking (already past when it could not be stored).
struct Rewritten {
  std::string markup;
  Clock::time_point trustedUntil = Clock::time_point::min();
};

Rewritten rewriteRecord(ElementRecord& element, const ElementStore& store) {
  element.text.resize(element.text.size() - std::min(element.text.size(), kClosingTagLength));
  removeControlCharacters(element.text);

  SpoolStorage::Stored stored;
  if (store.spool != nullptr) {
    stored = store.spool->storeTrusted(describeElement(element));
  }
  Rewritten result;
  std::string markup = imgMarkup(element, store.imagesURL, stored.identifier);
  if (!element.text.empty()) {
    result.markup = std::move(markup);
  }
  result.trustedUntil = stored.trustedUntil;
  return result;
}

// The offset of the first closing tag, in any case, that lies whole in
// [from, to), or `to` when there is none.
std::int32_t closingTagStart(const char* data, std::int32_t from, std::int32_t to) {
  const auto length = static_cast<std::int32_t>(kClosingTag.size());
  // An element runs for hundreds of bytes to its closing tag: memchr's wide
  // steps pay off here.
  for (const char* at = data + from;
       (at = static_cast<const char*>(std::memchr(at, '<', static_cast<std::size_t>(data + to - at)))) != nullptr;
       ++at) {
    if (data + to - at < length) {
      return to;
    }
    if (ascii::equalsIgnoringCase(std::string_view(at, kClosingTag.size()), kClosingTag)) {
      return static_cast<std::int32_t>(at - data);
    }
  }
  return to;
}

}  // namespace

// The markup of elements this thread rewrote lately, by the element's bytes.
// An entry is only made once the element's description is in the spool, and
// is used only until the moment up to which the spool itself takes that file
// as present without looking (SpoolStorage::Stored::trustedUntil). A page
// that repeats an element thus pays neither the description, its digest nor
// the markup again, and whatever the spool would notice (a file removed by
// hand) is noticed as soon as before. The table is for one store at a time:
// a different spool (told apart by its instance number, so that one made
// later in the place of another is no match) or images URL empties it. It is
// open-addressed over a power of two of slots, so a look-up costs one hash
// of the bytes and, mostly, one comparison; a look-up that finds nothing
// tells where the bytes go, and remembering them there costs no other.
class ElementMemo {
 public:
  using Lookup = TextimageRewriter::Lookup;

  static ElementMemo& forThisThread() {
    thread_local ElementMemo memo;
    return memo;
  }

  // The markup remembered for `lookup.bytes` in `store`, or null when there
  // is none in time; notes in `lookup` where the bytes go. `checked` is the
  // arrangement at which the caller last found the table holding elements
  // of `store`: while the table keeps it, the store is not compared again.
  const std::string* find(Lookup& lookup, const ElementStore& store, std::uint64_t& checked) const {
    const std::string_view bytes = lookup.bytes;
    if (bytes.size() > TextimageRewriter::kLongestRemembered) {
      return nullptr;
    }
    if (checked != arrangement) {
      if (entries == 0 || !isFor(store)) {
        return nullptr;
      }
      checked = arrangement;
    }
    lookup.hash = hashOf(bytes);
    lookup.slot = slotOf(bytes, lookup.hash);
    lookup.arrangement = arrangement;
    const Slot& slot = slots[lookup.slot];
    return slot.used && Clock::now() < slot.trustedUntil ? &slot.markup : nullptr;
  }

  // Keeps `rewritten` for the bytes of `lookup`, which found no answer.
  void remember(const Lookup& lookup, const ElementStore& store, const Rewritten& rewritten) {
    const std::string_view bytes = lookup.bytes;
    if (store.spool == nullptr || bytes.size() > TextimageRewriter::kLongestRemembered ||
        rewritten.trustedUntil <= Clock::now()) {
      return;
    }
    if (!isFor(store) || entries == kMostEntries) {
      forget();
      spool = store.spool;
      spoolInstance = store.spool->instance();
      imagesURL = store.imagesURL;
    }
    const std::size_t hash = lookup.arrangement != 0 ? lookup.hash : hashOf(bytes);
    std::size_t index = lookup.arrangement == arrangement ? lookup.slot : slotOf(bytes, hash);
    if (!slots[index].used && 2 * (entries + 1) > slots.size()) {
      grow();
      index = slotOf(bytes, hash);
    }
    Slot& slot = slots[index];
    if (!slot.used) {
      slot.used = true;
      slot.hash = hash;
      slot.bytes = bytes;
      ++entries;
    }
    slot.markup = rewritten.markup;
    slot.trustedUntil = rewritten.trustedUntil;
    ++arrangement;
  }

 private:
  // Real elements are a few hundred bytes; the bounds keep the table of
  // each thread below about a megabyte whatever the pages hold. At most
  // half of the slots are used, so probes stay short; the table starts small
  // and doubles as a thread meets more elements, so a server with many
  // threads pays for the elements its pages hold, not for the bounds.
  static constexpr std::size_t kMostEntries = 512;
  static constexpr std::size_t kFirstSlots = 64;

  struct Slot {
    bool used = false;
    std::size_t hash = 0;
    std::string bytes;
    std::string markup;
    Clock::time_point trustedUntil;
  };

  // A hash of the bytes eight at a time: elements are short, and the table
  // compares the bytes themselves before it trusts a slot.
  static std::size_t hashOf(std::string_view bytes) {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
    std::uint64_t hash = bytes.size() * kMultiplier;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + at, 8);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    hash = (hash ^ tail) * kMultiplier;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
  }

  // The slot that holds `bytes`, or the free slot where they would go.
  std::size_t slotOf(std::string_view bytes, std::size_t hash) const {
    const std::size_t mask = slots.size() - 1;
    std::size_t index = hash & mask;
    while (slots[index].used && (slots[index].hash != hash || slots[index].bytes != bytes)) {
      index = (index + 1) & mask;
    }
    return index;
  }

  // Twice the slots, every entry moved to its place among them.
  void grow() {
    std::vector<Slot> old(2 * slots.size());
    old.swap(slots);
    for (Slot& slot : old) {
      if (slot.used) {
        slots[slotOf(slot.bytes, slot.hash)] = std::move(slot);
      }
    }
    ++arrangement;
  }

  void forget() {
    if (slots.empty()) {
      slots.resize(kFirstSlots);
    }
    for (Slot& slot : slots) {
      slot.used = false;
    }
    entries = 0;
    ++arrangement;
  }

  bool isFor(const ElementStore& store) const {
    return store.spool != nullptr && store.spool == spool && store.spool->instance() == spoolInstance &&
           store.imagesURL == imagesURL;
  }

  const SpoolStorage* spool = nullptr;
  std::uint64_t spoolInstance = 0;
  std::string imagesURL;
  std::vector<Slot> slots;
  std::size_t entries = 0;
  // Changes whenever an entry is made, the slots move or the table is
  // emptied, so that a look-up made before knows its slot may no longer be
  // the place of its bytes, and a block that found the table holding its
  // store's elements knows when to compare the store again.
  std::uint64_t arrangement = 1;
};

void removeControlCharacters(std::string& text) {
  std::erase_if(text, [](char byte) { return ascii::isControl(byte); });
}

std::string imgMarkup(ElementRecord& element, std::string_view imagesURL, const std::string& identifier) {
  std::string& src = element.attributes["src"];
  src.clear();
  src.reserve(imagesURL.size() + identifier.size() + 6);
  src += '"';
  src += imagesURL;
  src += identifier;
  src += ".gif\"";
  setDefault(element, "align", "\"absmiddle\"");
  setDefault(element, "border", "\"0\"");

  std::size_t size = 5;
  for (const auto& [attributeName, value] : element.attributes) {
    size += attributeName.size() + value.size() + 2;
  }
  std::string markup;
  markup.reserve(size);
  markup += "<img";
  for (const auto& [attributeName, value] : element.attributes) {
    if (isDrawingAttribute(attributeName)) {
      continue;
    }
    markup += ' ';
    markup += attributeName;
    markup += '=';
    markup += value;
  }
  markup += '>';
  return markup;
}

void rewriteElement(ElementRecord& element, const ElementStore& store, const Writer& write) {
  const Rewritten rewritten = rewriteRecord(element, store);
  if (!rewritten.markup.empty()) {
    write(rewritten.markup);
  }
}

ElementRecord elementRecordOf(std::string_view bytes, const ElementLayout& layout) {
  ElementRecord record;
  record.name = kElementName;
  for (const ElementLayout::Attribute& attribute : layout.attributes) {
    std::string name(bytes.substr(attribute.nameBegin, attribute.nameEnd - attribute.nameBegin));
    ascii::lowerInPlace(name);
    record.attributes[std::move(name)] =
        bytes.substr(attribute.valueBegin, attribute.valueEnd - attribute.valueBegin);
  }
  record.text = bytes.substr(std::min<std::size_t>(layout.textBegin, bytes.size()));
  std::replace(record.text.begin(), record.text.end(), '\n', ' ');
  return record;
}

ElementMemo& TextimageRewriter::memory() {
  if (memo == nullptr) {
    memo = &ElementMemo::forThisThread();
  }
  return *memo;
}

const std::string* TextimageRewriter::lookUp(Lookup& lookup) {
  return memory().find(lookup, store, checkedArrangement);
}

TextimageRewriter::Recalled TextimageRewriter::recall(std::int32_t tagStart, std::int32_t nameEnd) {
  if (misses >= kMostRememberedMisses) {
    return {};
  }
  if (nameEnd > closingAt) {
    closingAt = closingTagStart(data, nameEnd, nbytes);
  }
  if (closingAt < nbytes) {
    const std::int32_t end = closingAt + static_cast<std::int32_t>(kClosingTagLength);
    Lookup lookup{std::string_view(data + tagStart, static_cast<std::size_t>(end - tagStart))};
    if (const std::string* markup = lookUp(lookup)) {
      return {markup, end};
    }
    missed = lookup;
  }
  ++misses;
  return {};
}

void TextimageRewriter::rewrite(std::string_view bytes, const ElementLayout& layout) {
  // The bytes of a start the memory just could not answer are not asked for
  // again: nothing has been remembered since.
  Lookup lookup{bytes};
  if (bytes.data() == missed.bytes.data() && bytes.size() == missed.bytes.size()) {
    lookup = missed;
  } else if (const std::string* markup = lookUp(lookup)) {
    if (!markup->empty()) {
      write(*markup);
    }
    return;
  }
  ElementRecord record = elementRecordOf(bytes, layout);
  const Rewritten rewritten = rewriteRecord(record, store);
  if (!rewritten.markup.empty()) {
    write(rewritten.markup);
  }
  memory().remember(lookup, store, rewritten);
}

}  // namespace nimbuswatch
