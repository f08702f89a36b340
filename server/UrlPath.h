// Request targets and the paths they name: percent-decoding, the checks a
// path must pass before any filter or file system sees it, and the mapping
// of a URL onto a directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::server {

struct RequestTarget {
  std::string path;   // decoded, begins with '/'
  std::string query;  // as written, without the '?'
};

enum class TargetError { None, Malformed, Forbidden };

struct ParsedTarget {
  TargetError error = TargetError::None;
  RequestTarget target;
};

// Splits an origin-form target ("/a/b?x=1") or the path of an absolute one
// ("http://host/a/b?x=1") into the decoded path and the query. Malformed: no
// path, or a '%' not followed by two hexadecimal digits. Forbidden: the
// decoded path holds a NUL byte or a ".." segment, '/' and the backslash both
// counting as separators, so no spelling of "go up" reaches a directory.
ParsedTarget parseTarget(std::string_view target);

// The rest of `path` after `prefix` when the path begins with it (byte for
// byte); nothing otherwise or when the prefix is empty.
std::optional<std::string> afterPrefix(std::string_view path, std::string_view prefix);

// `path` with every byte outside letters, digits, "/-._~" written as %XX,
// fit for a Location field.
std::string percentEncodePath(std::string_view path);

// `directory` and `relative` joined with exactly one '/' between them.
std::string joinPath(std::string_view directory, std::string_view relative);

}  // namespace nimbuswatch::server
