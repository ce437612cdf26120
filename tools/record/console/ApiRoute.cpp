#include "tools/record/console/ApiRoute.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "tools/common/Json.h"

namespace sorvo::tools {
namespace {

Route Found(Endpoint endpoint,
            std::string_view path,
            std::string_view method,
            std::string_view wanted) {
  Route route;
  route.endpoint = endpoint;
  route.path = std::string(path);
  if (method != wanted) {
    route.status = 405;
    route.allow = std::string(wanted);
    route.reason = std::string(path) + " takes " + std::string(wanted) + ", not " +
                   std::string(method.substr(0, 16));
  }
  return route;
}

Route NotFound(std::string reason) {
  Route route;
  route.status = 404;
  route.reason = std::move(reason);
  return route;
}

// "/api/cameras/N/..." or "/api/cameras/program/...".
Route CameraRoute(std::string_view path, std::string_view method) {
  constexpr std::string_view kPrefix = "/api/cameras/";
  const std::string_view rest = path.substr(kPrefix.size());
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos)
    return NotFound("no such address: " + std::string(path));
  const std::string_view which = rest.substr(0, slash);
  const std::string_view what = rest.substr(slash + 1);
  int slot = -1;
  if (which == "program")
    slot = kProgramSlot;
  else if (!which.empty() && which.size() <= 2 && (which.size() == 1 || which[0] != '0') &&
           std::all_of(which.begin(), which.end(), [](char c) { return c >= '0' && c <= '9'; }))
    slot = std::stoi(std::string(which));
  if (slot < 0 || (slot >= kConsoleCameras && slot != kProgramSlot) ||
      (slot == kProgramSlot && which != "program"))
    return NotFound("no camera " + std::string(which.substr(0, 16)) +
                    ": cameras are numbered 0 to " + std::to_string(kConsoleCameras - 1) +
                    ", the director's picture is 'program'");
  Route route;
  if (what == "thumbnail.jpg")
    route = Found(Endpoint::kThumbnail, path, method, "GET");
  else if (what == "live.mjpeg")
    route = Found(Endpoint::kLive, path, method, "GET");
  else
    return NotFound("no such address: " + std::string(path.substr(0, 100)));
  route.slot = slot;
  return route;
}

std::string JsonObjectError(const Json& body) {
  if (body.is_discarded())
    return "the body is not JSON";
  if (!body.is_object())
    return "the body must be a JSON object";
  return "";
}

}  // namespace

Route FindRoute(std::string_view method, std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  if (path == "/api/status")
    return Found(Endpoint::kStatus, path, method, "GET");
  if (path == "/api/program")
    return Found(Endpoint::kProgram, path, method, "POST");
  if (path == "/api/preview")
    return Found(Endpoint::kPreview, path, method, "POST");
  if (path == "/api/take")
    return Found(Endpoint::kTake, path, method, "POST");
  if (path == "/api/sound.mp3")
    return Found(Endpoint::kSound, path, method, "GET");
  if (path == "/api/mark")
    return Found(Endpoint::kMark, path, method, "POST");
  if (path == "/api/stop")
    return Found(Endpoint::kStop, path, method, "POST");
  if (path == "/api/events")
    return Found(Endpoint::kEvents, path, method, "GET");
  if (path.substr(0, 13) == "/api/cameras/")
    return CameraRoute(path, method);
  if (path.substr(0, 5) == "/api/" || path == "/api")
    return NotFound("no such address: " + std::string(path.substr(0, 100)));
  return Found(Endpoint::kPage, path, method, "GET");
}

namespace {

// The value of the query parameter `name` of `target`, if it has one.
std::optional<std::string_view> QueryValue(std::string_view target, std::string_view name) {
  const size_t query = target.find('?');
  if (query == std::string_view::npos)
    return std::nullopt;
  std::string_view rest = target.substr(query + 1);
  for (;;) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    if (pair.substr(0, name.size()) == name && pair.size() > name.size() &&
        pair[name.size()] == '=')
      return pair.substr(name.size() + 1);
    if (amp == std::string_view::npos)
      return std::nullopt;
    rest = rest.substr(amp + 1);
  }
}

// `text` as a whole number from 0 to `most`; an error naming `name` otherwise.
std::string ParseIndex(std::string_view name, std::string_view text, size_t most, size_t* value) {
  size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || number > most)
    return std::string(name) + " must be a whole number from 0 to " + std::to_string(most) +
           ", not \"" + std::string(text.substr(0, 40)) + "\"";
  *value = number;
  return "";
}

}  // namespace

bool QueryFlag(std::string_view target, std::string_view name) {
  const std::optional<std::string_view> value = QueryValue(target, name);
  return value && (*value == "1" || *value == "true" || *value == "yes");
}

ListPages ParseListPages(std::string_view target) {
  ListPages pages;
  if (const auto count = QueryValue(target, "count")) {
    pages.error = ParseIndex("count", *count, ListPages::kMaxCount, &pages.count[0]);
    pages.count.fill(pages.count[0]);
  }
  for (int list = 0; list < kPagedListCount && pages.error.empty(); ++list) {
    const std::string name = std::string(kPagedLists[list]) + "From";
    if (const auto from = QueryValue(target, name))
      pages.error = ParseIndex(name, *from, ListPages::kLatest - 1, &pages.from[list]);
  }
  return pages;
}

CameraRequest ParseCameraRequest(const std::string& body) {
  CameraRequest request;
  const std::string numbers = "a whole number from 0 to " + std::to_string(kConsoleCameras - 1);
  const Json json = Json::parse(body, nullptr, false);
  request.error = JsonObjectError(json);
  if (!request.error.empty())
    return request;
  const auto camera = json.find("camera");
  if (camera == json.end()) {
    request.error = "the body needs \"camera\": " + numbers;
  } else if (!camera->is_number_integer()) {
    request.error = "\"camera\" must be " + numbers;
  } else {
    const long long number = camera->get<long long>();
    if (number < 0 || number >= kConsoleCameras)
      request.error = "camera " + std::to_string(number) + " is outside 0 to " +
                      std::to_string(kConsoleCameras - 1);
    else
      request.camera = static_cast<int>(number);
  }
  return request;
}

MarkRequest ParseMarkRequest(const std::string& body) {
  MarkRequest request;
  if (body.empty())
    return request;
  const Json json = Json::parse(body, nullptr, false);
  request.error = JsonObjectError(json);
  if (!request.error.empty())
    return request;
  const auto label = json.find("label");
  if (label == json.end())
    return request;
  if (!label->is_string())
    request.error = "\"label\" must be a string";
  else if (label->get_ref<const std::string&>().size() > kMaxMarkLabel)
    request.error = "\"label\" is longer than " + std::to_string(kMaxMarkLabel) + " bytes";
  else
    request.label = label->get<std::string>();
  return request;
}

std::string CheckEmptyRequest(const std::string& body) {
  if (body.empty())
    return "";
  return JsonObjectError(Json::parse(body, nullptr, false));
}

}  // namespace sorvo::tools
