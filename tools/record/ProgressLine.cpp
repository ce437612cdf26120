#include "tools/record/ProgressLine.h"

#include <unistd.h>

#include "tools/common/TextTable.h"

namespace sorvo::tools {

ProgressLine::ProgressLine(std::FILE* out) : m_out(out), m_inPlace(isatty(fileno(out)) != 0) {}

std::string ProgressLine::Format(double elapsed, const std::vector<SinkStatus>& sinks,
                                 double bitsPerSecond, const std::string& extra) {
  std::string line = FormatFixed(elapsed, 1) + " s |";
  long long dropped = 0;
  int clients = 0;
  for (const SinkStatus& sink : sinks) {
    if (sink.video) line += " " + sink.name + " " + std::to_string(sink.buffersIn);
    dropped += sink.dropped() + sink.late;
    clients += sink.clients;
  }
  line += " | dropped " + std::to_string(dropped);
  line += " | " + FormatFixed(bitsPerSecond / 1e6, 2) + " Mbit/s";
  line += " | clients " + std::to_string(clients);
  if (!extra.empty()) line += " | " + extra;
  return line;
}

void ProgressLine::Show(double elapsed, const std::vector<SinkStatus>& sinks,
                        const std::string& extra) {
  long long bytes = 0;
  for (const SinkStatus& sink : sinks) bytes += sink.bytes;
  const double interval = elapsed - m_lastElapsed;
  const double rate = interval > 0 ? 8.0 * static_cast<double>(bytes - m_lastBytes) / interval : 0;
  m_lastElapsed = elapsed;
  m_lastBytes = bytes;
  const std::string line = Format(elapsed, sinks, rate, extra);
  if (m_inPlace) {
    std::fprintf(m_out, "\r\033[K%s", line.c_str());
    m_lineOpen = true;
  } else {
    std::fprintf(m_out, "%s\n", line.c_str());
  }
  std::fflush(m_out);
}

void ProgressLine::Message(const std::string& text) {
  Finish();
  std::fprintf(m_out, "%s\n", text.c_str());
  std::fflush(m_out);
}

void ProgressLine::Finish() {
  if (m_lineOpen) std::fprintf(m_out, "\n");
  m_lineOpen = false;
}

}  // namespace sorvo::tools
