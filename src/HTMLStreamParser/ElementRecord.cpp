#include "HTMLStreamParser/ElementRecord.h"

namespace nimbuswatch {

std::string ElementRecord::attributeValue(const std::string& attributeName) const {
  const auto found = attributes.find(attributeName);
  if (found == attributes.end()) {
    return {};
  }
  const std::string& raw = found->second;
  if (!raw.empty() && (raw.front() == '\'' || raw.front() == '"')) {
    return raw.size() < 2 ? std::string() : raw.substr(1, raw.size() - 2);
  }
  return raw;
}

void ElementRecord::clear() {
  attributes.clear();
  name.clear();
  text.clear();
}

namespace {

bool needsEscape(char byte) { return static_cast<unsigned char>(byte) < 0x20 || byte == '\\'; }

// Appends the escaped form of `field` to `out`, copying runs that need no
// escape in one go.
void appendEscaped(std::string& out, std::string_view field) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (!needsEscape(field[i])) {
      continue;
    }
    out.append(field.data() + run, i - run);
    out += '\\';
    out += field[i] == '\\' ? '\\' : static_cast<char>(static_cast<unsigned char>(field[i]) + 0x41);
    run = i + 1;
  }
  out.append(field.data() + run, field.size() - run);
}

}  // namespace

std::string escapeField(std::string_view field) {
  std::string escaped;
  escaped.reserve(field.size() + 8);
  appendEscaped(escaped, field);
  return escaped;
}

std::string unescapeField(std::string_view field) {
  std::string plain;
  plain.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      plain += field[i];
      continue;
    }
    const char next = field[++i];
    plain += next == '\\' ? '\\' : static_cast<char>(static_cast<unsigned char>(next) - 65);
  }
  return plain;
}

namespace {

void appendLine(std::string& description, std::string_view key, std::string_view value) {
  appendEscaped(description, key);
  description += '\t';
  appendEscaped(description, value);
  description += '\n';
}

}  // namespace

std::string describeElement(const ElementRecord& record) {
  std::string description;
  std::size_t size = record.name.size() + record.text.size() + 2;
  for (const auto& [attributeName, value] : record.attributes) {
    size += attributeName.size() + value.size() + 2;
  }
  description.reserve(size + 16);
  appendLine(description, record.name, record.text);
  for (const auto& [attributeName, value] : record.attributes) {
    appendLine(description, attributeName, value);
  }
  return description;
}

std::unique_ptr<ElementRecord> parseElementDescription(std::string_view description) {
  std::unique_ptr<ElementRecord> record;
  std::string_view rest = description;
  for (;;) {
    const std::size_t tab = rest.find('\t');
    const std::size_t lineFeed = rest.find('\n');
    if (tab == std::string_view::npos || lineFeed == std::string_view::npos || lineFeed < tab) {
      break;
    }
    std::string key = unescapeField(rest.substr(0, tab));
    std::string value = unescapeField(rest.substr(tab + 1, lineFeed - tab - 1));
    rest.remove_prefix(lineFeed + 1);
    if (!record) {
      record = std::make_unique<ElementRecord>();
      record->name = std::move(key);
      record->text = std::move(value);
    } else {
      record->attributes[std::move(key)] = std::move(value);
    }
  }
  return record;
}

}  // namespace nimbuswatch
