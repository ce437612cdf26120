// Runs console_browser.py (headless Chromium through Selenium) against a console, as a
// process of its own, and reads back what it saw.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ToolProcess.h"

namespace sorvo::test {

class BrowserRun {
 public:
  // `folder` receives the script's output and result; `args` go to the script after --url.
  BrowserRun(const std::string& url,
             const std::vector<std::string>& args,
             const std::string& folder);

  // Waits for the script to print `text` (it says "waiting-for-end" when ready).
  bool WaitFor(const std::string& text);
  // Waits for the script's end; its result, null when it wrote none.
  nlohmann::json Finish();
  std::string Output() const;

 private:
  std::string m_resultPath;
  std::unique_ptr<ToolProcess> m_process;
};

// The distance between two colours, the largest of the three differences.
double ColourDistance(const nlohmann::json& measured, const std::vector<int>& expected);
// The browser's log entries at level SEVERE, one per line.
std::string SevereLogEntries(const nlohmann::json& result);

}  // namespace sorvo::test
