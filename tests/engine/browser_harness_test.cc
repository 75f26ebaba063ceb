// The browser harness that the page tests stand on (support/browser.h), run
// against canned pages from a loopback peer in this program's own network:
// what it reports of a page, its console and a followed link is what the
// pages hold, and its check that nothing planted in a page ran tells a page
// where planted text stayed text from one where it ran.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/browser.h"
#include "support/loopback_peer.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using testsupport::BrowserOptions;
using testsupport::BrowserResult;
using testsupport::OpenInBrowser;

// Every page names a favicon of its own, so that chromium fetches none and
// the console holds only what the page logged.
std::string Page(const std::string& title, const std::string& body) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + title +
         "</title><link rel=\"icon\" href=\"data:,\"></head><body>" + body + "</body></html>";
}

// Serves canned pages by path on loopback, one connection at a time, and
// keeps the request line of each connection that sent one.
class PageServer {
 public:
  explicit PageServer(std::map<std::string, std::string> pages)
      : pages_(std::move(pages)), peer_([this](int fd) { Answer(fd); }, kMostConnections) {}

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(peer_.port()) + path;
  }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  // Far more than a test's pages: a browser may open a connection it never
  // uses, which the peer then waits out.
  static constexpr int kMostConnections = 64;

  void Answer(int fd) {
    std::string request = testsupport::ReadUntil(fd, "\r\n\r\n", 2000);
    size_t line_end = request.find("\r\n");
    if (line_end == std::string::npos) return;
    std::string line = request.substr(0, line_end);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(line);
    }
    size_t path_start = line.find(' ') + 1;
    std::string path = line.substr(path_start, line.find(' ', path_start) - path_start);
    auto page = pages_.find(path);
    std::string status = page != pages_.end() ? "200 OK" : "404 Not Found";
    std::string body = page != pages_.end() ? page->second : Page("Not found", "Not found");
    testsupport::SendAll(fd, "HTTP/1.1 " + status +
                                 "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                 body);
  }

  const std::map<std::string, std::string> pages_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  testsupport::LoopbackPeer peer_;     // last: its thread runs Answer until it is destroyed
};

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  int n = 0;
  for (const auto& l : lines) n += l == line;
  return n;
}

// The width and height in a PNG's header.
std::pair<long, long> PngSize(const std::string& png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
  auto be32 = [&](size_t at) {
    long v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  return {be32(16), be32(20)};
}

class BrowserHarness : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testsupport::BrowserAvailable()); }
};

TEST_F(BrowserHarness, ReportsPageConsoleScreenshotAndWhereALinkLeads) {
  PageServer server({
      {"/", Page("Harness first",
                 "<h1>First</h1>"
                 "<script>console.error('harness error ' + 6 * 7)</script>"
                 "<p><a id=\"next\" href=\"/second\">to the second page</a></p>"
                 // Taller than the window: the screenshot must hold all of it.
                 "<div style=\"height:2000px\"></div><p id=\"end\">end</p>")},
      {"/second", Page("Harness second", "<h1>Second</h1>")},
  });
  std::string shot =
      std::string(JANTOR_TEST_WORK) + "/browser-harness-" + std::to_string(getpid()) + ".png";
  BrowserOptions options;
  options.text = {"h1"};
  options.attr = {{"a", "href"}, {"a", "title"}};
  options.click = "#next";
  options.screenshot = shot;
  options.width = 1000;
  options.height = 700;

  BrowserResult result = OpenInBrowser(server.Url("/"), options);
  ASSERT_TRUE(result.ok) << result.error;

  EXPECT_EQ(result.page.url, server.Url("/"));
  EXPECT_EQ(result.page.title, "Harness first");
  EXPECT_EQ(result.page.scripts, 1);
  EXPECT_FALSE(result.page.pwned);
  EXPECT_NE(result.page.html.find("<h1>First</h1>"), std::string::npos) << result.page.html;
  EXPECT_EQ(result.page.text["h1"], std::vector<std::string>{"First"});
  using Values = std::vector<std::optional<std::string>>;
  EXPECT_EQ((result.page.attr[{"a", "href"}]), Values{"/second"});
  EXPECT_EQ((result.page.attr[{"a", "title"}]), Values{std::nullopt});
  // The message is the one the script computed, so it ran; and nothing else
  // went wrong on the way.
  ASSERT_EQ(result.page.console.size(), 1u);
  EXPECT_EQ(result.page.console[0].level, "SEVERE");
  EXPECT_NE(result.page.console[0].message.find("\"harness error 42\""), std::string::npos)
      << result.page.console[0].message;

  auto [width, height] = PngSize(testsupport::ReadFile(shot));
  EXPECT_EQ(width, 1000);
  EXPECT_GT(height, 2000);
  std::remove(shot.c_str());

  ASSERT_TRUE(result.clicked.has_value());
  EXPECT_EQ(result.clicked->url, server.Url("/second"));
  EXPECT_EQ(result.clicked->title, "Harness second");
  EXPECT_EQ(result.clicked->text["h1"], std::vector<std::string>{"Second"});
  EXPECT_EQ((result.clicked->attr[{"a", "href"}]), Values{});
  EXPECT_EQ(result.clicked->scripts, 0);
  EXPECT_TRUE(result.clicked->console.empty());
  std::vector<std::string> requests = server.Requests();
  EXPECT_EQ(CountOf(requests, "GET / HTTP/1.1"), 1);
  EXPECT_EQ(CountOf(requests, "GET /second HTTP/1.1"), 1);
}

// The same planted texts, once escaped as a page must show table text and
// once as markup: the flag stays undefined for the first and is set by
// each kind of planting in the second, so the check can fail.
TEST_F(BrowserHarness, TellsPlantedTextThatStayedTextFromPlantingThatRan) {
  const std::string script_text = "<script>window.__jantor_pwned=1</script>";
  const std::string handler_text = "<img src=\"/none.png\" onerror=\"window.__jantor_pwned=1\">";
  PageServer server({
      {"/escaped",
       Page("Escaped",
            "<table><tr><td id=\"script\">&lt;script&gt;window.__jantor_pwned=1&lt;/script&gt;</td>"
            "<td id=\"handler\">&lt;img src=&quot;/none.png&quot; "
            "onerror=&quot;window.__jantor_pwned=1&quot;&gt;</td></tr></table>"
            "<a id=\"next\" href=\"/handler\">next</a>")},
      {"/handler", Page("Handler", "<p>" + handler_text + "</p>")},
      {"/script", Page("Script", "<p>" + script_text + "</p>")},
  });
  BrowserOptions options;
  options.text = {"#script", "#handler"};
  options.click = "#next";

  BrowserResult escaped = OpenInBrowser(server.Url("/escaped"), options);
  ASSERT_TRUE(escaped.ok) << escaped.error;
  EXPECT_FALSE(escaped.page.pwned);
  EXPECT_EQ(escaped.page.scripts, 0);
  EXPECT_EQ(escaped.page.text["#script"], std::vector<std::string>{script_text});
  EXPECT_EQ(escaped.page.text["#handler"], std::vector<std::string>{handler_text});
  // Asked for once: by the real image on the second page, which gives its
  // handler a failure to run on, and never by the escaped text.
  EXPECT_EQ(CountOf(server.Requests(), "GET /none.png HTTP/1.1"), 1);
  // The flag is the window's own: the first page's check did not carry over.
  ASSERT_TRUE(escaped.clicked.has_value());
  EXPECT_EQ(escaped.clicked->title, "Handler");
  EXPECT_TRUE(escaped.clicked->pwned) << "an onerror handler ran but the harness missed it";

  BrowserResult script = OpenInBrowser(server.Url("/script"));
  ASSERT_TRUE(script.ok) << script.error;
  EXPECT_TRUE(script.page.pwned) << "a script ran but the harness missed it";
  EXPECT_EQ(script.page.scripts, 1);
}

// Error paths.

TEST_F(BrowserHarness, FailsOnAPageThatCannotBeHadOrAClickOnNothing) {
  BrowserResult refused =
      OpenInBrowser("http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/");
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("ERR_CONNECTION_REFUSED"), std::string::npos) << refused.error;
  EXPECT_EQ(refused.page.url, "");
  EXPECT_FALSE(refused.clicked.has_value());

  PageServer server({{"/", Page("No links", "<p>nothing to click</p>")}});
  BrowserOptions options;
  options.click = "a";
  BrowserResult nothing = OpenInBrowser(server.Url("/"), options);
  EXPECT_FALSE(nothing.ok);
  EXPECT_NE(nothing.error.find("no such element"), std::string::npos) << nothing.error;
  EXPECT_EQ(nothing.page.url, "");
  EXPECT_FALSE(nothing.clicked.has_value());
}

}  // namespace
