// A real browser for the tests of the pages that jantor serves: loads one
// URL in Debian's chromium, headless, through support/browser.py, and
// returns what a user would meet there (the document, its title, the
// console, whether anything planted in the page ran, what a click leads
// to). Each load starts a fresh browser with a fresh profile and waits for
// it to end, so nothing is shared between loads; one takes a second or two.
#ifndef JANTOR_TESTS_SUPPORT_BROWSER_H_
#define JANTOR_TESTS_SUPPORT_BROWSER_H_

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ConsoleEntry {
  std::string level;    // chromium's: "SEVERE", "WARNING", "INFO", "DEBUG"
  std::string message;  // the source's URL and line, then the text logged
};

// One document as the browser held it once it had loaded and settled.
struct BrowserPage {
  std::string url;    // where the browser ended up, after any redirect
  std::string title;  // document.title
  int scripts = 0;    // <script> elements in the DOM
  // window.__jantor_pwned was defined: something planted in the page (a
  // script, an event handler) ran.
  bool pwned = false;
  std::string html;  // the document element's outerHTML
  // selector -> the textContent of each match, in document order.
  std::map<std::string, std::vector<std::string>> text;
  // (selector, attribute) -> its value on each match; nullopt where absent.
  std::map<std::pair<std::string, std::string>, std::vector<std::optional<std::string>>> attr;
  // What the page logged while it loaded (for a clicked page: since the
  // click), and the errors chromium logs for it, such as a failed fetch.
  std::vector<ConsoleEntry> console;
};

struct BrowserOptions {
  std::vector<std::string> text;                          // selectors for BrowserPage::text
  std::vector<std::pair<std::string, std::string>> attr;  // (selector, name) for ::attr
  std::string click;       // when set: click its first match and report the page it leads to
  std::string screenshot;  // when set: a PNG of the whole first page, written to this path
  int width = 1280;        // the page's viewport, in CSS pixels
  int height = 900;
  int load_timeout_s = 10;  // for each page to load
  int timeout_s = 30;       // for the whole run, after which the browser is killed
};

struct BrowserResult {
  bool ok = false;    // every page asked for loaded and was reported; if not, the rest is empty
  std::string error;  // when !ok: why, in one line
  BrowserPage page;   // the page of the URL
  std::optional<BrowserPage> clicked;  // with options.click: where the click led
};

// Loads url in a headless chromium and reports it. A page that cannot be
// had (refused, timed out, chromium's own error page instead) is a failure,
// as is a click selector that matches nothing.
BrowserResult OpenInBrowser(const std::string& url, const BrowserOptions& options = {});

// chromium and chromedriver run and Python finds selenium. Checked once
// per process.
bool BrowserAvailable();

}  // namespace testsupport

#endif  // JANTOR_TESTS_SUPPORT_BROWSER_H_
