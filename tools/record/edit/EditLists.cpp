#include "tools/record/edit/EditLists.h"

#include "tools/record/edit/EdlWriter.h"
#include "tools/record/edit/OtioWriter.h"

namespace sorvo::tools {

std::string WithExtension(const std::string& path, const char* extension) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has ? path.substr(0, dot) : path) + extension;
}

std::string JournalPath(const std::string& programPath) {
  return WithExtension(programPath, ".cut");
}

void WriteEditLists(const EditPlan& plan,
                    const std::string& title,
                    std::vector<std::string>* written,
                    std::vector<std::string>* problems) {
  const std::string otio = WithExtension(plan.program.path, ".otio");
  std::string error;
  if (!WriteEdl(plan, title, WithExtension(plan.program.path, ".edl"), written, &error))
    problems->push_back("the edit decision list could not be written: " + error);
  if (WriteOtio(plan, title, otio, &error))
    written->push_back(otio);
  else
    problems->push_back("the OpenTimelineIO document could not be written: " + error);
}

}  // namespace sorvo::tools
