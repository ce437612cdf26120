// A channel's source and, once the channel starts, the feeder that delivers it. Before
// Start the feed holds the source (the session opens every source before it makes any
// sink); from Start on the feeder does. What a channel says of its source (what it is, its
// signal, its notes, why it ended) is read here, whichever holds it.
//
// Threads: the control thread; Describe and Notes read what the feeder's thread updates
// (the feeder's counters and the source's signal log, each guarded by its owner).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/record/Feeder.h"
#include "tools/record/SessionClock.h"
#include "tools/record/SessionNote.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class SourceFeed {
 public:
  explicit SourceFeed(std::unique_ptr<MediaSource> source) : m_source(std::move(source)) {}

  // The source until Start hands it to the feeder, to finish opening it.
  MediaSource* opening() { return m_source.get(); }
  const MediaSource& source() const { return m_feeder ? m_feeder->source() : *m_source; }

  // Starts delivering to `input`, with `id` on every buffer, on `clock` (which outlives
  // the feed). `dropLate`: pictures too late to deliver are counted, not delivered;
  // `backlog` as Feeder's.
  void Start(PictureInput input,
             int id,
             bool dropLate,
             const SessionClock& clock,
             Feeder::Backlog backlog = nullptr);
  // As Feeder's; nothing before Start.
  void EndAt(double end);
  void Stop();

  long long delivered() const { return m_feeder ? m_feeder->delivered() : 0; }
  // The source's description, the buffers it had too late, and its signal on the session's
  // clock (a source lost before the session began was lost at its start).
  void Describe(SinkStatus* status) const;
  // The source's notes; then, when it stopped before it was asked to, `stopped` followed
  // by why.
  void AddNotes(const std::string& label,
                const std::string& stopped,
                std::vector<SessionNote>* notes) const;

 private:
  // `at` on the session's clock; 0 before the session began (or before Start).
  double SessionSeconds(std::chrono::steady_clock::time_point at) const;

  std::unique_ptr<MediaSource> m_source;  // until Start
  const SessionClock* m_clock = nullptr;
  std::unique_ptr<Feeder> m_feeder;
};

}  // namespace sorvo::tools
