// What every session of the host reads and nobody changes after start-up,
// and the one count they share.
#pragma once

#include "server/LoadedFilter.h"
#include "host/config/HostConfig.h"
#include "host/config/HostOptions.h"

#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <optional>

namespace nimbuswatch::host {

struct HostContext {
  HostOptions options;
  std::optional<server::LoadedFilter> filter;  // none with --no-filter
  ImagesConfig images;
  boost::asio::ip::tcp::resolver::results_type upstream;  // empty in --root mode
  std::size_t maxConnections = 1;  // --max-connections, or what the descriptor limit allows
  // Sessions alive: counted up when a connection is accepted, down when its
  // session ends.
  mutable std::atomic<std::size_t> connections{0};

  const server::LoadedFilter* activeFilter() const { return filter ? &*filter : nullptr; }
};

}  // namespace nimbuswatch::host
