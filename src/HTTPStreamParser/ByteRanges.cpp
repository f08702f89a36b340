#include "HTTPStreamParser/ByteRanges.h"

#include "platform/Ascii.h"

namespace nimbuswatch {

namespace {

constexpr std::string_view kPageType = "text/html";
constexpr std::string_view kByteRangesType = "multipart/byteranges";
// A part header line is kept up to this length: its name and the beginning
// of its value are all that is looked at.
constexpr std::size_t kLineRoom = 256;


// The media type of a Content-Type value: what stands before its first ";".
std::string_view mediaType(std::string_view contentType) {
  return ascii::trimmed(contentType.substr(0, contentType.find(';')));
}

}  // namespace

bool isPageType(std::string_view contentType) { return contentType.starts_with(kPageType); }

bool isByteRangesType(std::string_view contentType) {
  return ascii::equalsIgnoringCase(mediaType(contentType), kByteRangesType);
}

std::string boundaryOf(std::string_view contentType) {
  // The parameters follow the media type, each behind a ";".
  std::size_t next = contentType.find(';');
  while (next != std::string_view::npos) {
    std::string_view parameter = contentType.substr(next + 1);
    next = contentType.find(';', next + 1);
    parameter = ascii::trimmed(parameter.substr(0, parameter.find(';')));
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos ||
        !ascii::equalsIgnoringCase(ascii::trimmed(parameter.substr(0, equals)), "boundary")) {
      continue;
    }
    std::string_view value = ascii::trimmed(parameter.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return {};
}

PartTypeWatch::PartTypeWatch(std::string_view boundary) : delimiter("--" + std::string(boundary)) {}

void PartTypeWatch::feed(const char* data, std::int32_t length) {
  for (std::int32_t i = 0; i < length && state != State::Epilogue; ++i) {
    step(data[i]);
  }
}

void PartTypeWatch::step(char byte) {
  switch (state) {
    case State::LineStart:
      matched = 0;
      state = State::Delimiter;
      stepDelimiter(byte);
      return;
    case State::Delimiter:
      stepDelimiter(byte);
      return;
    case State::DelimiterRest:
      stepDelimiterRest(byte);
      return;
    case State::PartHeader:
      stepPartHeader(byte);
      return;
    case State::SkipLine:
      if (byte == '\n') {
        state = State::LineStart;
      }
      return;
    case State::Epilogue:
      return;
  }
}

void PartTypeWatch::stepDelimiter(char byte) {
  if (byte == delimiter[matched]) {
    if (++matched == delimiter.size()) {
      state = State::DelimiterRest;
      matched = 0;
      closing = false;
    }
    return;
  }
  state = byte == '\n' ? State::LineStart : State::SkipLine;
}

// After the boundary come "--" for the closing delimiter, then only blanks
// up to the line end; anything else makes the line part of the data.
void PartTypeWatch::stepDelimiterRest(char byte) {
  if (byte == '\n') {
    state = closing ? State::Epilogue : State::PartHeader;
    line.clear();
    return;
  }
  const bool dash = byte == '-' && matched < 2 && (matched == 0 || closing);
  if (dash) {
    closing = true;
    ++matched;
    return;
  }
  if (closing && matched < 2) {
    state = State::SkipLine;
    return;
  }
  matched = 2;
  if (byte != ' ' && byte != '\t' && byte != '\r') {
    state = State::SkipLine;
  }
}

void PartTypeWatch::stepPartHeader(char byte) {
  if (byte != '\n') {
    if (line.size() < kLineRoom) {
      line += byte;
    }
    return;
  }
  completeHeaderLine();
}

void PartTypeWatch::completeHeaderLine() {
  const std::string_view text = ascii::trimmed(line);
  if (text.empty()) {
    state = State::LineStart;  // the part's data begins
    ++headerSections;
    return;
  }
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos &&
      ascii::equalsIgnoringCase(ascii::trimmed(text.substr(0, colon)), "content-type") &&
      isPageType(ascii::trimmed(text.substr(colon + 1)))) {
    pageFound = true;
  }
  line.clear();
}

}  // namespace nimbuswatch
