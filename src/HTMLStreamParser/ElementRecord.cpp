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

std::string escapeField(std::string_view field) {
  std::string escaped;
  escaped.reserve(field.size() + 8);
  for (const char byte : field) {
    const auto value = static_cast<unsigned char>(byte);
    if (value < 0x20) {
      escaped += '\\';
      escaped += static_cast<char>(value + 0x41);
    } else if (byte == '\\') {
      escaped += "\\\\";
    } else {
      escaped += byte;
    }
  }
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
  description += escapeField(key);
  description += '\t';
  description += escapeField(value);
  description += '\n';
}

}  // namespace

std::string describeElement(const ElementRecord& record) {
  std::string description;
  description.reserve(64 + record.text.size());
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
