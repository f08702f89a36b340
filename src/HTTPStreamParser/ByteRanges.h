// What a response's media type says about it: whether it is a page the
// filter rewrites, and, for a multipart/byteranges response (the answer to a
// request for several ranges), which types its parts carry. A part of a page
// must never reach a client unrewritten, so such a response is followed part
// by part while it passes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbuswatch {

// A Content-Type value that begins with "text/html": a page to rewrite.
bool isPageType(std::string_view contentType);

// A Content-Type value whose media type is multipart/byteranges, in any
// letter case.
bool isByteRangesType(std::string_view contentType);

// The boundary parameter of a multipart Content-Type value, unquoted; empty
// when there is none.
std::string boundaryOf(std::string_view contentType);

// Reads the body of a multipart/byteranges response, in blocks cut
// anywhere, and tells once a part header announces a page. Part data is
// never taken for a part header: only the lines after a delimiter line
// ("--" and the boundary at the start of a line) up to the empty line are.
class PartTypeWatch {
 public:
  explicit PartTypeWatch(std::string_view boundary);

  void feed(const char* data, std::int32_t length);
  bool foundPage() const { return pageFound; }
  // The number of parts whose header section has been read whole.
  std::size_t partsRead() const { return headerSections; }

 private:
  enum class State {
    LineStart,       // a line of the preamble or of a part's data begins
    Delimiter,       // the line so far matches the delimiter
    DelimiterRest,   // after the delimiter, up to the end of its line
    PartHeader,      // a line of a part's header section
    SkipLine,        // any other line, up to its end
    Epilogue,        // after the closing delimiter: nothing more is read
  };

  void step(char byte);
  void stepDelimiter(char byte);
  void stepDelimiterRest(char byte);
  void stepPartHeader(char byte);
  void completeHeaderLine();

  std::string delimiter;
  State state = State::LineStart;
  std::size_t matched = 0;
  bool closing = false;  // the delimiter is followed by "--": the last one
  std::string line;
  bool pageFound = false;
  std::size_t headerSections = 0;
};

}  // namespace nimbuswatch
