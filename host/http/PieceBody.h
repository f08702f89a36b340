// The body type of every HTTP message the host reads with Beast, requests
// and upstream answers alike: it keeps only the bytes of the latest parse
// step, so a large body is never held whole.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <cstdint>
#include <string>

namespace nimbuswatch::host {

namespace http = boost::beast::http;
using boost::beast::error_code;

// A body type that keeps only the bytes of the latest parse step, so a
// large body is never held whole (unlike string_body, which reserves the
// whole Content-Length up front); with `keep` cleared it keeps none, for a
// reader that only wants the framing found.
struct PieceBody {
  struct value_type : std::string {
    bool keep = true;
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>& /*header*/, value_type& body) : body(body) {}
    void init(const boost::optional<std::uint64_t>& /*length*/, error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, error_code& ec);
    void finish(error_code& ec) { ec = {}; }

   private:
    value_type& body;
  };
};

template <class ConstBufferSequence>
std::size_t PieceBody::reader::put(const ConstBufferSequence& buffers, error_code& ec) {
  std::size_t total = 0;
  for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
       ++it) {
    const boost::asio::const_buffer part = *it;
    if (body.keep) {
      body.append(static_cast<const char*>(part.data()), part.size());
    }
    total += part.size();
  }
  ec = {};
  return total;
}

}  // namespace nimbuswatch::host
