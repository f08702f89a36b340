#include "support/ResponseExchange.h"

#include "core/Process.h"
#include "platform/Ascii.h"

#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace nimbuswatch::test {

namespace {

struct Header {
  std::string name;
  std::string value;
};

// The status line and the header lines up to the first empty line; a line
// that begins with a blank continues the one before.
std::vector<std::string> headerSection(std::string_view raw) {
  std::vector<std::string> lines;
  while (!raw.empty()) {
    const std::size_t end = raw.find('\n');
    std::string_view line = raw.substr(0, end);
    raw.remove_prefix(end == std::string_view::npos ? raw.size() : end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      break;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !lines.empty()) {
      lines.back() += line;
    } else {
      lines.emplace_back(line);
    }
  }
  return lines;
}

}  // namespace

server::Fields headerFieldsOf(std::string_view rawResponse) {
  const std::vector<std::string> lines = headerSection(rawResponse);
  server::Fields fields;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon != std::string::npos) {
      fields.push_back({lines[i].substr(0, colon), std::string(ascii::trimmed(std::string_view(lines[i]).substr(colon + 1)))});
    }
  }
  return fields;
}

ResponseExchange::ResponseExchange(std::string_view rawResponse, const ExchangeOptions& options) {
  const std::vector<std::string> lines = headerSection(rawResponse);
  DWORD status = options.status;
  if (status == 0 && !lines.empty()) {
    const std::size_t space = lines.front().find(' ');
    status = space == std::string::npos ? 200 : static_cast<DWORD>(std::atoi(lines.front().c_str() + space + 1));
  }
  connection.beginRequest({options.url, "", options.method, options.protocol});
  connection.sendResponse(status, headerFieldsOf(rawResponse));

  HTTP_FILTER_CONTEXT& pfc = connection.context();
  void* memory = pfc.AllocMem(&pfc, sizeof(ResponseContext), 0);
  responseContext = new (memory) ResponseContext{&pfc, connection.sendResponseRecord(), nullptr, 0};
  responseHandler = std::make_unique<ResponseHandler>(responseContext, options.url, options.protocol, options.method,
                                                      processValues().elementStore());
  responseContext->handler = responseHandler.get();
}

HTTP_FILTER_RAW_DATA ResponseExchange::feedRecord(std::string_view bytes) {
  // The server's own buffer for the block; it must outlive the call.
  block.assign(bytes);
  HTTP_FILTER_RAW_DATA rawData{block.data(), static_cast<DWORD>(block.size()), static_cast<DWORD>(block.capacity()),
                               0};
  responseContext->pfc = &connection.context();
  cut = !responseHandler->processRawData(rawData) || cut;
  return rawData;
}

std::string ResponseExchange::feed(std::string_view bytes) {
  const HTTP_FILTER_RAW_DATA rawData = feedRecord(bytes);
  if (rawData.cbInData == 0) {
    return {};
  }
  return std::string(static_cast<const char*>(rawData.pvInData), rawData.cbInData);
}

std::string ResponseExchange::finish() {
  responseContext->finished = 1;
  const ResponseHandler::Bytes bytes = responseHandler->finish();
  return bytes.length > 0 ? std::string(bytes.data, static_cast<std::size_t>(bytes.length)) : std::string();
}

std::string ResponseExchange::run(const Blocks& blocks) {
  std::string client;
  for (std::string_view part : blocks) {
    if (cut) {
      break;
    }
    client += feed(part);
  }
  client += finish();
  return client;
}

std::string exchange(std::string_view rawResponse, const Blocks& blocks, const ExchangeOptions& options) {
  ResponseExchange response(rawResponse, options);
  return response.run(blocks);
}

}  // namespace nimbuswatch::test
