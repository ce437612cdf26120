#include "tools/record/ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "tools/common/TextTable.h"

namespace sorvo::tools {

ProgressLine::ProgressLine(std::FILE* out, std::FILE* log)
    : m_out(out),
      m_log(log),
      m_inPlace(isatty(fileno(out)) != 0),
      m_logOnTerminal(m_inPlace && isatty(fileno(log)) != 0) {}

const char* ProgressLine::Legend() {
  return "Progress: the pictures each sink received | dropped: pictures lost so far, late from\n"
         "their source or pushed out of a full sink queue (never goes down) | the bit rate of\n"
         "all encoding | clients: viewers of the cameras', the director's and the sound's servers";
}

std::string ProgressLine::Format(double elapsed,
                                 const std::vector<SinkStatus>& sinks,
                                 long long dropped,
                                 double bitsPerSecond,
                                 const std::string& extra) {
  std::string line = FormatFixed(elapsed, 1) + " s |";
  int clients = 0;
  for (const SinkStatus& sink : sinks) {
    if (sink.video)
      line += " " + sink.Shown() + " " + std::to_string(sink.buffersIn);
    if (sink.noSignal)
      line += (sink.video ? " " : " " + sink.name + " ") + "NO SIGNAL";
    clients += sink.clients;
  }
  line += " | dropped " + std::to_string(dropped);
  line += " | " + FormatFixed(bitsPerSecond / 1e6, 2) + " Mbit/s";
  line += " | clients " + std::to_string(clients);
  if (!extra.empty())
    line += " | " + extra;
  return line;
}

void ProgressLine::Show(double elapsed,
                        const std::vector<SinkStatus>& sinks,
                        const std::string& extra) {
  std::lock_guard<std::mutex> hold(m_lock);
  long long bytes = 0;
  for (const SinkStatus& sink : sinks)
    bytes += sink.bytes;
  const double interval = elapsed - m_lastElapsed;
  const double rate = interval > 0 ? 8.0 * static_cast<double>(bytes - m_lastBytes) / interval : 0;
  m_lastElapsed = elapsed;
  m_lastBytes = bytes;
  ShowLocked(elapsed, sinks, rate, extra);
}

void ProgressLine::ShowFinal(double elapsed, const std::vector<SinkStatus>& sinks) {
  std::lock_guard<std::mutex> hold(m_lock);
  long long bytes = 0;
  for (const SinkStatus& sink : sinks)
    bytes += sink.bytes;
  ShowLocked(elapsed, sinks, elapsed > 0 ? 8.0 * static_cast<double>(bytes) / elapsed : 0, "final");
}

void ProgressLine::TellSignalLocked(const std::vector<SinkStatus>& sinks) {
  for (const SinkStatus& sink : sinks) {
    SignalTold& told = m_signalTold[sink.name];
    // The sink keeps only its latest losses: `i` counts every loss so far.
    const size_t kept = sink.losses.size();
    const size_t first =
        static_cast<size_t>(std::max<long long>(sink.lossTally.count, kept)) - kept;
    for (size_t i = first; i < first + kept; ++i) {
      const SignalLoss& loss = sink.losses[i - first];
      if (i >= told.losses) {
        AboveLocked(m_out, sink.Shown() + ": signal lost at " + FormatFixed(loss.lostAt, 1) +
                               " s (" + loss.why + "); connecting again");
        told.losses = i + 1;
      }
      if (loss.backAt >= 0 && i >= told.backs) {
        AboveLocked(m_out, sink.Shown() + ": signal back at " + FormatFixed(loss.backAt, 1) +
                               " s, after " + FormatFixed(loss.backAt - loss.lostAt, 1) +
                               " s without");
        told.backs = i + 1;
      }
    }
  }
}

void ProgressLine::ShowLocked(double elapsed,
                              const std::vector<SinkStatus>& sinks,
                              double bitsPerSecond,
                              const std::string& extra) {
  TellSignalLocked(sinks);
  long long dropped = 0;
  for (const SinkStatus& sink : sinks) {
    // Pictures late from their source are counted exactly; of those the sink let go only a
    // least number is known while it runs.
    long long& shown = m_dropped[sink.name];
    shown = std::max(shown, sink.dropped());
    dropped += shown + sink.late;
  }
  m_line = Format(elapsed, sinks, dropped, bitsPerSecond, extra);
  if (m_inPlace) {
    std::fprintf(m_out, "\r\033[K%s", FittedLocked(m_line).c_str());
    m_lineOpen = true;
  } else {
    std::fprintf(m_out, "%s\n", m_line.c_str());
  }
  std::fflush(m_out);
}

void ProgressLine::Message(const std::string& text) {
  std::lock_guard<std::mutex> hold(m_lock);
  AboveLocked(m_out, text);
}

void ProgressLine::LibraryLine(const std::string& text) {
  std::lock_guard<std::mutex> hold(m_lock);
  AboveLocked(m_log, text);
}

void ProgressLine::AboveLocked(std::FILE* stream, const std::string& text) {
  // A line on another stream that is not this terminal cannot break the progress line.
  const bool clear = m_lineOpen && (stream == m_out || m_logOnTerminal);
  if (clear) {
    std::fputs("\r\033[K", m_out);
    std::fflush(m_out);
  }
  std::fprintf(stream, "%s\n", text.c_str());
  std::fflush(stream);
  if (clear) {
    std::fprintf(m_out, "\r\033[K%s", FittedLocked(m_line).c_str());
    std::fflush(m_out);
  }
}

std::string ProgressLine::FittedLocked(const std::string& line) const {
  // A line longer than the terminal wraps, and rewriting it in place would leave its first
  // part behind on every update. The line is ASCII: a byte is a column.
  winsize size{};
  if (ioctl(fileno(m_out), TIOCGWINSZ, &size) != 0 || size.ws_col < 2)
    return line;
  const size_t columns = static_cast<size_t>(size.ws_col) - 1;
  return line.size() > columns ? line.substr(0, columns) : line;
}

void ProgressLine::Finish() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_lineOpen) {
    std::fprintf(m_out, "\n");
    std::fflush(m_out);
  }
  m_lineOpen = false;
}

}  // namespace sorvo::tools
