#include "host/Listener.h"

#include "host/Session.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

namespace nimbuswatch::host {

namespace net = boost::asio;

Listener::Listener(net::io_context& context, const net::ip::tcp::endpoint& endpoint, const HostContext& host,
                   boost::beast::error_code& ec)
    : context(context), acceptor(net::make_strand(context)), host(host) {
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
  acceptor.async_accept(net::make_strand(context),
                        boost::beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(boost::beast::error_code ec, net::ip::tcp::socket socket) {
  if (ec == net::error::operation_aborted) {
    return;
  }
  if (!ec) {
    std::make_shared<Session>(std::move(socket), host)->run();
  }
  // Out of descriptors and the like: the next accept may succeed.
  accept();
}

}  // namespace nimbuswatch::host
