// A host's way to stop a recording sink's raw stream file (the "SaveStream" copy of its
// encoded pictures) while the sink records on: the MP4, the private stream file and the
// server go on.
#pragma once

#include "host/SorvoExport.h"

class ISorvoSink;

// Closes `sink`'s raw stream file; any thread. 1 if it was open; 0 when it was not, or for
// a null sink or one that is not the library's recording sink.
SORVO_EXPORT int SorvoStopRawStream(ISorvoSink* sink);
