// One response of nginx's through the filter, as the Windows web server
// hands a response to its filters: the request's variables, URL_MAP for a
// picture, SEND_RESPONSE with the fields, the head as raw data, the body in
// blocks as raw data, END_OF_REQUEST. A ServerConnection of its own per
// request: an HTTP/2 connection carries many requests at once, and the
// filter keeps one response's state per connection.
//
// The head the filter emits is read back and compared with the fields
// given (HeadChanges), since nginx writes the head itself. The body the
// filter emits is taken out of its framing (chunked for an HTTP/1.1
// client, unframed otherwise), since nginx frames it itself.
#pragma once

#include "server/ContentDecoder.h"
#include "modules/nginx/ChunkReader.h"
#include "modules/nginx/HeadChanges.h"
#include "server/ServerConnection.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch::nginx {

class FilteredResponse {
 public:
  enum class Outcome {
    Untouched,  // the filter leaves the response as it is: the server sends it itself
    Filtered,   // the head changes (changes()) and the body goes through the filter
    Refused,    // the response cannot be sent: problem() says why
  };

  FilteredResponse(const server::LoadedFilter& filter, server::RequestVariables request);
  // Ends the request for the filter if it is still open; what it then
  // emits goes nowhere.
  ~FilteredResponse();
  FilteredResponse(const FilteredResponse&) = delete;
  FilteredResponse& operator=(const FilteredResponse&) = delete;

  // URL_MAP: the filter sees the URL and `physicalPath` (and draws a
  // missing picture); the path may come back changed.
  void mapUrl(std::string& physicalPath);

  // SEND_RESPONSE and the head as raw data. A page compressed with gzip or
  // deflate is handed to the filter without its Content-Encoding and
  // Content-Length and its body decoded first, so the filter can read it;
  // a page in another coding is refused.
  Outcome head(unsigned status, std::string_view reason, const server::Fields& fields);
  const HeadChanges& changes() const { return headChanges; }

  // Body bytes as raw data, in blocks of at most 16 KiB as the host hands
  // them over; `writable`: the filter may change them where they lie. False when the response is cut off (a range of a page,
  // a compressed body that does not decode): the server must close the
  // connection. Call only when pending() is 0.
  bool body(char* data, std::size_t size, bool writable);
  // END_OF_REQUEST: the filter's last bytes join the pending ones. False
  // when the body ends before its framing or its coding says it is whole.
  bool end();

  // Body bytes the filter emitted, out of their framing, not yet taken.
  bool pending();
  // Copies up to `room` of them into `out`; how many.
  std::size_t take(char* out, std::size_t room);

  // The filter's output is not the chunked framing its head announced.
  bool broken() const { return chunks.broken(); }

  const std::string& problem() const { return trouble; }

 private:
  bool decodeInto(std::string_view compressed);
  bool feed(char* data, std::size_t size, bool writable);
  bool fail(std::string why);

  server::ServerConnection connection;
  HeadChanges headChanges;
  std::unique_ptr<server::ContentDecoder> decoder;
  std::string decoded;  // a portion of the decoded body
  ChunkReader chunks;
  bool headRequest;
  bool chunked = false;
  std::size_t taken = 0;  // of connection.output()
  std::string trouble;
};

}  // namespace nimbuswatch::nginx
