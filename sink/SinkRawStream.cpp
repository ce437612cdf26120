#include "sink/SinkRawStream.h"

#include "sink/CSorvoSinkFF.h"

int SorvoStopRawStream(ISorvoSink* sink) {
  auto* recording = dynamic_cast<CSorvoSinkFF*>(sink);
  return recording != nullptr ? recording->StopRawStream() : 0;
}
