#include "HTTPStreamParser/HTTPStreamParser.h"

#include "HTMLStreamParser/HTMLStreamParser.h"
#include "HTTPStreamParser/HttpRules.h"
#include "Logger/Logger.h"
#include "platform/Ascii.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\HTTPStreamParser";
// The place the parser's guard names in its log line.
constexpr CodePlace kUnhandledState{kModule, 145};
constexpr char kLF = 0x0A;
constexpr char kCR = 0x0D;
constexpr std::int64_t kLargestLength = std::numeric_limits<std::int64_t>::max();
// A chunk size must stay below 0x80000000, however many leading zeros it has.
constexpr std::int64_t kLargestChunkSize = 0x7FFFFFFF;
constexpr std::int64_t kLargestSizeBeforeDigit = kLargestChunkSize / 16;

// Whether a header named `name` is written to the client. No range of a
// rewritten page is served, so Accept-Ranges goes with the length.
bool keepsHeader(std::string_view name, bool chunkedOutput) {
  if (ascii::equalsIgnoringCase(name, "content-length") || ascii::equalsIgnoringCase(name, "transfer-encoding") ||
      ascii::equalsIgnoringCase(name, "accept-ranges")) {
    return false;
  }
  if (chunkedOutput) {
    return true;
  }
  return !ascii::equalsIgnoringCase(name, "connection") && !ascii::equalsIgnoringCase(name, "keep-alive");
}


}  // namespace

std::int64_t parseContentLength(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && ascii::isSpace(text[pos])) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Accumulated as a negative number, whose range is one larger.
  constexpr std::int64_t kSmallest = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const int digit = text[pos] - '0';
    value = value < (kSmallest + digit) / 10 ? kSmallest : value * 10 - digit;
  }
  if (negative) {
    return value;
  }
  return value == kSmallest ? kLargestLength : -value;
}

HTTPStreamParser::HTTPStreamParser(const ResponseFacts& facts, Writer output, const ElementStore& store)
    : output(output),
      html(std::make_unique<HTMLStreamParser>(
          Writer::to<static_cast<void (HTTPStreamParser::*)(const char*, std::int32_t)>(&HTTPStreamParser::write)>(
              *this),
          store)),
      body(Writer::to<&HTMLStreamParser::feed>(*html)) {
  chooseFraming(facts);
}

HTTPStreamParser::HTTPStreamParser(const ResponseFacts& facts, Writer output, Writer body)
    : output(output), body(body) {
  chooseFraming(facts);
}

void HTTPStreamParser::chooseFraming(const ResponseFacts& facts) {
  const std::string_view transferEncoding = facts.transferEncoding;
  const std::int64_t contentLength = parseContentLength(facts.contentLength);
  if (transferEncoding.empty()) {
    bodyMode = State::BodyWithLength;
    // An absent, zero, negative or unreadable length lets the body run to the
    // end of the request.
    remaining = contentLength >= 1 ? contentLength : kLargestLength;
  } else if (transferEncoding == "chunked") {
    bodyMode = State::ChunkSize;
    remaining = 0;
  } else {
    logMessage(kNotice, "declining unknown Transfer-Encoding [%s]", std::string(transferEncoding).c_str());
    declined = true;
  }
  chunkedOutput = facts.protocol == "HTTP/1.1";
}

HTTPStreamParser::~HTTPStreamParser() = default;

void HTTPStreamParser::parse(const char* data, std::int32_t length) {
  if (length <= 0) {
    return;
  }
  Block block{data, length, 0};
  while (block.pos < block.length) {
    if (done || !step(block)) {
      return;
    }
  }
}

bool HTTPStreamParser::step(Block& block) {
  switch (state) {
    case State::HeaderSection:
      stepHeaderSection(block);
      return true;
    case State::BodyWithLength:
    case State::ChunkData:
      stepBody(block);
      return true;
    case State::ChunkSize:
      stepChunkSize(block);
      return true;
    case State::RestOfLine:
      stepRestOfLine(block);
      return true;
  }
  logAt(kCritical, kUnhandledState, "unhandled state %d", static_cast<int>(state));
  return false;
}

// A line is complete only when the first byte of the next line shows that it
// is not continued; CR is ignored, so LF alone ends a line as CR LF does.
void HTTPStreamParser::stepHeaderSection(Block& block) {
  const char byte = block.data[block.pos++];
  if (byte == kCR) {
    return;
  }
  if (previous != kLF) {
    if (byte != kLF) {
      line += byte;
    }
    previous = byte;
    return;
  }
  if (byte == ' ' || byte == '\t') {
    // A continuation: the line break goes, the leading white space stays.
    line += byte;
    previous = byte;
    return;
  }
  completeLine();
  if (byte == kLF) {
    writeClosingBlock();
    state = bodyMode;
    previous = kLF;
    return;
  }
  line += byte;
  previous = byte;
}

void HTTPStreamParser::stepBody(Block& block) {
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(remaining, block.length - block.pos));
  body(block.data + block.pos, n);
  remaining -= n;
  block.pos += n;
  if (remaining != 0) {
    return;
  }
  if (state == State::BodyWithLength) {
    done = true;
    return;
  }
  // The CR LF behind the chunk's data is skipped as the rest of a line.
  bodyMode = State::ChunkSize;
  state = State::RestOfLine;
}

void HTTPStreamParser::stepChunkSize(Block& block) {
  const std::int32_t value = ascii::hexValue(block.data[block.pos]);
  if (value < 0) {
    // Extensions and the line end are skipped; the size is complete.
    bodyMode = State::ChunkData;
    state = State::RestOfLine;
    return;
  }
  ++block.pos;
  if (remaining > kLargestSizeBeforeDigit) {
    refuseChunkSize();
    return;
  }
  remaining = remaining * 16 + value;
}

void HTTPStreamParser::stepRestOfLine(Block& block) {
  const char* start = block.data + block.pos;
  const auto* lineEnd =
      static_cast<const char*>(std::memchr(start, kLF, static_cast<std::size_t>(block.length - block.pos)));
  if (lineEnd == nullptr) {
    block.pos = block.length;
    return;
  }
  block.pos += static_cast<std::int32_t>(lineEnd - start) + 1;
  state = bodyMode;
  if (bodyMode == State::ChunkSize) {
    remaining = 0;
  } else if (bodyMode == State::ChunkData && remaining == 0) {
    done = true;
  }
}

// A chunk size of 0x80000000 or more is refused: the body ends here as a
// malformed one.
void HTTPStreamParser::refuseChunkSize() {
  logAt(kError, {kModule, __LINE__}, "refusing chunk size of more than 31 bits");
  done = true;
}

void HTTPStreamParser::completeLine() {
  applyHeaderLineRule();
  line.clear();
  ++lineCount;
}

void HTTPStreamParser::applyHeaderLineRule() {
  if (lineCount == 0) {
    writeLine();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) {
    writeLine();
    return;
  }
  const std::string_view name = std::string_view(line).substr(0, colon);
  if (!keepsHeader(name, chunkedOutput)) {
    return;
  }
  if (ascii::equalsIgnoringCase(name, "etag")) {
    weakenEntityTag(colon);
  }
  writeLine();
}

// The rewritten page is not the bytes a strong entity tag vouches for, only
// equivalent to them: the tag becomes weak, so that caches revalidate and no
// client combines ranges of the two.
void HTTPStreamParser::weakenEntityTag(std::size_t colon) {
  std::size_t value = colon + 1;
  while (value < line.size() && (line[value] == ' ' || line[value] == '\t')) {
    ++value;
  }
  if (value < line.size() && line[value] == '"') {
    line.insert(value, "W/");
  }
}

void HTTPStreamParser::writeLine() {
  output(line);
  output("\r\n");
}

void HTTPStreamParser::writeClosingBlock() {
  output(chunkedOutput ? "Transfer-Encoding: chunked\r\n" : "Connection: close\r\n");
  output("X-Powered-By: nimbuswatch/1.0\r\n");
  output("\r\n");
}

void HTTPStreamParser::finish() {
  if (html) {
    html->flush();
  }
  if (chunkedOutput) {
    write(std::string_view());
  }
}

void HTTPStreamParser::write(const char* data, std::int32_t length) {
  if (!chunkedOutput) {
    output(data, length);
    return;
  }
  char sizeLine[kChunkSizeLineRoom];
  output(sizeLine, static_cast<std::int32_t>(writeChunkSizeLine(sizeLine, static_cast<std::uint32_t>(length))));
  output(data, length);
  output("\r\n", 2);
}

void HTTPStreamParser::write(std::string_view bytes) { write(bytes.data(), static_cast<std::int32_t>(bytes.size())); }

}  // namespace nimbuswatch
