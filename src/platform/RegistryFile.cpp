#include "platform/Registry.h"

#include "platform/Ascii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace nimbuswatch::platform {

namespace {

constexpr const char* kDefaultRegistryFile = "/etc/nimbuswatch/nimbuswatch.reg";
constexpr std::string_view kKeyPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch";
// Far more than any export of one key; guards against a path that names a
// device or a huge file by mistake.
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

bool readWholeFile(const std::string& path, std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  char block[8192];
  std::size_t count = 0;
  while (content.size() <= kMaxFileSize && (count = std::fread(block, 1, sizeof block, file)) > 0) {
    content.append(block, count);
  }
  const bool ok = std::ferror(file) == 0 && content.size() <= kMaxFileSize;
  std::fclose(file);
  return ok;
}

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16LE without its byte-order mark to UTF-8; a surrogate without its
// partner becomes U+FFFD, an odd last byte is dropped.
std::string utf16ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&bytes](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                 static_cast<unsigned char>(bytes[i + 1]) << 8);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    appendUtf8(out, code);
  }
  return out;
}

// The file's text as bytes: UTF-16LE (as the registry editor exports) is
// turned into UTF-8, a UTF-8 byte-order mark is dropped, anything else is
// taken as it is.
std::string decodeExportFile(const std::string& content) {
  if (content.starts_with("\xFF\xFE")) {
    return utf16ToUtf8(std::string_view(content).substr(2));
  }
  if (content.starts_with("\xEF\xBB\xBF")) {
    return content.substr(3);
  }
  return content;
}



// Reads the quoted string that starts at text[pos], undoing the escapes of
// a backslash and of a quote (a backslash before either), and leaves pos
// after its closing quote. False when the string is not closed or holds
// another escape.
bool readQuoted(std::string_view text, std::size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') {
    return false;
  }
  for (++pos; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) {
        return false;
      }
    }
    out += text[pos];
  }
  return false;
}

bool isHeader(std::string_view line) {
  return line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4";
}

bool isOurSection(std::string_view line) {
  return line.size() >= 2 && line.back() == ']' && ascii::equalsIgnoringCase(line.substr(1, line.size() - 2), kKeyPath);
}

// One line of our key. A string assignment to `name` sets `found`, a
// deletion ("Name"=-) clears it; other types and malformed lines change
// nothing.
void applyAssignment(std::string_view line, std::string_view name, std::optional<std::string>& found) {
  std::size_t pos = 0;
  std::string valueName;
  if (!readQuoted(line, pos, valueName) || !ascii::equalsIgnoringCase(valueName, name)) {
    return;
  }
  std::string_view rest = ascii::trimmed(line.substr(pos));
  if (!rest.starts_with('=')) {
    return;
  }
  rest = ascii::trimmed(rest.substr(1));
  if (rest == "-") {
    found.reset();
    return;
  }
  std::string value;
  pos = 0;
  if (readQuoted(rest, pos, value) && ascii::trimmed(rest.substr(pos)).empty()) {
    found = std::move(value);
  }
}

// The string data of value `name` in our key, as the last assignment in the
// text leaves it; none when the text is no registry export.
std::optional<std::string> findStringValue(std::string_view text, std::string_view name) {
  std::optional<std::string> found;
  bool inOurKey = false;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = ascii::trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (first) {
      if (!isHeader(line)) {
        return std::nullopt;
      }
      first = false;
    } else if (line.starts_with('[')) {
      inOurKey = isOurSection(line);
    } else if (inOurKey) {
      // Comments, blank lines and the continuation lines of a hex value
      // written over several lines start with no quote and are passed over.
      applyAssignment(line, name, found);
    }
  }
  return found;
}

}  // namespace

std::string registryFilePath() {
  const char* path = std::getenv("NIMBUSWATCH_REGISTRY");
  return path != nullptr && *path != '\0' ? path : kDefaultRegistryFile;
}

int readRegistryValue(const char* name, char* buffer, std::uint32_t& size) {
  std::string content;
  if (name == nullptr || buffer == nullptr || !readWholeFile(registryFilePath(), content)) {
    return 1;
  }
  const std::optional<std::string> value = findStringValue(decodeExportFile(content), name);
  if (!value || value->size() >= size) {
    return 1;
  }
  std::memcpy(buffer, value->data(), value->size());
  buffer[value->size()] = '\0';
  size = static_cast<std::uint32_t>(value->size() + 1);
  return 0;
}

namespace {

std::string quotedForExport(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string registryExport(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]\r\n";
  for (const auto& [name, value] : values) {
    text += quotedForExport(name) + "=" + quotedForExport(value) + "\r\n";
  }
  return text;
}

}  // namespace nimbuswatch::platform
