// The way a sorvo:// camera's packets reach its recording sink as they were received,
// without a second encoding, when the stream is what the sink records (MPEG-4 Part 2 of the
// sink's size and rate; the library checks). The camera keeps decoding, for the director's
// program and the console's thumbnails, which take pictures; the sink then only forwards
// those.
//
// One passage lives as long as the camera's channel and outlasts its connections: each
// connection's first key frame begins the stream again (the library checks it again), its
// packets pass from there, and a lost connection ends it, so that the pictures standing in
// for the source are encoded. Packets are stamped with the session's clock as they arrive.
//
// Threads: Attach, Start and Detach on the control thread; Connected, Take and Lost on the
// connection's reading thread; accepted() and note() on any. m_lock guards everything
// below it and is held while a packet goes to the sink, so that Detach waits for one under
// way.
#pragma once

#include <sorvo/sorvo.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace sorvo::tools {

class SessionClock;

class PacketPassage {
 public:
  // The sink is made: the stream is begun on it with the latest key frame read, so that it
  // takes its headers before it opens its file. Until Start nothing passes.
  void Attach(ISorvoSink* sink);
  // The session starts: packets pass from the next key frame on, stamped on `clock`, which
  // outlives the passage's use.
  void Start(const SessionClock& clock);
  // Nothing arriving at or after `end` seconds on the session's clock passes: the files end
  // with the session, as the feeder's pictures do.
  void EndAt(double end);
  // Before the sink closes; nothing reaches it afterwards.
  void Detach();

  // A connection was made; its packets wait for its first key frame. Returns its number,
  // for Lost.
  long long Connected();
  // One packet as received (from the connection's first key frame on).
  void Take(const std::vector<uint8_t>& packet, bool key);
  // Connection `connection` is lost: the sink encodes what stands in for the camera. A
  // connection that was followed by another already changes nothing.
  void Lost(long long connection);

  // Whether the sink took the stream the last time it was begun.
  bool accepted() const;
  // What the user is told about it, once the sink was attached.
  std::string note() const;

 private:
  // Begins the stream with m_keyFrame. m_lock held.
  void BeginLocked();

  mutable std::mutex m_lock;
  ISorvoSink* m_sink = nullptr;
  const SessionClock* m_clock = nullptr;
  double m_end = std::numeric_limits<double>::infinity();
  std::vector<uint8_t> m_keyFrame;  // the connection's latest key frame, until it begins
  bool m_begun = false;             // begun on this connection (accepted or not)
  bool m_accepted = false;
  bool m_attached = false;     // the sink was attached once: note() says something
  long long m_connection = 0;  // the latest connection's number
};

}  // namespace sorvo::tools
