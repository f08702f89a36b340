#include "host/config/HostOptions.h"

#include <charconv>
#include <limits>

namespace nimbuswatch::host {

namespace {

constexpr std::size_t kMaxBlockSize = 16 * 1024 * 1024;
constexpr unsigned kMaxCount = 1000 * 1000 * 1000;

// A number of bytes, with an optional suffix k, m or g (powers of 1024).
bool parseByteSize(std::string text, std::uint64_t& value) {
  unsigned shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      default: break;
    }
  }
  if (shift > 0) {
    text.pop_back();
  }
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty() ||
      value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    return false;
  }
  value <<= shift;
  return true;
}

template <class Number>
bool parseNumber(const std::string& text, Number low, Number high, Number& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end && value >= low && value <= high;
}

bool takesValue(const std::string& name) {
  for (const char* known : {"--config", "--listen", "--threads", "--filter", "--block-size", "--root", "--upstream",
                            "--state", "--keepalive-requests", "--max-body-size", "--max-connections",
                            "--upstream-timeout"}) {
    if (name == known) {
      return true;
    }
  }
  return false;
}

// Applies one option with its value; the error text when it is not valid.
std::string applyOption(const std::string& name, const std::string& value, HostOptions& options) {
  if (name == "--config") {
    options.configFile = value;
  } else if (name == "--listen") {
    std::string port;
    unsigned short number = 0;
    if (!splitHostPort(value, options.listenAddress, port) ||
        !parseNumber<unsigned short>(port, 0, 65535, number)) {
      return "--listen wants ADDR:PORT, not \"" + value + "\"";
    }
    options.listenPort = number;
  } else if (name == "--threads") {
    if (!parseNumber<unsigned>(value, 1, 1024, options.threads)) {
      return "--threads wants a number from 1 to 1024, not \"" + value + "\"";
    }
  } else if (name == "--filter") {
    options.filterPath = value;
  } else if (name == "--block-size") {
    if (!parseNumber<std::size_t>(value, 1, kMaxBlockSize, options.blockSize)) {
      return "--block-size wants a number of bytes from 1 to 16777216, not \"" + value + "\"";
    }
  } else if (name == "--keepalive-requests") {
    if (!parseNumber<unsigned>(value, 1, kMaxCount, options.keepaliveRequests)) {
      return "--keepalive-requests wants a number from 1 to 1000000000, not \"" + value + "\"";
    }
  } else if (name == "--max-body-size") {
    if (!parseByteSize(value, options.maxBodySize)) {
      return "--max-body-size wants a number of bytes (with k, m or g: KiB, MiB, GiB), not \"" + value + "\"";
    }
  } else if (name == "--max-connections") {
    if (!parseNumber<std::size_t>(value, 1, kMaxCount, options.maxConnections)) {
      return "--max-connections wants a number from 1 to 1000000000, not \"" + value + "\"";
    }
  } else if (name == "--upstream-timeout") {
    if (!parseNumber<unsigned>(value, 1, 86400, options.upstreamTimeout)) {
      return "--upstream-timeout wants a number of seconds from 1 to 86400, not \"" + value + "\"";
    }
  } else if (name == "--root") {
    options.root = value;
  } else if (name == "--state") {
    options.stateDir = value;
  } else if (name == "--upstream") {
    if (!splitHostPort(value, options.upstreamHost, options.upstreamPort) ||
        options.upstreamHost.empty()) {
      return "--upstream wants HOST:PORT, not \"" + value + "\"";
    }
  }
  return {};
}

std::string checkCombination(const HostOptions& options) {
  if (options.help) {
    return {};
  }
  if (options.check && options.configFile.empty()) {
    return "--check needs --config FILE";
  }
  if (!options.root.empty() && !options.upstreamHost.empty()) {
    return "give only one of --root DIR and --upstream HOST:PORT";
  }
  if (options.exampleSite() && !options.configFile.empty()) {
    return "--config goes with --root DIR or --upstream HOST:PORT";
  }
  if (!options.exampleSite() && !options.stateDir.empty()) {
    return "--state goes with the example site, not with --root or --upstream";
  }
  if (options.noFilter && !options.filterPath.empty()) {
    return "--no-filter and --filter exclude each other";
  }
  return {};
}

}  // namespace

bool splitHostPort(const std::string& text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) {
    return false;
  }
  std::string name = text.substr(0, colon);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  unsigned short number = 0;
  if (!parseNumber<unsigned short>(text.substr(colon + 1), 0, 65535, number)) {
    return false;
  }
  host = name;
  port = text.substr(colon + 1);
  return true;
}

OptionsResult parseOptions(const std::vector<std::string>& arguments) {
  HostOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--no-filter") {
      options.noFilter = true;
      continue;
    }
    if (name == "--check") {
      options.check = true;
      continue;
    }
    std::string value;
    const std::size_t equals = name.find('=');
    const bool inlined = name.starts_with("--") && equals != std::string::npos;
    if (inlined) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (!takesValue(name)) {
      return {std::nullopt, "unknown option " + name};
    }
    if (!inlined && i + 1 >= arguments.size()) {
      return {std::nullopt, name + " needs a value"};
    }
    if (!inlined) {
      value = arguments[++i];
    }
    if (std::string error = applyOption(name, value, options); !error.empty()) {
      return {std::nullopt, error};
    }
  }
  if (std::string error = checkCombination(options); !error.empty()) {
    return {std::nullopt, error};
  }
  return {options, {}};
}

std::string usageText() {
  return R"(Usage: nimbuswatch-host [--root DIR | --upstream HOST:PORT] [options]

An HTTP/1.1 server that loads an ISAPI filter library and drives it as the
Windows web server does: every response passes through the filter's
notifications before it reaches the client.

Modes:
  --root DIR            serve the static files under DIR (GET and HEAD)
  --upstream HOST:PORT  forward every request to the web server at HOST:PORT
                        over kept-alive HTTP/1.1 connections, without
                        Accept-Encoding, and pass its response through the filter
  (neither)             serve the bundled example site with a configuration
                        made under the state directory
  --state DIR           the example site's state directory: fonts, spool,
                        images, log and nimbuswatch.reg (default: state/ in
                        the checkout)
  --check --config FILE read FILE as the service would, print what it holds
                        (directories, fonts by family and style, the
                        fallback) and exit 0, or 2 with one line per problem

Options:
  --config FILE         the filter's .reg file; handed to the filter as
                        NIMBUSWATCH_REGISTRY, and the host serves URLs under its
                        ImagesURL from its ImagesDir in both modes
  --listen ADDR:PORT    address to listen on (default 127.0.0.1:8080; port 0
                        picks a free one); the address is printed at start
  --threads N           worker threads (default: one per processor)
  --filter PATH         the filter library (default: libnimbuswatch.so beside
                        this program, else ../lib/nimbuswatch/ from it)
  --no-filter           serve without any filter
  --block-size N        largest block of raw response bytes handed to the
                        filter at a time (default 16384)
  --keepalive-requests N
                        close a kept-alive connection after N responses
                        (default 1000)
  --max-body-size SIZE  refuse a request body larger than SIZE bytes (k, m
                        or g for KiB, MiB, GiB) with 413 (default 1m; 0: no
                        limit); a body streams to the upstream, or is read
                        and dropped when a file answers the request
  --max-connections N   serve at most N connections at once; more wait to be
                        accepted (default: from the descriptor limit, which
                        the host raises to its hard limit at start)
  --upstream-timeout S  give up on an upstream silent for S seconds (default
                        60); the response is then cut short
  --help                this text

Bad options, unreadable files and an unusable filter configuration (a
registry export that cannot be read, SpoolDir, ImagesDir or FontsDir missing,
not writable or not ending with "/", ImagesURL not beginning and ending with
"/", no times.ttf in FontsDir) end the program with one line on standard
error and exit code 2. A response that cannot be completed (the upstream or
the file ends early) is cut off by closing the connection and reported on
standard error as "nimbuswatch-host: [error] ...".
)";
}

}  // namespace nimbuswatch::host
