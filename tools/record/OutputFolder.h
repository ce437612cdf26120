// The folder a session writes into: ./recordings/<local time> unless the user names one.
// It is made if need be and must take a file, so that a session never starts where it
// cannot finish. A folder an earlier session recorded into is the recorder's to refuse, or
// (--force) to clear by moving the earlier files aside: the library would otherwise rename
// some of them, overwrite the WAV file and leave others beside the new ones.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

// recordings/YYYYMMDD_HHMMSS under the current folder, with -2, -3, ... added when a
// session of the same second is there already.
std::string DefaultOutputFolder();

// Makes `folder` (and its parents) and checks that a file can be written in it. Returns the
// folder's absolute path, or an empty text with `error` set.
std::string PrepareOutputFolder(const std::string& folder, std::string* error);

// What an earlier session left in `folder` that a new one would overwrite or leave beside
// its own files: the MP4 and WAV files and the library's stream folders, by name in name
// order. Empty when there are none or the folder does not exist.
std::vector<std::string> EarlierRecordings(const std::string& folder);

// Moves `names` (from EarlierRecordings) into a new subfolder earlier-N of `folder`, N the
// first number free, keeping their names. Returns the subfolder's path, or an empty text
// with `error` set, saying what was moved before the failure.
std::string MoveAside(const std::string& folder, const std::vector<std::string>& names,
                      std::string* error);

// The name of the folder at `path`, without the path to it.
std::string FolderName(const std::string& path);

// Whether files can be made in `folder`: one is made and removed. False with `error` set.
bool FolderTakesFiles(const std::string& folder, std::string* error);

// Whether the library can keep files in `folder`: it is a folder that takes files, or it
// does not exist yet and its parent takes files (the library makes it). False with `error`.
bool FolderCanHoldFiles(const std::string& folder, std::string* error);

// Whether a file can be made at `path` (its folder exists and takes files); false with
// `error` set. Nothing is written.
bool CanCreateFile(const std::string& path, std::string* error);

}  // namespace sorvo::tools
