// Writes a rescue's plan into a new MP4: one video stream per camera found, in the order
// found, then the sound, packets interleaved by time as a player reads them.
#pragma once

#include <string>

#include "tools/recover/PacketSource.h"
#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {

// False with `error` set when the file could not be written; streams without a kept
// picture are left out.
bool WriteRecovery(const RecoveryPlan& plan,
                   PacketSource* video,
                   PacketSource* sound,
                   const std::string& path,
                   std::string* error);

}  // namespace sorvo::tools
