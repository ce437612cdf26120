#include "host/ServerAddress.h"

#include <mutex>
#include <string>

#include "host/ITransferServer.h"
#include "host/Log.h"
#include "host/Setting.h"

namespace sorvo {
namespace {

std::mutex g_lock;
std::optional<boost::asio::ip::address> g_chosen;  // guarded by g_lock

std::optional<boost::asio::ip::address> Chosen() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_chosen;
}

void Choose(const std::optional<boost::asio::ip::address>& address) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_chosen = address;
}

}  // namespace

std::optional<boost::asio::ip::address> ServerBindAddress() {
  if (auto chosen = Chosen())
    return chosen;
  const std::string text = CSetting("SettingVideo.ini").GetString("Transfer", "BindAddress", "");
  if (text.empty())
    return boost::asio::ip::address(boost::asio::ip::address_v4::any());
  boost::system::error_code error;
  auto address = boost::asio::ip::make_address(text, error);
  if (error) {
    const std::string line = "transfer server: BindAddress \"" + text +
                             "\" in SettingVideo.ini is not an IP address; no server started";
    LogWarn(line.c_str(), 0, 0);
    return std::nullopt;
  }
  return address;
}

}  // namespace sorvo

int SorvoSetServerAddress(const char* address) {
  std::optional<boost::asio::ip::address> chosen;
  if (address != nullptr && *address != '\0') {
    boost::system::error_code error;
    chosen = boost::asio::ip::make_address(address, error);
    if (error)
      return 0;
  }
  sorvo::Choose(chosen);
  return 1;
}
