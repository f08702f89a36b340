#include "host/session/Listener.h"

#include "host/HostLog.h"
#include "host/session/Session.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <cerrno>

namespace nimbuswatch::host {

namespace net = boost::asio;

namespace {

// While every connection allowed is open, the count is looked at this often.
constexpr auto kFullPause = std::chrono::milliseconds(20);
// Out of descriptors (or memory for a socket): a connection has to end first.
constexpr auto kStarvedPause = std::chrono::milliseconds(100);

// EMFILE, ENFILE and the like, as accept reports them.
bool outOfResources(boost::beast::error_code ec) {
  if (ec.category() != boost::system::system_category()) {
    return false;
  }
  switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace

Listener::Listener(net::io_context& context, const net::ip::tcp::endpoint& endpoint, const HostContext& host,
                   boost::beast::error_code& ec)
    : context(context), acceptor(net::make_strand(context)), timer(acceptor.get_executor()), host(host) {
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor.bind(endpoint, ec);
  }
  if (!ec) {
    acceptor.listen(net::socket_base::max_listen_connections, ec);
  }
}

void Listener::run() { accept(); }

void Listener::accept() {
  if (host.connections.load() >= host.maxConnections) {
    acceptAfter(kFullPause);
    return;
  }
  acceptor.async_accept(net::make_strand(context),
                        boost::beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::acceptAfter(std::chrono::milliseconds pause) {
  timer.expires_after(pause);
  timer.async_wait([self = shared_from_this()](boost::beast::error_code ec) {
    if (!ec) {
      self->accept();
    }
  });
}

void Listener::onAccept(boost::beast::error_code ec, net::ip::tcp::socket socket) {
  if (ec == net::error::operation_aborted) {
    return;
  }
  if (outOfResources(ec)) {
    // The waiting connection stays queued and the socket stays readable:
    // accepting again at once would spin. Wait for a connection to end.
    if (!std::exchange(starved, true)) {
      logError("cannot accept a connection: " + ec.message() + "; trying again every 100 ms");
    }
    acceptAfter(kStarvedPause);
    return;
  }
  if (!ec) {
    starved = false;
    std::make_shared<Session>(std::move(socket), host)->run();
  }
  accept();
}

}  // namespace nimbuswatch::host
