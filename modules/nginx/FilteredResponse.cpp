#include "modules/nginx/FilteredResponse.h"

#include "HTTPStreamParser/ByteRanges.h"
#include "HTTPStreamParser/HttpRules.h"
#include "server/EmittedHead.h"
#include "server/HeaderFields.h"

#include <algorithm>
#include <cstring>

namespace nimbuswatch::nginx {

namespace {

constexpr unsigned kPartialContent = 206;
// The largest block the filter gets at once, as nimbuswatch-host hands a
// response over by default (and as the filter's log then tells alike).
constexpr std::size_t kBlock = 16 * 1024;
// A compressed block is decoded and handed to the filter this much at a time.
constexpr std::size_t kDecodedPortion = 64 * 1024;

bool compressed(const std::optional<std::string>& coding) {
  return coding && coding->find_first_not_of(" \t") != std::string::npos &&
         !server::ContentDecoder::isIdentity(*coding);
}

// The decoded page is not the representation the tag names.
void weakenEntityTag(server::Fields& fields) {
  const auto tag = server::fieldValue(fields, "ETag");
  if (tag && tag->starts_with('"')) {
    server::setField(fields, "ETag", "W/" + *tag);
  }
}

}  // namespace

FilteredResponse::FilteredResponse(const server::LoadedFilter& filter, server::RequestVariables request)
    : connection(&filter), headRequest(request.method == "HEAD") {
  connection.beginRequest(std::move(request));
}

FilteredResponse::~FilteredResponse() {
  if (connection.requestOpen()) {
    connection.endOfRequest();
  }
}

void FilteredResponse::mapUrl(std::string& physicalPath) { connection.urlMap(physicalPath); }

bool FilteredResponse::fail(std::string why) {
  trouble = std::move(why);
  return false;
}

FilteredResponse::Outcome FilteredResponse::head(unsigned status, std::string_view reason,
                                                 const server::Fields& fields) {
  server::Fields handed = fields;
  const auto coding = server::fieldValue(fields, "Content-Encoding");
  if (responseHasBody(headRequest, status) && compressed(coding) &&
      isPageType(server::fieldValue(fields, "Content-Type").value_or(""))) {
    const auto known = server::ContentDecoder::codingOf(*coding);
    if (!known) {
      fail("the page comes in the content coding \"" + *coding + "\", which cannot be undone to rewrite it");
      return Outcome::Refused;
    }
    decoder = std::make_unique<server::ContentDecoder>(*known);
    server::removeField(handed, "Content-Encoding");
    server::removeField(handed, "Content-Length");
    weakenEntityTag(handed);
  }
  if (!connection.sendResponse(status, std::move(handed)) ||
      !connection.rawData(server::serializeHead(11, status, reason, connection.responseFields()))) {
    fail("the filter ended the request at the response's head");
    return Outcome::Refused;
  }
  std::string& out = connection.output();
  if (!decoder && status != kPartialContent && out == server::serializeHead(11, status, reason, fields)) {
    connection.endOfRequest();
    out.clear();
    return Outcome::Untouched;
  }
  const std::size_t end = out.find("\r\n\r\n");
  const std::string_view emitted = std::string_view(out).substr(0, end == std::string::npos ? 0 : end + 4);
  const auto emittedFields = headFields(emitted);
  const auto framing = server::parseEmittedHead(emitted);
  if (!emittedFields || !framing) {
    fail("the filter emitted no readable head");
    return Outcome::Refused;
  }
  headChanges = compareHeads(fields, *emittedFields);
  chunked = framing->chunked;
  taken = emitted.size();
  return Outcome::Filtered;
}

bool FilteredResponse::feed(char* data, std::size_t size, bool writable) {
  for (std::size_t at = 0; at < size; at += kBlock) {
    const std::size_t block = std::min(kBlock, size - at);
    const bool goOn =
        writable ? connection.rawDataInPlace(data + at, block) : connection.rawData({data + at, block});
    if (!goOn) {
      return fail("the filter cut the response off");
    }
  }
  return true;
}

bool FilteredResponse::body(char* data, std::size_t size, bool writable) {
  if (!decoder) {
    return feed(data, size, writable);
  }
  decoder->input({data, size});
  do {
    std::string error;
    if (!decoder->decode(decoded, kDecodedPortion, error)) {
      return fail("the compressed page cannot be decoded: " + error);
    }
    if (!feed(decoded.data(), decoded.size(), true)) {
      return false;
    }
  } while (decoder->pending());
  return true;
}

bool FilteredResponse::end() {
  const bool whole = !decoder || decoder->complete();
  connection.endOfRequest();
  return whole || fail("the compressed page ended before its compressed stream did");
}

bool FilteredResponse::pending() {
  return taken < connection.output().size() && !chunks.done() && !chunks.broken();
}

std::size_t FilteredResponse::take(char* out, std::size_t room) {
  std::string& output = connection.output();
  const std::string_view rest = std::string_view(output).substr(std::min(taken, output.size()));
  std::size_t written = 0;
  if (chunked) {
    taken += chunks.read(rest, out, room, written);
  } else {
    written = std::min(room, rest.size());
    std::memcpy(out, rest.data(), written);
    taken += written;
  }
  if (taken >= output.size() || chunks.done() || chunks.broken()) {
    // The filter keeps nothing of a block past its call: the room is free
    // for its next output.
    output.clear();
    taken = 0;
  }
  return written;
}

}  // namespace nimbuswatch::nginx
