// How many threads one encoder converts and codes each picture on.
//
// One thread, the codec's default, codes a stream as it always was; several code it in
// slices (libavcodec's slice threads, each slice opening with a resync marker) and convert
// packed pictures in as many bands. A camera larger than one core can keep up with needs
// them; many smaller cameras already share the cores among themselves, and gain nothing
// but the slices' overhead.
//
// The [Video] section of SettingVideo.ini decides instead with EncodeThreads=N: 1 keeps
// every stream on one thread, N > 1 gives every stream N threads (at most 16, and at most
// one a macroblock row), 0 or no key chooses by the size as below.
//
// Threads: any; reads the settings file at each call.
#pragma once

#include <string>

namespace sorvo {

// Pictures of at most this many pixels are coded on one thread when the settings leave
// the choice open: up to 1920 x 1080, whose conversion and coding take a fraction of a core
// per picture at 25 a second.
constexpr long long kOneThreadPixels = 1920LL * 1088;

// The threads for a stream of width x height: EncodeThreads when set, else one up to
// kOneThreadPixels and above that one per kOneThreadPixels begun, at most as many as the
// machine has cores. `label` names the stream in a warning about a setting that is not a
// count.
int EncodeThreadsFor(int width, int height, const std::string& label);

// The choice itself, for a given setting and number of cores.
int ChooseEncodeThreads(int width, int height, int setting, int cores);

}  // namespace sorvo
