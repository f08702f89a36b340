#include "server/Fields.h"

#include "platform/Ascii.h"

#include <algorithm>

namespace nimbuswatch::server {

std::optional<std::string> fieldValue(const Fields& fields, std::string_view name) {
  std::optional<std::string> joined;
  for (const Field& field : fields) {
    if (!ascii::equalsIgnoringCase(field.name, name)) {
      continue;
    }
    if (joined) {
      *joined += ", ";
      *joined += field.value;
    } else {
      joined = field.value;
    }
  }
  return joined;
}

void removeField(Fields& fields, std::string_view name) {
  std::erase_if(fields, [name](const Field& field) { return ascii::equalsIgnoringCase(field.name, name); });
}

void setField(Fields& fields, std::string_view name, std::string_view value) {
  const auto named = [name](const Field& field) { return ascii::equalsIgnoringCase(field.name, name); };
  const auto first = std::find_if(fields.begin(), fields.end(), named);
  if (first == fields.end()) {
    fields.push_back({std::string(name), std::string(value)});
    return;
  }
  first->value = std::string(value);
  fields.erase(std::remove_if(first + 1, fields.end(), named), fields.end());
}

}  // namespace nimbuswatch::server
