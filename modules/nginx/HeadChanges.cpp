#include "modules/nginx/HeadChanges.h"

#include "platform/Ascii.h"

#include <algorithm>
#include <array>

namespace nimbuswatch::nginx {

namespace {

constexpr std::array<std::string_view, 4> kFramingFields{"Connection", "Keep-Alive", "Transfer-Encoding",
                                                         "Content-Length"};

bool framesTheBody(std::string_view name) {
  return std::any_of(kFramingFields.begin(), kFramingFields.end(),
                     [name](std::string_view framing) { return ascii::equalsIgnoringCase(name, framing); });
}

}  // namespace

std::optional<server::Fields> headFields(std::string_view head) {
  server::Fields fields;
  std::size_t start = head.find("\r\n");
  if (start == std::string_view::npos) {
    return std::nullopt;
  }
  start += 2;
  for (std::size_t end; (end = head.find("\r\n", start)) != std::string_view::npos && end > start; start = end + 2) {
    const std::string_view line = head.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    fields.push_back({std::string(line.substr(0, colon)), std::string(ascii::trimmed(line.substr(colon + 1)))});
  }
  return fields;
}

HeadChanges compareHeads(const server::Fields& given, const server::Fields& emitted) {
  HeadChanges changes;
  std::vector<bool> matched(emitted.size(), false);
  for (const server::Field& field : given) {
    FieldFate fate{FieldFate::Kind::Removed, {}};
    for (std::size_t i = 0; i < emitted.size(); ++i) {
      if (!matched[i] && ascii::equalsIgnoringCase(emitted[i].name, field.name)) {
        matched[i] = true;
        fate.kind = emitted[i].value == field.value ? FieldFate::Kind::Kept : FieldFate::Kind::Changed;
        fate.value = emitted[i].value;
        break;
      }
    }
    changes.given.push_back(std::move(fate));
  }
  for (std::size_t i = 0; i < emitted.size(); ++i) {
    if (!matched[i] && !framesTheBody(emitted[i].name)) {
      changes.added.push_back(emitted[i]);
    }
  }
  return changes;
}

}  // namespace nimbuswatch::nginx
