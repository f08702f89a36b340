// Accepts connections and starts a session for each, on a strand of its own.
// At most HostContext::maxConnections are served at once: while that many
// are open, new ones wait in the listen queue. When the process runs out of
// descriptors, accepting pauses briefly instead of failing in a busy loop.
#pragma once

#include "host/config/HostContext.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include <memory>

namespace nimbuswatch::host {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // Opens, binds and listens; `ec` tells what failed.
  Listener(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint,
           const HostContext& host, boost::beast::error_code& ec);

  // The address actually bound (port 0 becomes the port the system chose).
  boost::asio::ip::tcp::endpoint localEndpoint() const { return acceptor.local_endpoint(); }
  void run();

 private:
  void accept();
  void onAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
  void acceptAfter(std::chrono::milliseconds pause);

  boost::asio::io_context& context;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer timer;  // on the acceptor's strand
  const HostContext& host;
  bool starved = false;  // out of descriptors; reported once until an accept succeeds
};

}  // namespace nimbuswatch::host
