// What the filter made of a response's head, as changes a server applies
// to the head it keeps itself: nginx holds a response's fields in its own
// structures and writes the head after the filters, so the head the filter
// emitted is read back and compared with the one it was given.
#pragma once

#include "server/Fields.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuswatch::nginx {

struct FieldFate {
  enum class Kind { Kept, Changed, Removed };
  Kind kind = Kind::Kept;
  std::string value;  // the new value, when changed
};

struct HeadChanges {
  std::vector<FieldFate> given;  // one per field given, in order
  server::Fields added;          // fields the filter added, in order
};

// The fields of a complete head (status line, fields, empty line); nothing
// when a line between the status line and the empty line has no colon.
std::optional<server::Fields> headFields(std::string_view head);

// Matches each given field with the first emitted field of the same name
// (any case) not matched before: kept when the value is the same, changed
// when not, removed when there is none. Emitted fields left over are added,
// except the ones that frame the body and the connection (Connection,
// Keep-Alive, Transfer-Encoding, Content-Length): a server that frames the
// body itself decides those.
HeadChanges compareHeads(const server::Fields& given, const server::Fields& emitted);

}  // namespace nimbuswatch::nginx
