#include "BrowserRun.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include "common/TestAppDir.h"

namespace sorvo::test {

BrowserRun::BrowserRun(const std::string& url,
                       const std::vector<std::string>& args,
                       const std::string& folder)
    : m_resultPath(folder + "/browser-result.json") {
  std::vector<std::string> all = {SORVO_CONSOLE_BROWSER_SCRIPT, "--url", url, "--result",
                                  m_resultPath};
  all.insert(all.end(), args.begin(), args.end());
  m_process = std::make_unique<ToolProcess>(SORVO_SYSTEM_PYTHON, all, folder);
}

bool BrowserRun::WaitFor(const std::string& text) {
  return m_process->WaitForOutput(text, std::chrono::seconds(180));
}

nlohmann::json BrowserRun::Finish() {
  m_process->Wait(std::chrono::seconds(300));
  return nlohmann::json::parse(ReadWholeFile(m_resultPath), nullptr, false);
}

std::string BrowserRun::Output() const {
  return m_process->Stdout() + m_process->Stderr();
}

double ColourDistance(const nlohmann::json& measured, const std::vector<int>& expected) {
  if (!measured.is_array() || measured.size() != 3)
    return 1e9;
  double distance = 0;
  for (size_t i = 0; i < 3; ++i)
    distance = std::max(distance, std::abs(measured[i].get<double>() - expected[i]));
  return distance;
}

std::string SevereLogEntries(const nlohmann::json& result) {
  std::string entries;
  if (!result.contains("log"))
    return "no log";
  for (const auto& entry : result["log"])
    if (entry.value("level", "") == "SEVERE")
      entries += entry.value("message", "") + "\n";
  return entries;
}

}  // namespace sorvo::test
