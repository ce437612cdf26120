#include "tools/record/console/HttpTypes.h"

namespace sorvo::tools {

HttpResponse MakeResponse(int status,
                          const std::string& contentType,
                          std::string body,
                          unsigned version,
                          bool keepAlive) {
  HttpResponse response(static_cast<http::status>(status), version);
  response.set(http::field::server, "sorvo-record");
  response.set(http::field::content_type, contentType);
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  // No other site may frame the console and lure a click onto its buttons.
  response.set("X-Frame-Options", "DENY");
  response.keep_alive(keepAlive);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

HttpResponse JsonResponse(int status, const Json& body, unsigned version, bool keepAlive) {
  return MakeResponse(status, "application/json", JsonText(body) + "\n", version, keepAlive);
}

HttpResponse ErrorResponse(int status,
                           const std::string& reason,
                           unsigned version,
                           bool keepAlive) {
  return JsonResponse(status, {{"error", reason}}, version, keepAlive);
}

}  // namespace sorvo::tools
