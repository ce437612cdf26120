#include "sink/SinkRecordFile.h"

#include "sink/CSorvoSinkFF.h"

FFWriteFile* SorvoGetRecordFile(ISorvoSink* sink) {
  auto* recording = dynamic_cast<CSorvoSinkFF*>(sink);
  return recording != nullptr ? &recording->RecordFile() : nullptr;
}
