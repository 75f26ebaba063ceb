#!/usr/bin/python3
"""Loads one page in Debian's chromium, headless, and reports what a user
would meet there, as one JSON object on standard output.

  browser.py URL [--window WxH] [--screenshot FILE] [--text SELECTOR]...
             [--attr SELECTOR NAME]... [--click SELECTOR]
             [--load-timeout SECONDS] [--timeout SECONDS]

The report:
  url, title      where the browser ended up and the document's title
  scripts         how many <script> elements the DOM holds
  pwned           whether window.__jantor_pwned is defined once the page
                  has loaded and settled: the page tests plant scripts and
                  event handlers that set it in table texts, so true means
                  text from the table ran
  html            the document element's outerHTML
  text            {selector: [textContent of each match]}
  attr            {selector: {name: [value of each match, null if absent]}}
  console         the page's console entries, [{level, message}] (not those
                  of chromium's own chrome:// pages)
  click           with --click: the same fields (but click) for the page
                  that clicking the first match led to, with the console
                  entries since the click; null without --click
  screenshot      with --screenshot: the PNG's path (the whole page of the
                  URL, before any click)

Exits 0 with the report, or non-zero with one line on standard error. Every
wait is bounded: a page gets --load-timeout seconds (10) to load, the whole
run --timeout seconds (30), after which the browser is killed.

The browser runs without its sandbox: the tests run it as root or inside a
network namespace of their own, where chromium cannot set up the sandbox's
namespaces, and it only ever loads the tests' own pages on loopback. Every
run has a fresh profile and home, removed afterwards, and the traffic a
browser starts of its own accord (updates, sync, QUIC) is turned off.
"""

import argparse
import base64
import json
import os
import shutil
import signal
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Time that cleaning up (quitting the browser, removing the profile) may
# take after the run ends or runs out of time.
CLEANUP_SECONDS = 5


class OutOfTime(Exception):
    pass


def on_signal(signum, frame):
    raise OutOfTime(signal.Signals(signum).name)


def parse_window(text):
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("not WIDTHxHEIGHT: " + text)
    if width < 100 or height < 100 or width > 8192 or height > 8192:
        raise argparse.ArgumentTypeError("window out of range: " + text)
    return width, height


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Load a page in headless chromium; report it as JSON.")
    parser.add_argument("url")
    parser.add_argument("--window", type=parse_window, default=(1280, 900), metavar="WxH",
                        help="the page's viewport, in CSS pixels")
    parser.add_argument("--screenshot", metavar="FILE")
    parser.add_argument("--text", action="append", default=[], metavar="SELECTOR")
    parser.add_argument("--attr", action="append", nargs=2, default=[], metavar=("SELECTOR", "NAME"))
    parser.add_argument("--click", metavar="SELECTOR")
    parser.add_argument("--load-timeout", type=float, default=10.0, metavar="SECONDS")
    parser.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS")
    return parser.parse_args(argv)


def browser_options(profile, window):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-dev-shm-usage",
        # A screenshot of a whole page has no use for a scrollbar, and the
        # page is laid out across the whole window width without one.
        "--hide-scrollbars",
        "--disable-extensions",
        "--disable-breakpad",
        "--disable-crash-reporter",
        "--user-data-dir=" + profile,
        "--window-size=%d,%d" % window,
    ):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.page_load_strategy = "normal"
    return options


def wait_loaded(driver, seconds):
    WebDriverWait(driver, seconds).until(
        lambda d: d.execute_script("return document.readyState") == "complete")
    # Two frames and a task after the load event: what the page queued as
    # it loaded (a timer, a handler of something that settles only after
    # the load event) has run by then, so a planted one is not missed by
    # asking too early.
    driver.set_script_timeout(seconds)
    driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(done, 0)));")


QUERY = """
const [texts, attrs] = arguments;
const text = {}, attr = {};
for (const selector of texts)
  text[selector] = Array.from(document.querySelectorAll(selector), e => e.textContent);
for (const [selector, name] of attrs) {
  attr[selector] = attr[selector] || {};
  attr[selector][name] = Array.from(document.querySelectorAll(selector), e => e.getAttribute(name));
}
return {
  url: location.href,
  title: document.title,
  scripts: document.getElementsByTagName('script').length,
  pwned: typeof window.__jantor_pwned !== 'undefined',
  html: document.documentElement ? document.documentElement.outerHTML : '',
  text: text,
  attr: attr,
};
"""


def describe(driver, args):
    page = driver.execute_script(QUERY, args.text, args.attr)
    # chromium's own pages (a new tab page it prepares in the background)
    # log into the same console; only the page's entries are reported.
    page["console"] = [{"level": entry.get("level", ""), "message": entry.get("message", "")}
                       for entry in driver.get_log("browser")
                       if not entry.get("message", "").startswith("chrome://")]
    return page


def screenshot(driver, path):
    # The whole page, not only the window: chromium lays out beyond the
    # viewport when asked, so a long table is captured in one image; the
    # viewport at least, so a short page still shows as the window would.
    metrics = driver.execute_cdp_cmd("Page.getLayoutMetrics", {})
    content = metrics.get("cssContentSize") or metrics["contentSize"]
    viewport = metrics.get("cssLayoutViewport") or metrics["layoutViewport"]
    width = max(content["width"], viewport["clientWidth"])
    height = max(content["height"], viewport["clientHeight"])
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png",
        "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1},
    })
    with open(path, "wb") as out:
        out.write(base64.b64decode(shot["data"]))


class NotLoaded(Exception):
    pass


def check_loaded(driver, what):
    # A page that could not be had is replaced by chromium's own error page,
    # which loads fine: a test must not mistake it for the page it asked for.
    url = driver.execute_script("return location.href")
    if url.startswith("chrome-error:"):
        code = driver.execute_script(
            "return (window.loadTimeDataRaw && loadTimeDataRaw.errorCode) || ''")
        raise NotLoaded("%s was not loaded: %s" % (what, code or url))


def size_viewport(driver, width, height):
    # Headless chromium still leaves room in its window for a toolbar that
    # it does not draw: the window grows by that much, so that the page is
    # laid out in width x height, as a user's window of that size shows it.
    outer_width, outer_height, inner_width, inner_height = driver.execute_script(
        "return [outerWidth, outerHeight, innerWidth, innerHeight]")
    if (inner_width, inner_height) != (width, height):
        driver.set_window_size(width + outer_width - inner_width,
                               height + outer_height - inner_height)


def run(driver, args):
    size_viewport(driver, *args.window)
    driver.set_page_load_timeout(args.load_timeout)
    try:
        driver.get(args.url)
    except TimeoutException:
        raise NotLoaded("%s did not load within %g s" % (args.url, args.load_timeout))
    check_loaded(driver, args.url)
    wait_loaded(driver, args.load_timeout)
    report = describe(driver, args)
    if args.screenshot:
        screenshot(driver, args.screenshot)
        report["screenshot"] = args.screenshot
    report["click"] = None
    if args.click:
        before = driver.find_element(By.TAG_NAME, "html")
        driver.find_element(By.CSS_SELECTOR, args.click).click()
        # chromedriver waits for a navigation that the click started; one
        # that a script starts a moment later gets a second to replace the
        # document; a click that starts none leaves the same one in place.
        try:
            WebDriverWait(driver, 1).until(lambda d: not is_current(before))
        except WebDriverException:
            pass
        check_loaded(driver, "the page after clicking " + args.click)
        wait_loaded(driver, args.load_timeout)
        report["click"] = describe(driver, args)
    return report


def is_current(element):
    try:
        element.is_enabled()
        return True
    except WebDriverException:
        return False


def kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except OSError:
        pass


def main(argv):
    args = parse_args(argv)
    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, on_signal)
    signal.setitimer(signal.ITIMER_REAL, args.timeout)

    scratch = tempfile.mkdtemp(prefix="jantor-browser-")
    profile = os.path.join(scratch, "profile")
    # chromium keeps some things by HOME whatever its profile (crash report
    # folders, desktop settings): a home of its own keeps the user's clean.
    environment = {name: value for name, value in os.environ.items()
                   if not name.startswith("XDG_")}
    environment["HOME"] = os.path.join(scratch, "home")
    os.mkdir(environment["HOME"])
    # chromedriver leads a process group of its own, which chromium and all
    # its helpers join, so that one kill ends whatever a failed or timed out
    # run leaves behind, and nothing of this run's outlives it.
    service = Service(CHROMEDRIVER, env=environment, popen_kw={"start_new_session": True})
    driver = None
    failure = None
    report = None
    out_of_time = False
    try:
        driver = webdriver.Chrome(service=service, options=browser_options(profile, args.window))
        report = run(driver, args)
    except OutOfTime as reason:
        failure = "out of time (%s) after %g s" % (reason, args.timeout)
        out_of_time = True
    except NotLoaded as reason:
        failure = str(reason)
    except WebDriverException as error:
        failure = (error.msg or type(error).__name__).strip().splitlines()[0]
    except Exception as error:  # report any failure in one line, never a trace
        failure = "%s: %s" % (type(error).__name__, error)
    finally:
        # A browser that ran out of time may be stuck in what it was doing,
        # and would make quitting wait as long: it is killed at once.
        signal.setitimer(signal.ITIMER_REAL, CLEANUP_SECONDS)
        try:
            if driver is not None and not out_of_time:
                driver.quit()
        except (OutOfTime, Exception):
            pass
        signal.setitimer(signal.ITIMER_REAL, 0)
        if getattr(service, "process", None) is not None:
            kill_group(service.process.pid)
        shutil.rmtree(scratch, ignore_errors=True)

    if failure:
        print("browser.py: " + failure, file=sys.stderr)
        return 1
    json.dump(report, sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
