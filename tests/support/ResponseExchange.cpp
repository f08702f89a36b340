#include "support/ResponseExchange.h"

#include "core/Filter.h"
#include "platform/Ascii.h"

#include <cstdlib>
#include <stdexcept>
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

namespace {

// The filter's notification entry, called in this process.
DWORD WINAPI filterInProcess(HTTP_FILTER_CONTEXT* pfc, DWORD notification, LPVOID record) {
  return httpFilterProc(pfc, notification, record);
}

}  // namespace

ResponseExchange::ResponseExchange(std::string_view rawResponse, const ExchangeOptions& options)
    : filter(&filterInProcess, kFilterFlags, kFilterDescription, kFilterVersion), connection(&filter) {
  const std::vector<std::string> lines = headerSection(rawResponse);
  DWORD status = options.status;
  if (status == 0 && !lines.empty()) {
    const std::size_t space = lines.front().find(' ');
    status = space == std::string::npos ? 200 : static_cast<DWORD>(std::atoi(lines.front().c_str() + space + 1));
  }
  connection.beginRequest({options.url, "", options.method, options.protocol});
  connection.sendResponse(status, headerFieldsOf(rawResponse));
}

ResponseHandler& ResponseExchange::handler() {
  auto* record = static_cast<ResponseContext*>(connection.context().pFilterContext);
  if (record == nullptr || record->handler == nullptr) {
    throw std::logic_error("the response has no handler (any more)");
  }
  return *record->handler;
}

void ResponseExchange::noteDecision() {
  const auto* record = static_cast<const ResponseContext*>(connection.context().pFilterContext);
  if (record != nullptr && record->handler != nullptr) {
    decided = record->handler->getDecision();
  }
}

std::string ResponseExchange::feed(std::string_view bytes) {
  if (cut) {
    return {};
  }
  cut = !connection.rawData(bytes);
  noteDecision();
  return std::exchange(connection.output(), std::string());
}

std::size_t ResponseExchange::feedInPlace(char* block, std::size_t size) {
  if (cut) {
    return 0;
  }
  cut = !connection.rawDataInPlace(block, size);
  const std::size_t sent = connection.output().size();
  connection.output().clear();
  return sent;
}

std::string ResponseExchange::finish() {
  noteDecision();
  connection.endOfRequest();
  return std::exchange(connection.output(), std::string());
}

std::string ResponseExchange::run(const Blocks& blocks) {
  std::string client;
  for (std::string_view part : blocks) {
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
