// Header fields of a response as the server keeps them for its filters: an
// ordered list of name and value, names compared without regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuswatch::server {

struct Field {
  std::string name;
  std::string value;
};

using Fields = std::vector<Field>;

// The value of the field `name`; several fields of that name are joined
// with ", " in their order, as HTTP allows for a repeated field. Nothing
// when there is no such field.
std::optional<std::string> fieldValue(const Fields& fields, std::string_view name);

// Removes every field called `name`.
void removeField(Fields& fields, std::string_view name);

// Replaces the fields called `name` by one field with `value` at the place
// of the first, or appends it when there is none.
void setField(Fields& fields, std::string_view name, std::string_view value);

}  // namespace nimbuswatch::server
