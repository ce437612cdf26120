// A host's way to the writer of a recording sink's MP4 file: to give the file an audio
// stream (attach an audio encoder before StartRecord; the sink's MP4 otherwise holds video
// only), to say what the file is and when (metadata, track names, a timecode clock), and to
// add chapters while it records.
#pragma once

#include "host/SorvoExport.h"

class FFWriteFile;
class ISorvoSink;

// The writer of `sink`'s MP4 file; null for a null sink or one that is not the library's
// recording sink. Valid as long as the sink is; any thread, as the writer's own operations.
SORVO_EXPORT FFWriteFile* SorvoGetRecordFile(ISorvoSink* sink);
