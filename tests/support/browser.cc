#include "support/browser.h"

#include <nlohmann/json.hpp>

#include "support/process.h"

namespace testsupport {

namespace {

// Debian's interpreter, which has Debian's selenium: another python3 that
// comes first on PATH (a developer's own) may lack it.
const char kPython[] = "/usr/bin/python3";
const char kBrowserScript[] = JANTOR_SUPPORT_DIR "/browser.py";
// browser.py ends a run that outlives its own time limit itself, killing
// its browser; the runner kills browser.py only if that failed too, which
// would leave the browser behind.
const int kRunnerGraceMs = 15000;

BrowserPage PageFrom(const nlohmann::json& report) {
  BrowserPage page;
  page.url = report.at("url").get<std::string>();
  page.title = report.at("title").get<std::string>();
  page.scripts = report.at("scripts").get<int>();
  page.pwned = report.at("pwned").get<bool>();
  page.html = report.at("html").get<std::string>();
  for (const auto& [selector, texts] : report.at("text").items())
    page.text[selector] = texts.get<std::vector<std::string>>();
  for (const auto& [selector, names] : report.at("attr").items()) {
    for (const auto& [name, values] : names.items()) {
      auto& found = page.attr[{selector, name}];
      for (const auto& value : values)
        found.push_back(value.is_null() ? std::nullopt
                                        : std::optional<std::string>(value.get<std::string>()));
    }
  }
  for (const auto& entry : report.at("console"))
    page.console.push_back(
        {entry.at("level").get<std::string>(), entry.at("message").get<std::string>()});
  return page;
}

}  // namespace

BrowserResult OpenInBrowser(const std::string& url, const BrowserOptions& options) {
  std::vector<std::string> argv{kPython, kBrowserScript, url};
  argv.insert(argv.end(),
              {"--window", std::to_string(options.width) + "x" + std::to_string(options.height)});
  argv.insert(argv.end(), {"--load-timeout", std::to_string(options.load_timeout_s)});
  argv.insert(argv.end(), {"--timeout", std::to_string(options.timeout_s)});
  for (const auto& selector : options.text) argv.insert(argv.end(), {"--text", selector});
  for (const auto& [selector, name] : options.attr)
    argv.insert(argv.end(), {"--attr", selector, name});
  if (!options.click.empty()) argv.insert(argv.end(), {"--click", options.click});
  if (!options.screenshot.empty()) argv.insert(argv.end(), {"--screenshot", options.screenshot});

  BrowserResult result;
  RunResult run = Run(argv, {}, options.timeout_s * 1000 + kRunnerGraceMs);
  if (run.timed_out || run.status != 0) {
    result.error = run.timed_out ? "browser.py did not end in time" : Trimmed(run.err);
    if (result.error.empty()) result.error = "browser.py failed without a word";
    return result;
  }
  nlohmann::json report = nlohmann::json::parse(run.out, nullptr, /*allow_exceptions=*/false);
  if (report.is_discarded()) {
    result.error = "browser.py's report is not JSON";
    return result;
  }
  try {
    BrowserPage page = PageFrom(report);
    if (!report.at("click").is_null()) result.clicked = PageFrom(report.at("click"));
    result.page = std::move(page);
  } catch (const nlohmann::json::exception& e) {
    result.clicked.reset();
    result.error = std::string("browser.py's report lacks a field: ") + e.what();
    return result;
  }
  result.ok = true;
  return result;
}

bool BrowserAvailable() {
  static const bool available =
      Run({"/usr/bin/chromium", "--version"}, {}, 10000).status == 0 &&
      Run({"/usr/bin/chromedriver", "--version"}, {}, 10000).status == 0 &&
      Run({kPython, "-c", "import selenium"}, {}, 10000).status == 0;
  return available;
}

}  // namespace testsupport
