// The address the transfer servers listen on: the one the host chose for this process
// (SorvoSetServerAddress, declared with CreateServer), else [Transfer] BindAddress of the
// settings file, else every IPv4 interface.
//
// Threads: any; the chosen address is guarded by a lock of its own, and a server made while
// another thread changes it listens on the old address or the new one.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <optional>

namespace sorvo {

// The address for a server made now; none (logged) when the settings file names something
// that is not an address, so that no server listens where the user did not ask.
std::optional<boost::asio::ip::address> ServerBindAddress();

}  // namespace sorvo
