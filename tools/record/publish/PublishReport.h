// The publisher's status in the recorder's words: a part of the progress line, the
// summary's table and the summary's JSON.
#pragma once

#include <cstdio>
#include <string>

#include "tools/common/Json.h"
#include "tools/record/publish/PublishStatus.h"

namespace sorvo::tools {

// "publish rtmp live, hls retrying, 2 GOPs dropped"; empty when not publishing.
std::string PublishProgressText(const PublishStatus& status);
// The summary's part: nothing when not publishing.
void PrintPublishSummary(const PublishStatus& status, std::FILE* out);
// The summary's "publish" object.
Json PublishJson(const PublishStatus& status);

}  // namespace sorvo::tools
