#include "server/HeaderFields.h"

#include "platform/Ascii.h"

#include <algorithm>
#include <array>
#include <utility>

namespace nimbuswatch::server {

namespace {

// Calls `visit` with each trimmed, non-empty element of a comma list.
template <class Visit>
void forEachToken(std::string_view list, Visit visit) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view element = ascii::trimmed(list.substr(0, comma));
    if (!element.empty()) {
      visit(element);
    }
    if (comma == std::string_view::npos) {
      break;
    }
    list.remove_prefix(comma + 1);
  }
}

bool isFramingField(std::string_view name) {
  return ascii::equalsIgnoringCase(name, "Content-Length") || ascii::equalsIgnoringCase(name, "Transfer-Encoding");
}

}  // namespace

bool hasToken(std::string_view list, std::string_view token) {
  bool found = false;
  forEachToken(list, [&](std::string_view element) { found = found || ascii::equalsIgnoringCase(element, token); });
  return found;
}

std::string_view lastToken(std::string_view list) {
  std::string_view last;
  forEachToken(list, [&](std::string_view element) { last = element; });
  return last;
}

void dropHopByHopFields(Fields& fields) {
  std::vector<std::string> named;
  if (const auto connection = fieldValue(fields, "Connection")) {
    forEachToken(*connection, [&](std::string_view element) {
      if (!isFramingField(element)) {
        named.emplace_back(element);
      }
    });
  }
  removeField(fields, "Connection");
  removeField(fields, "Keep-Alive");
  removeField(fields, "Proxy-Connection");
  for (const std::string& name : named) {
    removeField(fields, name);
  }
}

std::string_view reasonPhrase(unsigned status) {
  static constexpr std::array<std::pair<unsigned, std::string_view>, 14> kPhrases{{
      {200, "OK"},
      {204, "No Content"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {304, "Not Modified"},
      {400, "Bad Request"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {413, "Payload Too Large"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {502, "Bad Gateway"},
      {504, "Gateway Timeout"},
  }};
  for (const auto& [code, phrase] : kPhrases) {
    if (code == status) {
      return phrase;
    }
  }
  return "Unknown";
}

std::string serializeHead(unsigned version, unsigned status, std::string_view reason,
                          const Fields& fields) {
  std::string head = version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  head += std::to_string(status);
  head += ' ';
  head += reason;
  head += "\r\n";
  for (const Field& field : fields) {
    head += field.name;
    head += ": ";
    head += field.value;
    head += "\r\n";
  }
  head += "\r\n";
  return head;
}

}  // namespace nimbuswatch::server
