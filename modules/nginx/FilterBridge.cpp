// The C functions nginx's side calls, over FilteredResponse and the host's
// check of the settings. Every function catches whatever C++ throws: nginx
// is C and must never see an exception.
#include "modules/nginx/FilterBridge.h"

#include "server/ConfigCheck.h"
#include "server/UrlPath.h"
#include "modules/nginx/FilteredResponse.h"
#include "platform/Registry.h"
#include "server/HeaderFields.h"
#include "server/LoadedFilter.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>

using namespace nimbuswatch;

struct nw_response {
  nginx::FilteredResponse filtered;
  std::string mapped;  // the path URL_MAP left
};

namespace {

// What this process runs: set once by nw_start_filter, only read afterwards.
struct Running {
  std::optional<server::LoadedFilter> filter;
  std::string config;
  std::string imagesUrl;
  std::string imagesDir;
};

Running& running() {
  static Running instance;
  return instance;
}

nw_text text(const std::string& value) { return {value.data(), value.size()}; }

std::string_view view(nw_text value) {
  return value.data == nullptr ? std::string_view() : std::string_view(value.data, value.len);
}

int report(std::string_view line, char* problem, std::size_t room) {
  if (problem != nullptr && room > 0) {
    const std::size_t length = std::min(line.size(), room - 1);
    std::memcpy(problem, line.data(), length);
    problem[length] = '\0';
  }
  return 0;
}

// The settings file the filter and the check read: the filter takes its
// name from NIMBUSWATCH_REGISTRY.
std::string nameSettings(const char* file) {
  std::FILE* opened = std::fopen(file, "rb");
  if (opened == nullptr) {
    return std::string("cannot read it: ") + std::strerror(errno);
  }
  std::fclose(opened);
  ::setenv("NIMBUSWATCH_REGISTRY", file, 1);
  return {};
}

std::string registryValue(const char* name) {
  char buffer[platform::kRegistryValueSize];
  std::uint32_t size = platform::kRegistryValueSize;
  return platform::readRegistryValue(name, buffer, size) == 0 ? std::string(buffer) : std::string();
}

// The filter library: beside this module in the build tree, else where the
// packages install it relative to nginx's modules directory. The module's
// own name is taken with its links resolved: Debian's nginx loads modules
// through /usr/share/nginx/modules, a link to /usr/lib/nginx/modules.
std::string filterPath() {
  namespace fs = std::filesystem;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&nw_start_filter), &info) == 0 || info.dli_fname == nullptr) {
    return NIMBUSWATCH_INSTALLED_FILTER;
  }
  std::error_code ec;
  fs::path module = fs::canonical(info.dli_fname, ec);
  if (ec) {
    module = info.dli_fname;
  }
  const fs::path directory = module.parent_path();
  if (const fs::path beside = directory / "libnimbuswatch.so"; fs::exists(beside, ec)) {
    return beside.string();
  }
  return (directory / NIMBUSWATCH_INSTALLED_FILTER).lexically_normal().string();
}

}  // namespace

extern "C" {

int nw_check_config(const char* file, char* problem, size_t room) {
  try {
    if (const std::string error = nameSettings(file); !error.empty()) {
      return report(error, problem, room);
    }
    const server::ConfigReport checked = server::checkConfig();
    return checked.problems.empty() ? 1 : report(server::problemLine(checked), problem, room);
  } catch (const std::exception& error) {
    return report(std::string("cannot check it: ") + error.what(), problem, room);
  } catch (...) {
    return report("cannot check it", problem, room);
  }
}

int nw_start_filter(const char* file, char* problem, size_t room) {
  try {
    Running& state = running();
    if (state.filter) {
      return 1;
    }
    if (const std::string error = nameSettings(file); !error.empty()) {
      return report(error, problem, room);
    }
    std::string error;
    state.filter = server::loadFilter(filterPath(), error);
    if (!state.filter) {
      return report(error, problem, room);
    }
    state.config = file;
    state.imagesUrl = registryValue("ImagesURL");
    state.imagesDir = registryValue("ImagesDir");
    return 1;
  } catch (const std::exception& error) {
    return report(std::string("cannot start the filter: ") + error.what(), problem, room);
  } catch (...) {
    return report("cannot start the filter", problem, room);
  }
}

nw_text nw_started_config(void) { return text(running().config); }
nw_text nw_images_url(void) { return text(running().imagesUrl); }
nw_text nw_images_dir(void) { return text(running().imagesDir); }

nw_response* nw_response_new(nw_text target, nw_text path, nw_text query, nw_text method, nw_text protocol) {
  try {
    const Running& state = running();
    if (!state.filter) {
      return nullptr;
    }
    server::RequestVariables request{std::string(view(path)), std::string(view(query)),
                                     std::string(view(method)), std::string(view(protocol))};
    if (const server::ParsedTarget parsed = server::parseTarget(view(target));
        parsed.error == server::TargetError::None) {
      request.url = parsed.target.path;
      request.query = parsed.target.query;
    }
    return new nw_response{nginx::FilteredResponse(*state.filter, std::move(request)), {}};
  } catch (...) {
    return nullptr;
  }
}

void nw_response_free(nw_response* response) {
  try {
    delete response;
  } catch (...) {
  }
}

nw_text nw_response_map_url(nw_response* response, nw_text path) {
  try {
    response->mapped = std::string(view(path));
    response->filtered.mapUrl(response->mapped);
  } catch (...) {
    response->mapped = std::string(view(path));
  }
  return text(response->mapped);
}

int nw_response_head(nw_response* response, unsigned status, nw_text reason, const nw_field* fields, size_t count) {
  try {
    server::Fields given;
    given.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      given.push_back({std::string(view(fields[i].name)), std::string(view(fields[i].value))});
    }
    std::string phrase(view(reason));
    if (phrase.empty()) {
      phrase = server::reasonPhrase(status);
    }
    switch (response->filtered.head(status, phrase, given)) {
      case nginx::FilteredResponse::Outcome::Untouched:
        return NW_UNTOUCHED;
      case nginx::FilteredResponse::Outcome::Filtered:
        return NW_FILTERED;
      case nginx::FilteredResponse::Outcome::Refused:
        return NW_REFUSED;
    }
  } catch (...) {
  }
  return NW_REFUSED;
}

int nw_field_fate(const nw_response* response, size_t index, nw_text* value) {
  const auto& given = response->filtered.changes().given;
  if (index >= given.size()) {
    return NW_KEPT;
  }
  *value = text(given[index].value);
  switch (given[index].kind) {
    case nginx::FieldFate::Kind::Kept:
      return NW_KEPT;
    case nginx::FieldFate::Kind::Changed:
      return NW_CHANGED;
    case nginx::FieldFate::Kind::Removed:
      return NW_REMOVED;
  }
  return NW_KEPT;
}

size_t nw_added_count(const nw_response* response) { return response->filtered.changes().added.size(); }

nw_field nw_added_field(const nw_response* response, size_t index) {
  const auto& added = response->filtered.changes().added;
  if (index >= added.size()) {
    return {{nullptr, 0}, {nullptr, 0}};
  }
  return {text(added[index].name), text(added[index].value)};
}

int nw_response_body(nw_response* response, char* data, size_t size, int writable) {
  try {
    return response->filtered.body(data, size, writable != 0) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int nw_response_end(nw_response* response) {
  try {
    return response->filtered.end() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int nw_response_pending(nw_response* response) { return response->filtered.pending() ? 1 : 0; }

long nw_response_take(nw_response* response, char* out, size_t room) {
  const std::size_t taken = response->filtered.take(out, room);
  return response->filtered.broken() ? -1 : static_cast<long>(taken);
}

nw_text nw_response_problem(const nw_response* response) {
  if (response->filtered.broken()) {
    static const std::string kBroken = "the filter's output is not the chunked body its head announced";
    return text(kBroken);
  }
  return text(response->filtered.problem());
}

}  // extern "C"
