// The command line of nimbuswatch-host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbuswatch::host {

struct HostOptions {
  std::string configFile;    // the filter's .reg file; empty: none
  std::string listenAddress = "127.0.0.1";
  unsigned short listenPort = 8080;
  unsigned threads = 0;      // 0: one per processor
  std::string filterPath;    // empty: the library beside the executable
  bool noFilter = false;
  std::size_t blockSize = 16 * 1024;
  unsigned keepaliveRequests = 1000;       // responses on one connection before it closes
  std::uint64_t maxBodySize = 1024 * 1024; // largest request body; 0: no limit
  std::size_t maxConnections = 0;          // 0: derived from the descriptor limit
  unsigned upstreamTimeout = 60;           // seconds the upstream may stay silent
  std::string root;          // static files from here, or
  std::string upstreamHost;  // forward to this server
  std::string upstreamPort;
  std::string stateDir;      // the example site's state; empty: the default
  bool help = false;
  bool check = false;        // --check: check the --config file and end

  bool exampleSite() const { return root.empty() && upstreamHost.empty() && !check; }
};

struct OptionsResult {
  std::optional<HostOptions> options;
  std::string error;  // one line, when options is empty
};

// Reads the arguments after the program name. Each option takes its value as
// the next argument or after '='. At most one of --root and --upstream may be
// given; with neither (and no --config) the host serves the example site.
OptionsResult parseOptions(const std::vector<std::string>& arguments);

// The text that --help prints.
std::string usageText();

// "ADDR:PORT" or "[IPv6]:PORT" into its two parts; false when either is
// missing or the port is not a number from 0 to 65535.
bool splitHostPort(const std::string& text, std::string& host, std::string& port);

}  // namespace nimbuswatch::host
