#include "tools/record/edit/EditPlan.h"

#include <algorithm>
#include <cmath>

namespace sorvo::tools {

const EditFile* EditPlan::Source(int camera) const {
  for (const EditFile& file : sources)
    if (file.camera == camera && file.started)
      return &file;
  return nullptr;
}

int64_t EditPlan::SourceStart(const EditFile& file) const {
  return timecode.FrameAt(file.origin) % Day();
}

EditPlan PlanEdit(const std::vector<Shot>& shots,
                  const std::vector<Mark>& marks,
                  const Timecode& timecode,
                  const EditFile& program,
                  const std::vector<EditFile>& sources,
                  const EditFile& sound) {
  EditPlan plan;
  plan.timecode = timecode;
  plan.program = program;
  plan.sources = sources;
  if (!program.started)
    return plan;
  // The session's pictures counted from the day the program's first timecode is in.
  const int64_t firstDay = timecode.FrameAt(program.origin) / plan.Day() * plan.Day();
  auto recordAt = [&](double time) { return timecode.FrameAt(time) - firstDay; };
  plan.recordStart = recordAt(program.origin);
  plan.recordEnd = std::max(plan.recordStart, recordAt(program.end));

  struct Cut {
    int64_t record;
    const EditFile* source;
    double time;
  };
  std::vector<Cut> cuts;
  for (const Shot& shot : shots) {
    const EditFile* source = plan.Source(shot.camera);
    // A camera whose file holds nothing of this moment cannot give the shot.
    if (source == nullptr || timecode.FrameAt(shot.time) < timecode.FrameAt(source->origin))
      continue;
    Cut cut{std::max(plan.recordStart, recordAt(shot.time)), source, shot.time};
    if (&shot == &shots.front() &&
        timecode.FrameAt(source->origin) <= timecode.FrameAt(program.origin))
      cut = {plan.recordStart, source, std::max(program.origin, source->origin)};
    if (cut.record >= plan.recordEnd)
      break;
    if (!cuts.empty() && cuts.back().record == cut.record)
      cuts.pop_back();
    if (!cuts.empty() && cuts.back().source == source)
      continue;
    cuts.push_back(cut);
  }
  for (size_t i = 0; i < cuts.size(); ++i) {
    EditEvent event;
    event.number = static_cast<int>(i) + 1;
    event.camera = cuts[i].source->camera;
    event.recordIn = cuts[i].record;
    event.recordOut = i + 1 < cuts.size() ? cuts[i + 1].record : plan.recordEnd;
    // The picture the camera's own file shows at that moment, counted from its first one
    // (a picture lasts until the next; a hair's breadth of rounding is no picture).
    const double fromOrigin = std::max(0.0, cuts[i].time - cuts[i].source->origin);
    event.sourceIn = plan.SourceStart(*cuts[i].source) +
                     static_cast<int64_t>(std::floor(fromOrigin * timecode.rate() + 1e-3)) +
                     (event.recordIn - recordAt(cuts[i].time));
    event.sourceOut = event.sourceIn + (event.recordOut - event.recordIn);
    plan.events.push_back(event);
  }
  for (const Mark& mark : marks) {
    const int64_t record = recordAt(mark.time);
    if (record >= plan.recordStart && record <= plan.recordEnd)
      plan.marks.push_back({record, PrintableText(mark.label)});
  }
  if (sound.started) {
    plan.sound = sound;
    const int64_t first = recordAt(sound.origin);
    plan.soundIn = std::min(std::max(plan.recordStart, first), plan.recordEnd);
    plan.soundOut = plan.recordEnd;
    plan.soundSource = plan.SourceStart(sound) + (plan.soundIn - first);
  }
  return plan;
}

}  // namespace sorvo::tools
