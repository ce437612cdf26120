#include "tools/record/PortCheck.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace sorvo::tools {

bool PortIsFree(int port, const std::string& address) {
  using boost::asio::ip::tcp;
  boost::system::error_code error;
  const boost::asio::ip::address ip = boost::asio::ip::make_address(address, error);
  if (error)
    return false;
  boost::asio::io_context io;
  tcp::acceptor acceptor(io);
  const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  acceptor.open(endpoint.protocol(), error);
  if (!error)
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error)
    acceptor.bind(endpoint, error);
  if (!error)
    acceptor.listen(1, error);
  return !error;
}

}  // namespace sorvo::tools
