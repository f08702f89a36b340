#include "host/session/FileExchange.h"

#include "host/http/StaticFiles.h"
#include "host/session/Session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace nimbuswatch::host {

void FileExchange::serve(const std::string& physical, const RequestTarget& target) {
  const auto& request = session.request().get();
  std::optional<std::string> since;
  if (const auto field = request.find(http::field::if_modified_since); field != request.end()) {
    since = std::string(field->value());
  }
  respond(serveFile(physical, {std::string(request.method_string()), target.path, target.query, since}));
}

void FileExchange::respond(LocalResponse response) {
  local = std::move(response);
  const bool framed = !local.sendBody || fieldValue(local.fields, "Content-Length").has_value();
  setConnectionField(local.fields, connectionFieldFor(session.requestFacts(), framed));
  if (!session.sendHead(local.status, reasonPhrase(local.status), std::move(local.fields)) || !local.sendBody) {
    session.flush(Session::Phase::EndRequest);
  } else if (local.file.isOpen()) {
    pump();  // the header block goes out with the first part of the body
  } else {
    session.emit(local.body);
    session.flush(Session::Phase::EndRequest);
  }
}

void FileExchange::pump() {
  // One read per batch; the filter gets the batch in blocks of --block-size,
  // changing them where they lie. The last batch goes out together with
  // what the end of the request adds. The filter keeps nothing of a block
  // past its call and its output is copied, so the batch is free again when
  // this returns: one buffer per thread serves every connection.
  thread_local std::vector<char> batch;
  const std::size_t blockSize = session.context().options.blockSize;
  batch.resize(std::max(Session::kBatch, blockSize));
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(batch.size(), local.remaining));
  const long count = wanted == 0 ? 0 : local.file.read(batch.data(), wanted);
  if (wanted > 0 && count <= 0) {
    session.cutShort(count == 0 ? "the file ended " + std::to_string(local.remaining) + " bytes before its length"
                                : std::string("the file could not be read: ") + std::strerror(errno));
    return;
  }
  const auto got = static_cast<std::size_t>(count);
  local.remaining -= got;
  session.emitInPlace(batch.data(), got);
  if (session.stopped() || local.remaining == 0) {
    session.resume(Session::Phase::EndRequest);
  } else {
    session.flush(Session::Phase::PumpFile);
  }
}

}  // namespace nimbuswatch::host
