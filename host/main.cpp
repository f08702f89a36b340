// nimbuswatch-host: reads the options, hands the configuration to the
// filter, loads it, and serves until SIGINT or SIGTERM.
#include "host/http/ServerNames.h"
#include "host/config/ExampleSite.h"
#include "host/config/HostConfig.h"
#include "host/config/HostContext.h"
#include "host/session/Listener.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace net = boost::asio;
using namespace nimbuswatch::host;

namespace {

constexpr int kUsageError = 2;

int fail(const std::string& line) {
  std::fprintf(stderr, "nimbuswatch-host: %s\n", line.c_str());
  return kUsageError;
}

// Descriptors the process needs besides its connections: the listener, the
// event loop, the filter's log and the files it draws with, and some room.
constexpr rlim_t kReservedDescriptors = 64;

// Raises the soft limit on open descriptors to the hard one and gives the
// number of connections it allows: each may hold two (the client's socket,
// and a file or the upstream's socket).
std::size_t connectionsAllowed() {
  rlimit limit{1024, 1024};  // the usual default, should the limit be unknown
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    }
  }
  if (limit.rlim_cur == RLIM_INFINITY) {
    return 1 << 20;
  }
  return limit.rlim_cur > kReservedDescriptors + 2 ? static_cast<std::size_t>((limit.rlim_cur - kReservedDescriptors) / 2)
                                                   : 1;
}

// The filter library: beside the executable in the build tree, else where
// the installation puts it relative to the executable (/usr/sbin and
// /usr/lib/nimbuswatch), so an installed tree works wherever it lies.
std::string defaultFilterPath() {
  constexpr const char* kName = "libnimbuswatch.so";
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return kName;
  }
  const auto beside = self.parent_path() / kName;
  if (std::filesystem::exists(beside, ec)) {
    return beside.string();
  }
  return (self.parent_path() / NIMBUSWATCH_INSTALLED_FILTER).lexically_normal().string();
}

// --check: the configuration as the service would read it, what it holds,
// and its problems; 0 when it is usable, else 2.
int checkOnly(const HostOptions& options) {
  if (std::string error = useConfigFile(options.configFile); !error.empty()) {
    return fail(error);
  }
  const ConfigReport report = checkConfig();
  std::fputs(reportText(report).c_str(), stdout);
  std::fflush(stdout);
  for (const std::string& problem : report.problems) {
    std::fprintf(stderr, "nimbuswatch-host: %s: %s\n", report.file.c_str(), problem.c_str());
  }
  return report.problems.empty() ? 0 : kUsageError;
}

// Everything that can fail before serving starts; the error line, or empty.
std::string prepare(HostContext& host, net::io_context& context) {
  HostOptions& options = host.options;
  if (options.exampleSite()) {
    ExampleSite site;
    if (std::string error = prepareExampleSite(options.stateDir.empty() ? defaultStateDir() : options.stateDir, site);
        !error.empty()) {
      return error;
    }
    options.root = site.root;
    options.configFile = site.configFile;
    std::printf("nimbuswatch-host: serving the example site %s with %s\n", site.root.c_str(), site.configFile.c_str());
  }
  if (!options.configFile.empty()) {
    if (std::string error = useConfigFile(options.configFile); !error.empty()) {
      return error;
    }
  }
  if (!options.noFilter) {
    // Before the filter starts, since it acts on what it reads at once.
    if (const ConfigReport report = checkConfig(); !report.problems.empty()) {
      return "unusable configuration " + report.file + ": " + problemLine(report);
    }
  }
  host.images = readImagesConfig();
  if (!options.root.empty() && !std::filesystem::is_directory(options.root)) {
    return "--root " + options.root + " is not a readable directory";
  }
  if (!options.noFilter) {
    std::string error;
    host.filter = nimbuswatch::server::loadFilter(options.filterPath.empty() ? defaultFilterPath() : options.filterPath,
                             error);
    if (!host.filter) {
      return error;
    }
  }
  if (!options.upstreamHost.empty()) {
    boost::system::error_code ec;
    host.upstream = net::ip::tcp::resolver(context).resolve(options.upstreamHost, options.upstreamPort, ec);
    if (ec) {
      return "cannot resolve --upstream " + options.upstreamHost + ": " + ec.message();
    }
  }
  return {};
}

std::string addressText(const net::ip::tcp::endpoint& endpoint) {
  const std::string address = endpoint.address().to_string();
  return endpoint.address().is_v6() ? "[" + address + "]" : address;
}

}  // namespace

int main(int argc, char** argv) {
  const OptionsResult parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    return fail(parsed.error + " (see --help)");
  }
  if (parsed.options->help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (parsed.options->check) {
    return checkOnly(*parsed.options);
  }
  HostContext host;
  host.options = *parsed.options;
  const std::size_t allowed = connectionsAllowed();
  host.maxConnections = host.options.maxConnections > 0 ? host.options.maxConnections : allowed;
  const unsigned threads = host.options.threads > 0 ? host.options.threads
                                                    : std::max(1u, std::thread::hardware_concurrency());
  net::io_context context(static_cast<int>(threads));
  if (std::string error = prepare(host, context); !error.empty()) {
    return fail(error);
  }
  boost::system::error_code ec;
  const auto address = net::ip::make_address(host.options.listenAddress, ec);
  if (ec) {
    return fail("--listen " + host.options.listenAddress + " is not an IP address");
  }
  auto listener = std::make_shared<Listener>(context, net::ip::tcp::endpoint(address, host.options.listenPort), host, ec);
  if (ec) {
    return fail("cannot listen on " + host.options.listenAddress + ":" + std::to_string(host.options.listenPort) +
                ": " + ec.message());
  }
  listener->run();
  const auto bound = listener->localEndpoint();
  std::printf("nimbuswatch-host: listening on http://%s:%u/\n", addressText(bound).c_str(), bound.port());
  std::fflush(stdout);

  net::signal_set signals(context, SIGINT, SIGTERM);
  signals.async_wait([&context](boost::system::error_code, int) { context.stop(); });
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) {
    workers.emplace_back([&context] { context.run(); });
  }
  context.run();
  for (std::thread& worker : workers) {
    worker.join();
  }
  return 0;
}
