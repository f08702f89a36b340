// Reads one HTML response as the server sends it (status line, header
// section, body framed by length, by the end of the request or in chunks), in
// whatever blocks it arrives, and writes it out again: the header section under
// the header-line rule with a closing block of its own, the body taken out of
// its framing, through the HTML parser, and re-framed as chunks for an
// "HTTP/1.1" request or unframed, with the connection closing, otherwise.
#pragma once

#include "HTMLStreamParser/TextimageRewriter.h"
#include "HTMLStreamParser/Writer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch {

class HTMLStreamParser;

// What the parser's owner tells it about the response, read once from the
// server before the first byte: the framing headers (empty when absent) and
// the protocol of the request.
struct ResponseFacts {
  std::string_view transferEncoding;
  std::string_view contentLength;
  std::string_view protocol;
};

class HTTPStreamParser {
 public:
  // The states, numbered as they are logged.
  enum class State : std::int32_t {
    HeaderSection = 0,
    BodyWithLength = 1,
    ChunkSize = 2,
    RestOfLine = 3,
    ChunkData = 4,
  };

  // Chooses the framing from `facts`; an unknown transfer coding declines the
  // response (see isDeclined). Everything the parser produces, header lines
  // and body alike, goes to `output` in order; elements are stored in `store`.
  HTTPStreamParser(const ResponseFacts& facts, Writer output, const ElementStore& store);
  // A parser that only follows the framing: the body's bytes go to `body`
  // as they are, and nothing is rewritten. For responses that pass through
  // but must be watched.
  HTTPStreamParser(const ResponseFacts& facts, Writer output, Writer body);
  ~HTTPStreamParser();
  HTTPStreamParser(const HTTPStreamParser&) = delete;
  HTTPStreamParser& operator=(const HTTPStreamParser&) = delete;

  // Consumes one raw block exactly as the server delivered it.
  void parse(const char* data, std::int32_t length);

  // End of the request: lets the HTML parser give up what it holds and, with
  // chunked output, writes the last chunk.
  void finish();

  // The body writer: one piece of body output, one chunk with chunked output.
  void write(const char* data, std::int32_t length);
  void write(std::string_view bytes);

  State currentState() const { return state; }
  bool isDone() const { return done; }
  // The response cannot be rewritten and must pass through untouched.
  bool isDeclined() const { return declined; }
  bool hasChunkedOutput() const { return chunkedOutput; }
  // In a body with length or a chunk's data, the bytes still to pass.
  std::int64_t remainingBytes() const { return remaining; }

 private:
  // The block being parsed; lives for one call of `parse`.
  struct Block {
    const char* data;
    std::int32_t length;
    std::int32_t pos;
  };

  // One step of the machine; false when the rest of the block is abandoned.
  bool step(Block& block);
  void stepHeaderSection(Block& block);
  void stepBody(Block& block);
  void stepChunkSize(Block& block);
  void stepRestOfLine(Block& block);

  void completeLine();
  void applyHeaderLineRule();
  void weakenEntityTag(std::size_t colon);
  void writeLine();
  void writeClosingBlock();
  void refuseChunkSize();
  void chooseFraming(const ResponseFacts& facts);

  Writer output;
  // Null when the body goes elsewhere.
  std::unique_ptr<HTMLStreamParser> html;
  // Where the body's bytes go: the HTML parser, or the watcher's sink.
  Writer body;
  bool declined = false;
  State state = State::HeaderSection;
  bool chunkedOutput = false;
  State bodyMode = State::BodyWithLength;
  char previous = 0;
  std::string line;
  std::int32_t lineCount = 0;
  // Body lengths are 64-bit: a page may well be larger than 2 GiB.
  std::int64_t remaining = 0;
  bool done = false;
};

// The decimal value of a Content-Length header as atoi reads it (leading white
// space, an optional sign, digits; 0 when there are none), in 64 bits; a value
// beyond that range does not wrap: it gives the largest or the smallest
// 64-bit value.
std::int64_t parseContentLength(std::string_view text);

}  // namespace nimbuswatch
