// The folder a session writes into: ./recordings/<local time> unless the user names one.
// It is made if need be and must take a file, so that a session never starts where it
// cannot finish.
#pragma once

#include <string>

namespace sorvo::tools {

// recordings/YYYYMMDD_HHMMSS under the current folder, with -2, -3, ... added when a
// session of the same second is there already.
std::string DefaultOutputFolder();

// Makes `folder` (and its parents) and checks that a file can be written in it. Returns the
// folder's absolute path, or an empty text with `error` set.
std::string PrepareOutputFolder(const std::string& folder, std::string* error);

// Whether files can be made in `folder`: one is made and removed. False with `error` set.
bool FolderTakesFiles(const std::string& folder, std::string* error);

// Whether a file can be made at `path` (its folder exists and takes files); false with
// `error` set. Nothing is written.
bool CanCreateFile(const std::string& path, std::string* error);

}  // namespace sorvo::tools
