// Rules for header fields that every server driving the filter needs beyond
// the fields themselves (Fields.h): connection tokens, hop-by-hop fields,
// reason phrases and the serialized header block handed to the filter.
#pragma once

#include "server/Fields.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuswatch::server {

// True when the comma-separated list `list` holds `token` (any case, the
// white space around elements ignored), as in "Connection: keep-alive, x".
bool hasToken(std::string_view list, std::string_view token);

// The last element of a comma-separated list, white space trimmed: the
// transfer coding that frames a body is the last one applied.
std::string_view lastToken(std::string_view list);

// Drops what belongs to one hop only: Connection, Keep-Alive,
// Proxy-Connection and every field that Connection names. The framing
// fields (Content-Length, Transfer-Encoding) stay even when Connection names
// them, since the bytes that follow are framed by them.
void dropHopByHopFields(Fields& fields);

// The reason phrase the host writes for `status`; "Unknown" for codes it
// does not produce itself.
std::string_view reasonPhrase(unsigned status);

// The status line "HTTP/1.x status reason", the fields and the empty line,
// every line ended by CR LF. `version` is 10 or 11.
std::string serializeHead(unsigned version, unsigned status, std::string_view reason,
                          const Fields& fields);

}  // namespace nimbuswatch::server
