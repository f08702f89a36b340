// What every session of the host reads and nobody changes after start-up.
#pragma once

#include "host/Filter.h"
#include "host/HostConfig.h"
#include "host/HostOptions.h"

#include <boost/asio/ip/tcp.hpp>

#include <optional>

namespace nimbuswatch::host {

struct HostContext {
  HostOptions options;
  std::optional<Filter> filter;  // none with --no-filter
  ImagesConfig images;
  boost::asio::ip::tcp::resolver::results_type upstream;  // empty in --root mode

  const Filter* activeFilter() const { return filter ? &*filter : nullptr; }
};

}  // namespace nimbuswatch::host
