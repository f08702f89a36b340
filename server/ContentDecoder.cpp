#include "server/ContentDecoder.h"

#include "platform/Ascii.h"

namespace nimbuswatch::server {

namespace {

// zlib's window sizes: 15 with 32 added reads a gzip or a zlib wrapper,
// whichever comes; the negative one reads bare deflate data.
constexpr int kAutomaticWrapper = 15 + 32;
constexpr int kBareDeflate = -15;
// zlib's wrapper is two bytes: a body without it shows long before this.
constexpr std::size_t kKeptForRetry = 64 * 1024;


}  // namespace

std::optional<ContentDecoder::Coding> ContentDecoder::codingOf(std::string_view contentEncoding) {
  const std::string_view coding = ascii::trimmed(contentEncoding);
  if (ascii::equalsIgnoringCase(coding, "gzip") || ascii::equalsIgnoringCase(coding, "x-gzip")) {
    return Coding::Gzip;
  }
  if (ascii::equalsIgnoringCase(coding, "deflate")) {
    return Coding::Deflate;
  }
  return std::nullopt;
}

bool ContentDecoder::isIdentity(std::string_view contentEncoding) {
  return ascii::equalsIgnoringCase(ascii::trimmed(contentEncoding), "identity");
}

ContentDecoder::ContentDecoder(Coding coding) : coding(coding), copying(coding == Coding::Deflate) {
  start(kAutomaticWrapper);
}

ContentDecoder::~ContentDecoder() {
  if (ready) {
    inflateEnd(&stream);
  }
}

bool ContentDecoder::start(int windowBits) {
  if (ready) {
    inflateEnd(&stream);
  }
  stream = z_stream{};
  ready = inflateInit2(&stream, windowBits) == Z_OK;
  return ready;
}

void ContentDecoder::input(std::string_view bytes) {
  // Until the first byte comes out, a deflate body is kept, so it can be
  // read again as bare data. What came before has all been read.
  copying = copying && !producedAny && first.size() + bytes.size() <= kKeptForRetry;
  if (copying) {
    first.append(bytes);
    bytes = std::string_view(first).substr(first.size() - bytes.size());
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
}

bool ContentDecoder::decode(std::string& out, std::size_t limit, std::string& error) {
  out.resize(limit);
  std::size_t produced = 0;
  while (produced < limit && stream.avail_in > 0 && !failed) {
    if (ended) {
      // Another gzip member follows the first: read it too.
      if (inflateReset(&stream) != Z_OK) {
        break;
      }
      ended = false;
    }
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    stream.avail_out = static_cast<uInt>(limit - produced);
    const int result = ready ? inflate(&stream, Z_NO_FLUSH) : Z_MEM_ERROR;
    produced = limit - stream.avail_out;
    producedAny = producedAny || produced > 0;
    if (result == Z_STREAM_END) {
      ended = true;
    } else if (result == Z_DATA_ERROR && copying && !producedAny) {
      // "deflate" was meant to carry zlib's wrapper, but many servers send
      // the bare data: read it again as such.
      if (!retryRaw(error)) {
        return false;
      }
    } else if (result != Z_OK) {
      // Z_BUF_ERROR too: with input and room for output, no progress means
      // the data cannot be read.
      failed = true;
      error = stream.msg != nullptr ? stream.msg : "zlib error " + std::to_string(result);
      out.clear();
      return false;
    }
  }
  out.resize(produced);
  return true;
}

bool ContentDecoder::retryRaw(std::string& error) {
  if (!start(kBareDeflate)) {
    failed = true;
    error = "zlib cannot start";
    return false;
  }
  // Nothing has come out yet: begin again with everything that went in.
  copying = false;
  stream.next_in = reinterpret_cast<Bytef*>(first.data());
  stream.avail_in = static_cast<uInt>(first.size());
  return true;
}

}  // namespace nimbuswatch::server
