#!/usr/bin/env python3
"""Turns the figures that the benchmark scripts recorded into results.md
in the folder given, and the part of each section that has a file of its
own (results_cost, scale, webcalls, calendar, retries, status_page,
grouped_writes, expect_cap, credentials, oauth2, pauses, history) into <section>.md beside it, also appended to
results.md;
with --full also hits.dat, delay.dat and chart.png. The sections of
bench/run.sh and the scripts that run alone too record the same way, so
that every table is made here, one way.

A record file holds lines "figure<TAB>value<TAB>unit"; run.tsv holds the
run's own facts (date, processors, rounds, load, the sections that failed).
The best, least, medians and ratios are made here, with the roundings the
shell made before: a rate is a whole number, a ratio has two decimals, and
a median of an even count is the mean of the middle two with two decimals.
The targets come from bench/targets.tsv. A table or row whose figures were
not recorded (its section did not run, or failed and left none) is left
out, and a section's own file is removed rather than left from an earlier
run."""

import argparse
import fnmatch
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def load(paths):
    fig = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) >= 2:
                    fig[parts[0]] = parts[1]
    return fig


def load_targets():
    targets = {}
    with open(os.path.join(HERE, "targets.tsv"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name, relation, bound, text = (line.rstrip("\n").split("\t") + [""] * 4)[:4]
            entry = targets.setdefault(name, {"text": text, "tests": []})
            if relation != "reported":
                entry["tests"].append((relation, bound))
    return targets


def num(v):
    return float(v)


def best(values):  # sort -n | tail -n1
    return sorted(values, key=num)[-1]


def least(values):  # sort -n | head -n1
    return sorted(values, key=num)[0]


def median(values):
    v = sorted(values, key=num)
    if len(v) % 2:
        return v[len(v) // 2]
    return "%.2f" % ((num(v[len(v) // 2 - 1]) + num(v[len(v) // 2])) / 2)


def ratio(a, b):
    a, b = num(a), num(b)
    return "%.2f" % (a / b if b > 0 else 0)


def mib(kib):
    return "%.1f" % (num(kib) / 1024)


class Figures:
    def __init__(self, raw):
        self.raw = raw
        self.derived = {}

    def __getitem__(self, name):
        if name in self.derived:
            return self.derived[name]
        return self.raw[name]

    def __setitem__(self, name, value):
        self.derived[name] = value

    def rounds(self, prefix):
        """The values prefix.1, prefix.2, ... in order; KeyError if none."""
        out = []
        while prefix + "." + str(len(out) + 1) in self.raw:
            out.append(self.raw[prefix + "." + str(len(out) + 1)])
        if not out:
            raise KeyError(prefix)
        return out

    def hits(self, way):
        return best(self.rounds("rate." + way))

    def paired(self, a, b, key=""):
        ra, rb = self.rounds("rate." + a + key), self.rounds("rate." + b + key)
        return median([ratio(x, y) for x, y in zip(ra, rb)])


def derive(f):
    """The figures that targets and tables name, from the raw records.
    Each group is left out when its section did not run."""
    def group(fn):
        try:
            fn()
        except KeyError:
            pass

    def speed():
        for n in ("200", "2000", "20000"):
            for way in ("js", "jc", "pl", "c1"):
                f["hits." + way + n] = f.hits(way + n)
        f["hits.cl200"] = f.raw["rate.cl200"]
        f["hits.cl2000"] = f.raw["rate.cl2000"]
        f["hits.cl20000"] = f["hits.cl2000"]
        f["speed.js_pl"] = ratio(f["hits.js2000"], f["hits.pl2000"])
        f["speed.js_c1"] = ratio(f["hits.js2000"], f["hits.c12000"])
        f["speed.js_cl"] = ratio(f["hits.js2000"], f["hits.cl2000"])
        f["speed.jc_pl"] = ratio(f["hits.jc2000"], f["hits.pl2000"])
        f["speed.hwm20000"] = best(f.rounds("hwm.js20000"))
        f["speed.hwm200"] = f.rounds("hwm.js200")[-1]
        u = num(f.raw["clk_tck"])
        f["tls.plain_us"] = least(["%.0f" % (num(t) / u / 2000 * 1e6) for t in f.rounds("cpu.js2000")])

    def speed_basic():
        for way in ("jb", "jd"):
            f["hits." + way + "2000"] = f.hits(way + "2000")
        f["speed.jb_pl"] = ratio(f["hits.jb2000"], f["hits.pl2000"])
        f["speed.jb_c1"] = ratio(f["hits.jb2000"], f["hits.c12000"])
        f["speed.jb_cl"] = ratio(f["hits.jb2000"], f["hits.cl2000"])
        f["speed.jd_pl"] = ratio(f["hits.jd2000"], f["hits.pl2000"])
        f["speed.js_jb"] = f.paired("js", "jb", "2000")
        f["speed.jc_jd"] = f.paired("jc", "jd", "2000")

    def postgres():
        for n in ("200", "2000", "20000"):
            f["hits.jp" + n] = f.hits("jp" + n)

    def delay():
        for key in ("dj1", "dcs", "dj8", "dj64", "dj256", "dcp64", "dcp256", "dx64"):
            f["delay." + key] = f.hits(key)

    def memory():
        f["memory.cycle20000"] = f.raw["memory.cycle20000"]
        f["memory.cycle20000c256"] = f.raw["memory.cycle20000c256"]
        f["memory.big"] = f.raw["memory.big"]
        f["memory.big_limit"] = str(3 * int(f.raw["memory.reply"]) // 1024 + 8 * 1024)
        f["memory.big_limit_mib"] = mib(f["memory.big_limit"])

    def tls():
        n = num(f.raw["tls.n"])
        for way in ("tjs", "tjc", "tcs", "tcn"):
            f["hits." + way] = f.hits(way)
            cpu = [f.raw["tls.cpu.%s-%d" % (way, r + 1)].split() for r in range(len(f.rounds("rate." + way)))]
            f["tls.us." + way] = least(["%.0f" % (num(c[0]) / n * 1e6) for c in cpu])
            f["tls.srv_us." + way] = least(["%.0f" % (num(c[1]) / n * 1e6) for c in cpu])
        f["tls.js_cs"] = ratio(f["hits.tjs"], f["hits.tcs"])
        f["tls.js_cn"] = ratio(f["hits.tjs"], f["hits.tcn"])
        f["tls.cycle20000"] = f.raw["tls.cycle20000"]
        f["tls.cycle20000c256"] = f.raw["tls.cycle20000c256"]

    def table_size():
        f["table.small"] = least(f.rounds("table.small"))
        f["table.big"] = least(f.rounds("table.big"))
        f["table.ratio"] = ratio(f["table.big"], f["table.small"])

    def startup():
        f["startup.ms"] = least(f.rounds("startup.ms"))
        f["startup.hwm"] = best(f.rounds("startup.hwm"))

    def metrics():
        f["hits.mm"], f["hits.mn"] = f.hits("mm"), f.hits("mn")
        f["metrics.ratio"] = ratio(f["hits.mm"], f["hits.mn"])
        f["metrics.paired"] = f.paired("mm", "mn")
        scrapes = sorted(f.rounds("metrics.scrapes"), key=num)
        f["metrics.scrapes"] = scrapes[0] + " to " + scrapes[-1]
        f["metrics.bytes"] = best([b for b in f.rounds("metrics.bytes") if b])

    def idle():
        f["idle.jantor"] = f.raw["idle.jantor.cpu"]

    def share():
        n, rounds, u = int(f.raw["share.n"]), int(f.raw["share.rounds"]), num(f.raw["clk_tck"])
        for key in ("shu64", "shs64", "sht64", "shu192"):
            f["hits." + key] = f.hits(key)

            def per_round(what, form, scale=1.0):
                return [form % (num(f.raw["share.%s.%s-%d" % (what, key, r)]) * scale / n)
                        for r in range(1, rounds + 1)]
            f["share.stmt." + key] = median(per_round("statements", "%.2f"))
            f["share.own." + key] = median(per_round("own", "%.2f"))
            f["share.commit." + key] = median(per_round("commits", "%.2f"))
            f["share.db_us." + key] = least(per_round("backend", "%.1f", 1 / 1000))
            f["share.jantor_us." + key] = least(
                ["%.0f" % (num(f.raw["share.jantor.%s-%d" % (key, r)]) / u / n * 1e6)
                 for r in range(1, rounds + 1)])
            once = [[int(x) for x in f.raw["share.once.%s-%d" % (key, r)].split()]
                    for r in range(1, rounds + 1)]
            ok = sum(1 for e, s, more in once if e == n and s == n and more == 0)
            if ok == rounds:
                f["share.once." + key] = "yes, in all %d rounds" % rounds
            else:
                f["share.once." + key] = "**no**: %d of %d rounds exact; fewest entries %d, up to %d requested more than once" % (
                    ok, rounds, min(o[0] for o in once), max(o[2] for o in once))
        f["share.three_one"] = ratio(f["hits.sht64"], f["hits.shu64"])
        f["share.three_big"] = ratio(f["hits.sht64"], f["hits.shu192"])
        f["share.once"] = "no" if "no" in "".join(
            f["share.once." + k] for k in ("sht64", "shs64", "shu64", "shu192")) else "yes"

    def retries():
        for way in RETRY_WAYS:
            f["retries.hits." + way] = f.hits(way)
            f["retries.hwm." + way] = best(f.rounds("hwm." + way))
        f["retries.hwm.rtr1"] = best(f.rounds("hwm.rtr1"))
        f["retries.hits.rtr1"] = f.hits("rtr1")
        f["retries.hits.rtr2"] = f.hits("rtr2")
        f["retries.gap"] = least(f.rounds("retries.gap"))
        f["retries.ratio"] = ratio(f["retries.hits.rtr"], f["retries.hits.rtb"])
        f["retries.paired"] = f.paired("rtr", "rtb")
        for c in ("1", "8"):
            f["retries.nulls_c" + c] = ratio(f["retries.hits.rtn" + c], f["retries.hits.rto" + c])
            f["retries.nulls_paired_c" + c] = f.paired("rtn" + c, "rto" + c)
        # A process that makes one full cycle is held to memory.cycle20000's
        # target; the retries run makes two, and a second full cycle peaks
        # higher without retries too (SQLite's page caches fill), so it is
        # held to the same two cycles without retries.
        f["retries.hwm"] = best([f["retries.hwm." + way] for way in RETRY_WAYS if way != "rtr"] +
                                [f["retries.hwm.rtr1"]])
        f["retries.hwm.two"] = f["retries.hwm.rtr"]
        f["retries.hwm.two_limit"] = str(int(num(f["retries.two_cycles_hwm2"])) + 1024)
        f["retries.hwm.two_limit_mib"] = mib(f["retries.hwm.two_limit"])

    def status_page():
        for kind in STATUS_KINDS:
            for page, _, _ in STATUS_PAGES:
                times = f.rounds("status_page.%s.%s" % (kind, page))
                f["status_page.%s.%s" % (kind, page)] = median(times)
                f["status_page.%s.%s.least" % (kind, page)] = least(times)
                f["status_page.%s.%s.most" % (kind, page)] = best(times)
        f["status_page.load.hits.with"] = f.hits("spl")
        f["status_page.load.hits.without"] = f.hits("spn")
        f["status_page.load.ratio"] = ratio(f["status_page.load.hits.with"], f["status_page.load.hits.without"])
        f["status_page.load.paired"] = f.paired("spl", "spn")
        f["status_page.load.hwm"] = best(f.rounds("hwm.spl"))
        f["status_page.load.hwm.without"] = best(f.rounds("hwm.spn"))
        pages = f.rounds("status_page.load.pages")
        f["status_page.load.pages"] = "%s to %s" % (least(pages), best(pages))
        f["status_page.load.ms"] = median(f.rounds("status_page.load.ms"))
        f["status_page.load.most"] = best(f.rounds("status_page.load.most"))
        other = sum(int(v) for v in f.rounds("status_page.load.other"))
        f["status_page.load.answered"] = "yes" if other == 0 else "no"
        f["status_page.load.other"] = str(other)

    def results_cost():
        for kind, conc in results_cost_cases(f):
            key = "results_cost.%s.c%s" % (kind, conc)
            for way in ("with", "plain"):
                rates = f.rounds("rate.%s.%s" % (key, way))
                f["%s.%s" % (key, way)] = best(rates)
                f["%s.%s.median" % (key, way)] = "%.0f" % num(median(rates))
            f[key + ".ratio"] = ratio(f[key + ".with"], f[key + ".plain"])
            f[key + ".paired"] = f.paired(key + ".with", key + ".plain")

    def webcalls():
        for name, a, b in WEBCALLS_PAIRS:
            for way in (a, b):
                f["webcalls.hits." + way] = f.hits("webcalls." + way)
            f["webcalls." + name] = ratio(f["webcalls.hits." + a], f["webcalls.hits." + b])
            f["webcalls.%s.paired" % name] = f.paired("webcalls." + a, "webcalls." + b)

    def calendar():
        for way in ("cr", "iv"):
            f["calendar.hits." + way] = f.hits("calendar." + way)
        f["calendar.ratio"] = ratio(f["calendar.hits.cr"], f["calendar.hits.iv"])
        f["calendar.paired"] = f.paired("calendar.cr", "calendar.iv")
        cases = f.raw["calendar.cases"].split()
        for case in cases:
            f["calendar.ns." + case] = least(f.rounds("calendar.ns." + case))
        f["calendar.ns.each"] = "; ".join("%s %s" % (case[len("cron:"):], f["calendar.ns." + case])
                                          for case in cases if case.startswith("cron:"))

    def grouped_writes():
        for kind, way, _, _, base in GW_WAYS:
            for build in ("new", "base") if base else ("new",):
                key = "gw.%s.%s.%s" % (kind, way, build)
                rates = f.rounds("rate." + key)
                f[key + ".median"] = "%.0f" % num(median(rates))
                f[key + ".best"] = best(rates)
            if base:
                key = "gw.%s.%s" % (kind, way)
                f[key + ".vs_base"] = f.paired(key + ".new", key + ".base")
        for name, a, b, _ in GW_RATIOS:
            f["grouped_writes." + name] = f.paired("gw." + a, "gw." + b)
            f["grouped_writes.%s.medians" % name] = ratio(f["gw.%s.median" % a], f["gw.%s.median" % b])

    def expect_cap():
        f["expect_cap.rule"] = f.paired("ecr", "ecp")
        f["expect_cap.cap"] = f.paired("ecc", "ecf")
        for way in ("ecr", "ecp", "ecc", "ecf"):
            f["expect_cap.%s.median" % way] = "%.0f" % num(median(f.rounds("rate." + way)))
        f["expect_cap.held.capped"] = best(f.rounds("expect_cap.held.capped"))
        f["expect_cap.held.free"] = best(f.rounds("expect_cap.held.free"))

    def pauses():
        for kind in ("sqlite", "pg"):
            for way in ("paused", "plain"):
                f["pauses.%s.%s" % (kind, way)] = "%.1f" % num(median(f.rounds("pauses.%s.%s" % (kind, way))))
            f["pauses.%s.extra" % kind] = "%.1f" % (num(f["pauses.%s.paused" % kind]) - num(f["pauses.%s.plain" % kind]))
        f["pauses.nulls"] = f.paired("pzn", "pzw")
        for way in ("pzn", "pzw"):
            f["pauses.%s.median" % way] = "%.0f" % num(median(f.rounds("rate." + way)))

    def credentials():
        f["credentials.named"] = f.paired("crn", "crp")
        for way in ("crn", "crp"):
            f["credentials.%s.median" % way] = "%.0f" % num(median(f.rounds("rate." + way)))

    def oauth2():
        f["oauth2.ratio"] = f.paired("oat", "oah")
        for way in ("oat", "oah"):
            f["oauth2.%s.median" % way] = "%.0f" % num(median(f.rounds("rate." + way)))
        # Each run is one daemon over less than a token's life.
        f["oauth2.fetches"] = best(f.rounds("oauth2.fetches"))
        f["oauth2.fetches.least"] = least(f.rounds("oauth2.fetches"))

    def history():
        for kind in STATUS_KINDS:
            for page, _, _ in HISTORY_PAGES + (("plain", "", ""),):
                times = f.rounds("history.%s.%s" % (kind, page))
                f["history.%s.%s" % (kind, page)] = median(times)
                f["history.%s.%s.least" % (kind, page)] = least(times)
                f["history.%s.%s.most" % (kind, page)] = best(times)
            fills = f.rounds("history.fill." + kind)
            f["history.fill." + kind] = median(fills)
            f["history.fill.%s.most" % kind] = best(fills)
            f["history.fill.%s.scrape_ms" % kind] = best(f.rounds("history.fill.%s.scrape_ms" % kind))
            f["history.fill.%s.scrapes" % kind] = least(f.rounds("history.fill.%s.scrapes" % kind))
        f["history.cost.sqlite"] = f.paired("hlh", "hli")
        f["history.cost.pg"] = f.paired("hph", "hpi")
        f["history.index.sqlite"] = f.paired("hli", "hlo")
        f["history.index.sqlite.c1"] = f.paired("hli1", "hlo1")
        for way in ("hlo", "hli", "hlh", "hpi", "hph", "hlo1", "hli1"):
            f["history.%s.median" % way] = "%.0f" % num(median(f.rounds("rate." + way)))

    def scale():
        for kind in SCALE_KINDS:
            for key in ["scale.cycle." + kind] + (["scale.cycle.%s.shared" % kind] if kind in SCALE_SHARED else []):
                if key + ".seconds" in f.raw:
                    f[key + ".us"] = "%.0f" % (num(f[key + ".seconds"]) * 1e6 / num(f["scale.n"]))

    for fn in (speed, speed_basic, postgres, delay, memory, tls, table_size, startup, metrics, idle, share, retries,
               status_page, results_cost, webcalls, calendar, grouped_writes, scale, expect_cap, credentials,
               oauth2, pauses, history):
        group(fn)


# The ways of the retries section: the retries run (both cycles), the run
# without retry columns, and the tables with the columns unused and before them.
RETRY_WAYS = ("rtr", "rtb", "rtn1", "rto1", "rtn8", "rto8")

# The status page section's databases and pages: figure key, what the
# table calls the page, and the request (a function of the figures).
STATUS_KINDS = ("pg", "sqlite")
STATUS_PAGES = (
    ("top", "the first page", lambda f: "/"),
    ("failing", "failing entries only", lambda f: "/?failing=1"),
    ("broad", "a search that 100 of the 1000 hosts match (100 000 entries, 1000 of them failing)",
     lambda f: "/?q=" + f["status_page.broad"]),
    ("one", "a search that one host matches (1000 entries, %s of them failing)",
     lambda f: "/?q=" + f["status_page.one"]),
    ("deep", "the 5000th page, by the key of the 4999th page's last row",
     lambda f: "/?after=n.YYYYMMDDHHMMSS.ID"),
)
STATUS_NAMES = {"pg": "PostgreSQL", "sqlite": "SQLite"}

# The web calls' pairs: the ratio's figure, and the ways, each against the next.
WEBCALLS_PAIRS = (("post_delay", "dj", "dc"), ("post_nginx", "nj", "nc"), ("nulls", "gn", "go"))

# The scale section's databases, and its cycles: a database alone, then
# the databases that share a table with -s too.
SCALE_KINDS = ("sqlite", "postgres", "mariadb")
SCALE_SHARED = ("postgres", "mariadb")


# The grouped writes section's ways: database, way, the database's name
# and jantor's options in the tables, and whether the baseline ran it too.
GW_WAYS = (("pg", "plain", "PostgreSQL", "-c 8", True),
           ("pg", "s", "PostgreSQL", "-c 8 -s 600", True),
           ("pg", "l", "PostgreSQL", "-c 8 -l hit_results", True),
           ("mariadb", "plain", "MariaDB", "-c 8", False),
           ("mariadb", "l", "MariaDB", "-c 8 -l hit_results", False),
           ("sqlite", "c1", "SQLite", "-c 1", True),
           ("sqlite", "c8", "SQLite", "-c 8", True))

# Its ratios with a row of the figure table: the figure (grouped_writes.<name>),
# the two runs (<database>.<way>.<build>), the first against the second, and
# the row's label.
GW_RATIOS = (
    ("pg.plain_l", "pg.plain.new", "pg.l.new", "PostgreSQL, jantor -c 8 without -l against -l hit_results"),
    ("pg.s_l", "pg.s.new", "pg.l.new", "PostgreSQL, jantor -c 8 -s 600 without -l against -l hit_results"),
    ("pg.plain_base", "pg.plain.new", "pg.plain.base", "PostgreSQL, jantor -c 8 without -l against the baseline"),
    ("pg.s_base", "pg.s.new", "pg.s.base", "PostgreSQL, jantor -c 8 -s 600 without -l against the baseline"),
    ("mariadb.plain_l", "mariadb.plain.new", "mariadb.l.new", "MariaDB, jantor -c 8 without -l against -l hit_results"),
    ("sqlite.c1_base", "sqlite.c1.new", "sqlite.c1.base", "SQLite, jantor -c 1 against the baseline"),
    ("sqlite.c8_base", "sqlite.c8.new", "sqlite.c8.base", "SQLite, jantor -c 8 against the baseline"),
)


def results_cost_cases(f):
    """The result rows section's cases, (database, -c) in the order it ran them."""
    return [case.split() for case in f.raw["results_cost.cases"].split(",")]


def find_target(targets, name):
    """The target of figure name: its own, or else the first whose name is a
    pattern (with *) that name matches; KeyError when there is none."""
    if name in targets:
        return targets[name]
    for pattern, entry in targets.items():
        if "*" in pattern and fnmatch.fnmatchcase(name, pattern):
            return entry
    raise KeyError(name)


def target(f, targets, name):
    """"target|met" of figure name: the target's text, and yes, **no**, or
    nothing for a figure only reported."""
    entry = find_target(targets, name)
    text = entry["text"]
    while "{" in text:
        a = text.index("{")
        b = text.index("}", a)
        text = text[:a] + f[text[a + 1:b]] + text[b + 1:]
    if not entry["tests"]:
        return text, ""
    met = True
    for relation, bound in entry["tests"]:
        value = f[name]
        if relation == "==":
            # The bound is another figure (a count it must equal) or a text.
            try:
                expected = f[bound]
            except KeyError:
                expected = bound
            met = met and value == expected
            continue
        try:
            limit = float(bound)
        except ValueError:
            limit = num(f[bound])
        try:
            measured = num(value)
        except ValueError:
            # Not a number ("-": no scrape was answered) meets no bound.
            met = False
            continue
        met = met and (measured >= limit if relation == ">=" else measured <= limit)
    return text, "yes" if met else "**no**"


def figure_row(f, targets, label, name, measured, also=()):
    """A row of a figure table: label, the target of figure name, what was
    measured (a function, so that a figure not recorded leaves the row out
    by its KeyError) and whether it met the target, and the targets of the
    figures named in also, which the row's text takes in."""
    t, met = target(f, targets, name)
    if met and any(target(f, targets, other)[1] != "yes" for other in also):
        met = "**no**"
    return "| %s | %s | %s |%s" % (label, t, measured(), " %s |" % met if met else " |")


def run_line(f, section):
    """The line that opens a section's own file: when and on what it ran."""
    return "Run of %s on %s processors; load average %s at the start of the section, %s at its end." % (
        f[section + ".date"], f[section + ".processors"], f[section + ".load_start"], f[section + ".load_end"])


def section_text(make):
    """The text that make writes through the function it is given, or None
    when a figure it needs was not recorded."""
    out = []
    try:
        make(out.append)
    except KeyError:
        return None
    return "\n".join(out) + "\n"


def retries_table(f, p):
    """The retries section's table of rates and peaks."""
    r, n = f["retries.rounds"], f["retries.n"]
    h = lambda way: f["retries.hits." + way]
    m = lambda way: mib(f["retries.hwm." + way])
    p("")
    p("Retries: N = %s due GETs on SQLite (WAL), a table (a database) for each way, best of %s rounds, the two ways" % (n, r))
    p("of each pair seconds apart, taking turns at going first. Against bench/delay_server.c on 127.0.0.2:80, answering")
    p("at once: entries with i_retries 3 and i_retry_delay 1, every first attempt answered 503 and its retry 200, two")
    p("cycles of jantor -c 8 -i 4, attempts a second over the cycles' own spans (the server's log; the %s s or more" % f["retries.gap"])
    p("between the failures' last request and the retries' first are the sleep, left out); against the same entries in")
    p("a table without the retry columns, one cycle answered 200 by the same server. Against nginx: the retry and state")
    p("columns there but unused (NULL, but for i_outcome 'ok' and i_failures 0 from a warm-up cycle, as a daemon leaves")
    p("them) against the table before them. Peak resident memory: VmHWM of jantor's whole process, start-up included,")
    p("the most of the rounds.")
    p("")
    p("| way | server | requests a run | attempts a second | median of round ratios | peak resident memory |")
    p("|---|---|---:|---:|---:|---:|")
    p("| jantor -c 8, retries: the failed attempts' cycle | 503 once | %s | %s | | %s MiB by its end |" % (n, h("rtr1"), m("rtr1")))
    p("| jantor -c 8, retries: the retries' cycle | then 200 | %s | %s | | |" % (n, h("rtr2")))
    p("| jantor -c 8, retries: both cycles | | %d | %s | | %s MiB |" % (2 * int(n), h("rtr"), m("rtr")))
    p("| jantor -c 8, no retry columns | 200 | %s | %s | | %s MiB |" % (n, h("rtb"), m("rtb")))
    p("| both cycles of retries / no retry columns | | | %s | %s | |" % (f["retries.ratio"], f["retries.paired"]))
    for c in ("1", "8"):
        p("| jantor -c %s, retry and state columns unused | nginx | %s | %s | | %s MiB |" % (c, n, h("rtn" + c), m("rtn" + c)))
        p("| jantor -c %s, the table before them | nginx | %s | %s | | %s MiB |" % (c, n, h("rto" + c), m("rto" + c)))
        p("| -c %s, columns unused / before them | | | %s | %s | |" % (c, f["retries.nulls_c" + c], f["retries.nulls_paired_c" + c]))
    p("| jantor -c 8, two cycles answered 200 on the table before the columns (entries due again), once | 200 | %d | | | %s MiB after the first, %s MiB after the second |" % (
        2 * int(n), mib(f["retries.two_cycles_hwm1"]), mib(f["retries.two_cycles_hwm2"])))


def retries_rows(f, targets):
    """The section's rows of the figure table, each made only when asked for,
    so that a run without the section leaves them out by their KeyError."""
    n = lambda: f["retries.n"]
    return [
        lambda: figure_row(f, targets, "jantor -c 8, i_retries 3, every first attempt answered 503 and retried, N = %s: attempts a second over both cycles against one cycle without retry columns" % n(),
                           "retries.ratio", lambda: "%s (%s against %s a second; round by round %s)" % (
                               f["retries.ratio"], f["retries.hits.rtr"], f["retries.hits.rtb"], f["retries.paired"])),
        lambda: figure_row(f, targets, "jantor -c 1 GET, retry and state columns there but unused against a table without them, nginx, N = %s" % n(),
                           "retries.nulls_c1", lambda: "%s (%s against %s a second; round by round %s)" % (
                               f["retries.nulls_c1"], f["retries.hits.rtn1"], f["retries.hits.rto1"], f["retries.nulls_paired_c1"])),
        lambda: figure_row(f, targets, "jantor -c 8 GET, the same", "retries.nulls_c8",
                           lambda: "%s (%s against %s a second; round by round %s)" % (
                               f["retries.nulls_c8"], f["retries.hits.rtn8"], f["retries.hits.rto8"], f["retries.nulls_paired_c8"])),
        lambda: figure_row(f, targets, "peak resident memory of the runs of one full cycle, N = %s, start-up included" % n(), "retries.hwm",
                           lambda: "%s MiB (the most of: retries after the failures' cycle %s; no retry columns %s; columns unused -c 1 %s, -c 8 %s; before them -c 1 %s, -c 8 %s)" % (
                               mib(f["retries.hwm"]), mib(f["retries.hwm.rtr1"]), mib(f["retries.hwm.rtb"]),
                               mib(f["retries.hwm.rtn1"]), mib(f["retries.hwm.rtn8"]),
                               mib(f["retries.hwm.rto1"]), mib(f["retries.hwm.rto8"]))),
        lambda: figure_row(f, targets, "peak resident memory of the retries run, both full cycles", "retries.hwm.two",
                           lambda: "%s MiB (two cycles without retries: %s MiB)" % (
                               mib(f["retries.hwm.two"]), mib(f["retries.two_cycles_hwm2"]))),
    ]


def retries_report(f, targets):
    """retries.md: the retries section's table and figures, with the
    section's own date and load; None when it did not run."""
    def make(p):
        p("## Retries")
        p("")
        p(run_line(f, "retries"))
        retries_table(f, p)
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        for row in retries_rows(f, targets):
            p(row())
    return section_text(make)


def status_page_table(f, p):
    """The status page section's tables: page times on each database, then
    the cycle with and without page loads."""
    ms = lambda kind, page: "%s ms (%s to %s)" % (
        f["status_page.%s.%s" % (kind, page)], f["status_page.%s.%s.least" % (kind, page)],
        f["status_page.%s.%s.most" % (kind, page)])
    p("")
    p("The status page of -m (100 entries a page) over a schedule table of %s entries, 1%% failing (%s), every" % (
        f["status_page.n"], f["status_page.pg.failing_entries"]))
    p("optional column filled, next runs spread over the coming day: on PostgreSQL %s (its own database, beside a" % f["postgres"])
    p("results table of %s rows), and on SQLite (WAL). jantor -m -i 3600 idles after its first cycle, which finds" % f["status_page.results"])
    p("nothing due; each page asked for %s times by curl, a new connection each (time_total), the pages taking turns." % f["status_page.requests"])
    p("Median (least to most) of the %s; the first request of each run, which also connects and counts the table," % f["status_page.requests"])
    p("timed apart. Peak resident memory: VmHWM of jantor's whole process, start-up included, after the requests.")
    p("")
    p("| page | request | PostgreSQL | SQLite | reply on PostgreSQL |")
    p("|---|---|---:|---:|---:|")
    for page, label, request in STATUS_PAGES:
        if page == "one":
            label = label % f["status_page.pg.one_failing"]
        p("| %s | `%s` | %s | %s | %s bytes |" % (label, request(f), ms("pg", page), ms("sqlite", page),
                                              f["status_page.pg.%s.bytes" % page]))
    p("| the first request of the run: connects, counts the table, the first page | `/` | %s ms | %s ms | |" % (
        f["status_page.pg.first"], f["status_page.sqlite.first"]))
    p("| peak resident memory of jantor, the run's requests done | | %s MiB | %s MiB | |" % (
        mib(f["status_page.pg.hwm"]), mib(f["status_page.sqlite.hwm"])))
    p("")
    p("Page loads during a cycle: one cycle of jantor -c 8 -m over N = %s due entries on SQLite (WAL) against nginx, with" % f["status_page.load.n"])
    p("%s clients (bench/page_clients.c) each reloading / once a second, spread over the second, from before the start" % f["status_page.load.clients"])
    p("to the end, and with -m and no clients, taking turns in each of %s rounds; hits a second from nginx's log, best" % f["status_page.load.rounds"])
    p("of the rounds; peak resident memory of jantor's whole process, start-up included, the most of the rounds.")
    p("")
    p("| way | hits a second | median of round ratios | page loads answered 200 during a cycle | their time, median of the rounds' medians (the most) | peak resident memory |")
    p("|---|---:|---:|---:|---:|---:|")
    p("| jantor -c 8 -m, %s clients reloading / | %s | | %s (other answers: %s) | %s ms (%s ms) | %s MiB |" % (
        f["status_page.load.clients"], f["status_page.load.hits.with"], f["status_page.load.pages"],
        f["status_page.load.other"], f["status_page.load.ms"], f["status_page.load.most"], mib(f["status_page.load.hwm"])))
    p("| jantor -c 8 -m, no clients | %s | | | | %s MiB |" % (
        f["status_page.load.hits.without"], mib(f["status_page.load.hwm.without"])))
    p("| with / without | %s | %s | | | |" % (f["status_page.load.ratio"], f["status_page.load.paired"]))


def status_page_rows(f, targets):
    """The section's rows of the figure table, each made only when asked for."""
    rows = []
    for kind in STATUS_KINDS:
        for page, label, request in STATUS_PAGES:
            def make(kind=kind, page=page, label=label, request=request):
                text = label % f["status_page.%s.one_failing" % kind] if page == "one" else label
                return figure_row(f, targets, "status page, %s, %s entries: %s, `%s`, median of %s requests" % (
                    STATUS_NAMES[kind], f["status_page.n"], text, request(f), f["status_page.requests"]),
                    "status_page.%s.%s" % (kind, page),
                    lambda: "%s ms (%s to %s)" % (f["status_page.%s.%s" % (kind, page)],
                                                  f["status_page.%s.%s.least" % (kind, page)],
                                                  f["status_page.%s.%s.most" % (kind, page)]))
            rows.append(make)
        rows.append(lambda kind=kind: figure_row(
            f, targets, "status page, %s: the first request of the run (connects, counts the table)" % STATUS_NAMES[kind],
            "status_page.%s.first" % kind, lambda: "%s ms" % f["status_page.%s.first" % kind]))
        rows.append(lambda kind=kind: figure_row(
            f, targets, "peak resident memory, jantor -m idle over %s entries on %s, the pages asked for" % (
                f["status_page.n"], STATUS_NAMES[kind]),
            "status_page.%s.hwm" % kind, lambda: "%s MiB" % mib(f["status_page.%s.hwm" % kind])))
    rows += [
        lambda: figure_row(f, targets, "jantor -c 8 -m, SQLite, N = %s, %s clients reloading / every second, against no clients" % (
            f["status_page.load.n"], f["status_page.load.clients"]), "status_page.load.ratio",
            lambda: "%s (%s against %s hits a second; round by round %s)" % (
                f["status_page.load.ratio"], f["status_page.load.hits.with"], f["status_page.load.hits.without"],
                f["status_page.load.paired"])),
        lambda: figure_row(f, targets, "page loads during those cycles", "status_page.load.answered",
                           lambda: "%s answered 200 a cycle, %s otherwise" % (
                               f["status_page.load.pages"], f["status_page.load.other"])),
        lambda: figure_row(f, targets, "peak resident memory of those cycles, with the page loads, start-up included",
                           "status_page.load.hwm", lambda: "%s MiB (without the page loads %s MiB)" % (
                               mib(f["status_page.load.hwm"]), mib(f["status_page.load.hwm.without"]))),
    ]
    return rows


def status_page_report(f, targets):
    """status_page.md, as retries.md."""
    def make(p):
        p("## Status page")
        p("")
        p(run_line(f, "status_page"))
        status_page_table(f, p)
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        for row in status_page_rows(f, targets):
            p(row())
    return section_text(make)


def results_cost_report(f, targets):
    """results_cost.md: with and without result rows, each case."""
    def make(p):
        p("## The cost of result rows (-l)")
        p("")
        p(run_line(f, "results_cost"))
        p("One cycle of %s due entries, %s rounds; hits a second from nginx's log." % (
            f["results_cost.n"], f["results_cost.rounds"]))
        p("")
        p("| database | -c | without, best | with -l, best | without, median | with -l, median | ratio, best | ratio, median of rounds |")
        p("|---|---|---|---|---|---|---|---|")
        for kind, conc in results_cost_cases(f):
            key = "results_cost.%s.c%s" % (kind, conc)
            p("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                kind, conc, f[key + ".plain"], f[key + ".with"], f[key + ".plain.median"],
                f[key + ".with.median"], f[key + ".ratio"], f[key + ".paired"]))
    return section_text(make)


def scale_report(f, targets):
    """scale.md: start-up and one cycle at a million rows on each database,
    then the metrics endpoint under idle clients; the rows that were
    recorded (bench/endpoint_idle.sh alone records only its own)."""
    n = lambda: f["scale.n"]
    mib_of = lambda name: "%s MiB" % mib(f[name])

    def cycle(kind, shared):
        key = "scale.cycle.%s%s" % (kind, ".shared" if shared else "")
        return lambda: figure_row(
            f, targets, "one cycle of %s due entries, -c 64%s, refused port, %s" % (n(), " -s 600" if shared else "", kind),
            key + ".kib", lambda: "%s; %s s, %s µs a hit; %s of %s moved on" % (
                mib_of(key + ".kib"), f[key + ".seconds"], f[key + ".us"], f[key + ".moved"], n()),
            also=(key + ".moved",) + ((key + ".us",) if key + ".us" in targets else ()))

    rows = []
    for kind in SCALE_KINDS:
        rows.append(lambda kind=kind: figure_row(
            f, targets, "start-up against %s rows, none due, %s" % (n(), kind), "scale.startup." + kind,
            lambda: mib_of("scale.startup." + kind)))
        rows.append(cycle(kind, False))
        if kind in SCALE_SHARED:
            rows.append(cycle(kind, True))
    rows.append(lambda: figure_row(
        f, targets, "scrape of jantor -m while %s clients hold connections and say nothing and %s send a byte a second%s" % (
            f["endpoint.idle"], f["endpoint.slow"], ", opening again what it closes" if f["endpoint.reopen"] == "1" else ""),
        "endpoint.held_max",
        lambda: "longest of %s scrapes %s ms (median %s ms, %s failed; with no other client %s ms); descriptors at most %s (before: %s); peak resident memory %d MiB; jantor's processor time %s%% of a core" % (
            f["endpoint.scrapes"], f["endpoint.held_max"], f["endpoint.held_median"], f["endpoint.held_failed"],
            f["endpoint.quiet_max"], f["endpoint.fd_most"], f["endpoint.fd_before"],
            int(f["endpoint.rss_peak"]) // 1024, f["endpoint.cpu"]),
        also=("endpoint.held_failed",)))
    lines = []
    for make in rows:
        try:
            lines.append(make())
        except KeyError:
            pass
    if not lines:
        return None
    out = ["## At scale", ""]
    if "scale.date" in f.raw:
        out += ["Run of %s on %s processors; %s rows." % (f["scale.date"], f["scale.processors"], n()), ""]
    out += ["| figure | target | measured | met |", "|---|---|---|---|"] + lines
    if f.raw.get("scale.endpoint") == "failed":
        out += ["", "The metrics endpoint under idle clients was not measured: bench/endpoint_idle.sh failed."]
    return "\n".join(out) + "\n"


def webcalls_report(f, targets):
    """webcalls.md: entries' own web calls against curl, and their memory."""
    def make(p):
        n = f["webcalls.n"]

        def pair(label, name, a, b):
            return figure_row(f, targets, label, "webcalls." + name, lambda: "%s (%s against %s a second); median of rounds %s" % (
                f["webcalls." + name], f["webcalls.hits." + a], f["webcalls.hits." + b], f["webcalls.%s.paired" % name]))
        p("## Web calls")
        p("")
        p("Run of %s on %s processors; SQLite in WAL mode; %s rounds," % (
            f["webcalls.date"], f["webcalls.processors"], f["webcalls.rounds"]))
        p("each pair's two ways seconds apart, taking turns at going first; load average %s" % f["webcalls.load_start"])
        p("at the start, %s at the end. POSTs carry a %s-byte JSON body with" % (f["webcalls.load_end"], f["webcalls.body"]))
        p("Content-Type and Authorization headers, to nginx's /hook (answers 200) or to the delay server.")
        p("Rates are requests a second from the server's log; the ratios are of the best rates, and the median")
        p("of the rounds' own ratios.")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        p(pair("jantor -c 64 against curl --parallel --parallel-max 64, POST, 50 ms server, N = %s" % n, "post_delay", "dj", "dc"))
        p(pair("jantor -c 1 against one curl, POST, nginx, N = %s" % n, "post_nginx", "nj", "nc"))
        p(pair("jantor -c 1 GET, call columns all NULL against a table without them, nginx, N = %s" % n, "nulls", "gn", "go"))
        p(figure_row(f, targets, "peak resident memory, one cycle of %s POSTs with a 64 KiB body, -c 64, server answering at once" % f["webcalls.big.n"],
                     "webcalls.big", lambda: "%s MiB; %s s from start to exit less the 4 s sleep, the requests over %s s of the server's log; %s of %s moved on" % (
                         mib(f["webcalls.big"]), f["webcalls.big.seconds"], f["webcalls.big.span"], f["webcalls.big.moved"], f["webcalls.big.n"]),
                     also=("webcalls.big.moved",)))
    return section_text(make)


def calendar_report(f, targets):
    """calendar.md: a cycle of calendar entries against interval entries,
    and the cost of one next run."""
    def make(p):
        def reading(label, case):
            return figure_row(f, targets, label, "calendar.ns." + case, lambda: "%s ns a call" % f["calendar.ns." + case])
        p("## Calendar schedules")
        p("")
        p("Run of %s on %s processors, local time %s; SQLite in WAL mode;" % (
            f["calendar.date"], f["calendar.processors"], f["calendar.zone"]))
        p("%s rounds, the two tables' cycles seconds apart, taking turns at going first; load average" % f["calendar.rounds"])
        p("%s at the start, %s at the end. Every entry is due a minute ago and is a GET of" % (
            f["calendar.load_start"], f["calendar.load_end"]))
        p("nginx's /index.html. The calendar table's rows take, in turn: %s." % f["calendar.rows"])
        p("Rates are requests a second from nginx's log; the ratio is of the best rates, and the median of the")
        p("rounds' own ratios. After every cycle each entry was requested once and moved on: an interval entry")
        p("by its interval, a calendar entry to its expression's first time after the cycle's present.")
        p("Next-run costs are from bench/cron_next.cc, the lowest of %s runs of %s calls in all, over" % (
            f["calendar.rounds"], f["calendar.calls"]))
        p("starting times spread across 2026; \"text\" is the local \"YYYY-MM-DD HH:MM:SS\" a hit writes in i_next.")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        p(figure_row(f, targets, "jantor -c 8 GET, every entry on a calendar against every entry on an interval, nginx, N = %s" % f["calendar.n"],
                     "calendar.ratio", lambda: "%s (%s against %s a second); median of rounds %s" % (
                         f["calendar.ratio"], f["calendar.hits.cr"], f["calendar.hits.iv"], f["calendar.paired"])))
        p(reading("next run of an interval entry: stored time + interval, text", "interval"))
        p(reading("the same, the stored time read back with mktime first, as a hit reads it", "interval+mktime"))
        p(reading("next run of a calendar entry: CronNextRun over the six in turn", "cron-mix"))
        p(reading("the same, text", "cron-mix+text"))
        p(reading("the same, CronParse first, text: what a hit does", "cron-mix+parse+text"))
        p(reading("CronNextRun for each of the six alone", "each"))
    return section_text(make)


def grouped_writes_report(f, targets):
    """grouped_writes.md: the reschedules of a group of hits written
    together, this build against a baseline and without -l against -l."""
    def make(p):
        rate = lambda key: "%s (%s)" % (f["gw.%s.median" % key], f["gw.%s.best" % key])
        p("## Grouped writes")
        p("")
        p(run_line(f, "grouped_writes"))
        p("One cycle of %s due GETs of /index.html against nginx on 127.0.0.1:80; PostgreSQL %s (schema/postgres.sql and" % (
            f["grouped_writes.n"], f["grouped_writes.postgres"]))
        p("schema/postgres-results.sql), MariaDB %s (schema/mariadb.sql and schema/mariadb-results.sql), both on loopback, and" % (
            f["grouped_writes.mariadb"]))
        p("SQLite in WAL mode with SyncPragma=NORMAL (schema/sqlite.sql). This build is the working tree at %s; the" % (
            f["grouped_writes.new"]))
        p("baseline is commit %s, built the same way. %s rounds, each running every way once in the reverse order of" % (
            f["grouped_writes.base"], f["grouped_writes.rounds"]))
        p("the round before, so that the two ways of each pair take turns at going first; before every run the table is")
        p("filled again with every entry due and the results table emptied, and after it every entry had been requested")
        p("once, answered 200 and moved on to its next run, and with -l the results table held a row for each hit. Rates")
        p("are hits a second from nginx's log: the median of the rounds, the best in brackets. Ratios are the median of")
        p("the rounds' own ratios, the ratio of the median rates in brackets.")
        p("")
        p("| database | jantor | this build | baseline | this build / baseline |")
        p("|---|---|---:|---:|---:|")
        for kind, way, name, options, base in GW_WAYS:
            key = "%s.%s" % (kind, way)
            if base:
                p("| %s | %s | %s | %s | %s |" % (name, options, rate(key + ".new"), rate(key + ".base"),
                                                 f["gw.%s.vs_base" % key]))
            else:
                p("| %s | %s | %s | not run | |" % (name, options, rate(key + ".new")))
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        for name, a, b, label in GW_RATIOS:
            p(figure_row(f, targets, "%s, N = %s, median of the rounds' own ratios" % (label, f["grouped_writes.n"]),
                         "grouped_writes." + name,
                         lambda name=name, a=a, b=b: "%s (median rates %s against %s, their ratio %s)" % (
                             f["grouped_writes." + name], f["gw.%s.median" % a], f["gw.%s.median" % b],
                             f["grouped_writes.%s.medians" % name])))
    return section_text(make)


def expect_cap_report(f, targets):
    """expect_cap.md: what a rule on the reply costs, and what -H does for
    the other hosts when one is slow."""
    def make(p):
        p("## Expected replies and the cap on one host")
        p("")
        p(run_line(f, "expect_cap"))
        p("SQLite in WAL mode (schema/sqlite.sql), %s rounds, the two ways of each pair taking turns at going first." % (
            f["expect_cap.rounds"]))
        p("Rates are hits a second from nginx's log, the median of the rounds; ratios the median of the rounds' own.")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        p(figure_row(f, targets, "jantor -c 8, N = %s, i_expect '200; body contains from nginx' on every entry against none" % (
            f["expect_cap.n"]), "expect_cap.rule", lambda: "%s (%s against %s hits a second)" % (
                f["expect_cap.rule"], f["expect_cap.ecr.median"], f["expect_cap.ecp.median"])))
        p(figure_row(f, targets, "jantor -c 256 -H 4 over %s entries, every tenth on a host that answers 50 ms late, the rest on nginx as 64 hosts: the most the slow one held at once" % (
            f["expect_cap.mix"]), "expect_cap.held.capped", lambda: "%s (without -H: %s)" % (
                f["expect_cap.held.capped"], f["expect_cap.held.free"])))
        p(figure_row(f, targets, "the same, the other hosts' rate with -H 4 against without", "expect_cap.cap",
                     lambda: "%s (%s against %s hits a second)" % (
                         f["expect_cap.cap"], f["expect_cap.ecc.median"], f["expect_cap.ecf.median"])))
    return section_text(make)


def pauses_report(f, targets):
    """pauses.md: what paused entries cost a cycle, and what the columns of
    missed runs and pauses cost where they are NULL."""
    def make(p):
        p("## Missed runs and pauses")
        p("")
        p(run_line(f, "pauses"))
        p("The shipped schemas, %s rounds, the two ways of each pair taking turns at going first. A cycle is timed from "
          "jantor's alarm calls, the median of the rounds; rates are hits a second from nginx's log." % f["pauses.rounds"])
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        for kind, name in (("sqlite", "SQLite"), ("pg", "PostgreSQL")):
            p(figure_row(f, targets, "%s, %s entries, one in 1000 due: a cycle with %s more due and paused, against one with them not due" % (
                name, f["pauses.n"], f["pauses.paused"]), "pauses.%s.extra" % kind,
                lambda kind=kind: "%s ms more (%s against %s ms)" % (
                    f["pauses.%s.extra" % kind], f["pauses.%s.paused" % kind], f["pauses.%s.plain" % kind])))
        p(figure_row(f, targets, "jantor -c 8, SQLite, N = %s: i_missed and i_paused_until NULL against a table without them" % (
            f["pauses.rate_n"]), "pauses.nulls", lambda: "%s (%s against %s hits a second)" % (
                f["pauses.nulls"], f["pauses.pzn.median"], f["pauses.pzw.median"])))
    return section_text(make)


def credentials_report(f, targets):
    """credentials.md: what a header that names a secret costs against the
    same header with the secret written in."""
    def make(p):
        p("## Secrets named by reference")
        p("")
        p(run_line(f, "credentials"))
        p("SQLite in WAL mode (schema/sqlite.sql), %s rounds, the two ways taking turns at going first." % (
            f["credentials.rounds"]))
        p("Rates are hits a second from nginx's log, the median of the rounds; the ratio the median of the rounds' own.")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        p(figure_row(f, targets, "jantor -c 8, N = %s, every entry's header 'Authorization: Bearer ${cred:token}' (-a) against the token written in" % (
            f["credentials.n"]), "credentials.named", lambda: "%s (%s against %s hits a second)" % (
                f["credentials.named"], f["credentials.crn.median"], f["credentials.crp.median"])))
    return section_text(make)


def oauth2_report(f, targets):
    """oauth2.md: what a token shared by the entries costs against a
    bearer header in the table, and how often it is fetched."""
    def make(p):
        p("## OAuth2 client credentials")
        p("")
        p(run_line(f, "oauth2"))
        p("SQLite in WAL mode (schema/sqlite.sql), nginx on loopback, a token server over TLS (bench/token_server.py); "
          "%s rounds, the two ways taking turns at going first." % f["oauth2.rounds"])
        p("Rates are hits a second from nginx's log, the median of the rounds; the ratio the median of the rounds' own.")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        p(figure_row(f, targets, "jantor -c 8, N = %s, one cycle a daemon: token fetches of a daemon, whose token lives an hour" % (
            f["oauth2.n"]), "oauth2.fetches", lambda: "%s (the least of the runs: %s)" % (
                f["oauth2.fetches"], f["oauth2.fetches.least"]), also=("oauth2.fetches.least",)))
        p(figure_row(f, targets, "the same, the i_auth entries against the same entries with Authorization: Bearer in i_headers",
                     "oauth2.ratio", lambda: "%s (%s against %s hits a second)" % (
                         f["oauth2.ratio"], f["oauth2.oat.median"], f["oauth2.oah.median"])))
        p(figure_row(f, targets, "one daemon, %s cycles 4 s apart over the same entries, tokens of 4 s: token fetches" % (
            f["oauth2.life_cycles"]), "oauth2.life_fetches", lambda: "%s" % f["oauth2.life_fetches"]))
    return section_text(make)


# The history section's pages: figure key, what the table calls the page,
# and the request (a function of the figures and the database).
HISTORY_PAGES = (
    ("top", "the list's first page: 100 entries, each with a year of rollups", lambda f, k: "/"),
    ("failing", "the list's failing entries only", lambda f, k: "/?failing=1"),
    ("deep", "the list's %s page, by key", lambda f, k: "/?after=…"),
    ("minute", "the page of entry 100, hit every minute", lambda f, k: "/entry/100"),
    ("older", "its attempts 101 to 200, by key", lambda f, k: "/entry/100?after=" + f["history.%s.key" % k]),
    ("json", "its JSON", lambda f, k: "/entry/100.json"),
    ("weekly", "the page of entry 200, hit once a week", lambda f, k: "/entry/200"),
)


def history_report(f, targets):
    """history.md: the pages of the history at scale, one hour's rollups,
    and what the rollups and the index of an entry's results cost the hits."""
    ms = lambda kind, page: "%s ms (%s to %s)" % (
        f["history.%s.%s" % (kind, page)], f["history.%s.%s.least" % (kind, page)],
        f["history.%s.%s.most" % (kind, page)])

    def make(p):
        p("## History: hourly rollups and the page of an entry")
        p("")
        p(run_line(f, "history"))
        p("")
        p("A schedule of %s entries, 1%% (%s) failing, beside a results table of %s rows over seven days and a year" % (
            f["history.n"], f["history.entries"], f["history.results"]))
        p("(%s hours) of hourly rollups for the failing entries (%s rows on PostgreSQL, %s on SQLite; %s MiB on" % (
            f["history.hours"], f["history.pg.hourly_rows"], f["history.sqlite.hourly_rows"],
            "%.0f" % (num(f["history.pg.hourly_bytes"]) / 1048576)))
        p("PostgreSQL with their indexes, %s MiB the whole SQLite file), on PostgreSQL %s and SQLite (WAL). Entry 100" % (
            "%.0f" % (num(f["history.sqlite.bytes"]) / 1048576), f["postgres"]))
        p("is hit every minute (10 080 rows, 8760 rollups), entry 200 once a week. jantor -m -l hit_results -i 3600 idles")
        p("after its first cycle; each page asked for %s times by curl, a new connection each, the pages taking turns." % (
            f["history.requests"]))
        p("Median (least to most). \"without -l\": the list's first page under a daemon without -l (no links, no uptime).")
        p("")
        p("| page | request | PostgreSQL | SQLite | reply on PostgreSQL |")
        p("|---|---|---:|---:|---:|")
        for page, label, request in HISTORY_PAGES:
            if page == "deep":
                label = label % (f["history.page"] + "th")
            p("| %s | `%s` | %s | %s | %s bytes |" % (label, request(f, "pg"), ms("pg", page), ms("sqlite", page),
                                                  f["history.pg.%s.bytes" % page]))
        p("| the list's first page, without -l | `/` | %s | %s | |" % (ms("pg", "plain"), ms("sqlite", "plain")))
        p("")
        p("One hour's rollups: %s results rows in the hour before (%s entries, 2%% failed, 1%% retries), filled by jantor" % (
            f["history.fill.rows"], f["history.fill.entries"]))
        p("-l hit_results -v after its first cycle, in one statement; its time as jantor reports it, median (the most) of")
        p("%s runs; /metrics scraped every tenth of a second meanwhile. What the hits pay: one cycle of jantor -c 8 -l" % (
            f["history.fill.rounds"]))
        p("hit_results over N = %s due GETs against nginx, each way in a database of its own, %s rounds taking turns" % (
            f["history.cost.n"], f["history.cost.rounds"]))
        p("at going first; hits a second from nginx's log. SQLite: the results table as shipped (with the index on")
        p("entry_id, started and the rollup table), with the index alone, and as before both, and the last two again at")
        p("-c 1; PostgreSQL: as shipped, and without the rollup table (its index on entry_id, started was there before).")
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        for row in history_rows(f, targets):
            p(row())
    return section_text(make)


def history_rows(f, targets):
    """The section's rows of the figure table, each made only when asked for."""
    rows = []
    for kind in STATUS_KINDS:
        for page, label, request in HISTORY_PAGES:
            def make(kind=kind, page=page, label=label, request=request):
                text = label % (f["history.page"] + "th") if page == "deep" else label
                return figure_row(f, targets, "%s, %s entries: %s, `%s`, median of %s requests" % (
                    STATUS_NAMES[kind], f["history.n"], text, request(f, kind), f["history.requests"]),
                    "history.%s.%s" % (kind, page),
                    lambda: "%s ms (%s to %s)" % (f["history.%s.%s" % (kind, page)],
                                                  f["history.%s.%s.least" % (kind, page)],
                                                  f["history.%s.%s.most" % (kind, page)]))
            rows.append(make)
        rows.append(lambda kind=kind: figure_row(
            f, targets, "%s: one hour's rollups of %s rows, one statement" % (STATUS_NAMES[kind], f["history.fill.rows"]),
            "history.fill." + kind, lambda: "%s s (the most %s s)" % (
                f["history.fill." + kind], f["history.fill.%s.most" % kind])))
        rows.append(lambda kind=kind: figure_row(
            f, targets, "%s: the slowest scrape of /metrics meanwhile" % STATUS_NAMES[kind],
            "history.fill.%s.scrape_ms" % kind, lambda: "%s ms (%s scrapes a run at least)" % (
                f["history.fill.%s.scrape_ms" % kind], f["history.fill.%s.scrapes" % kind])))
    for kind, name, a, b in (("sqlite", "SQLite", "hlh", "hli"), ("pg", "PostgreSQL", "hph", "hpi")):
        rows.append(lambda kind=kind, name=name, a=a, b=b: figure_row(
            f, targets, "jantor -c 8 -l hit_results, %s, N = %s: with the rollup table against without it, median of %s rounds' ratios" % (
                name, f["history.cost.n"], f["history.cost.rounds"]), "history.cost." + kind,
            lambda: "%s (%s against %s hits a second, medians)" % (
                f["history.cost." + kind], f["history.%s.median" % a], f["history.%s.median" % b])))
    rows.append(lambda: figure_row(
        f, targets, "the same on SQLite, the index of an entry's results (entry_id, started) against the table before it",
        "history.index.sqlite", lambda: "%s (%s against %s hits a second, medians)" % (
            f["history.index.sqlite"], f["history.hli.median"], f["history.hlo.median"])))
    rows.append(lambda: figure_row(
        f, targets, "the same at -c 1, every hit a commit of its own",
        "history.index.sqlite.c1", lambda: "%s (%s against %s hits a second, medians)" % (
            f["history.index.sqlite.c1"], f["history.hli1.median"], f["history.hlo1.median"])))
    return rows


# The sections with a file of their own, in the order of a whole run; each
# file is also appended to results.md.
SECTION_FILES = (("results_cost", results_cost_report), ("scale", scale_report), ("webcalls", webcalls_report),
                 ("calendar", calendar_report), ("retries", retries_report), ("status_page", status_page_report),
                 ("grouped_writes", grouped_writes_report), ("expect_cap", expect_cap_report),
                 ("credentials", credentials_report),
                 ("oauth2", oauth2_report), ("pauses", pauses_report), ("history", history_report))


def report(f, targets):
    out = []
    p = out.append

    def block(fn):
        lines = []
        try:
            fn(lines.append)
        except KeyError:
            return
        for line in lines:
            if not (line == "" and out and out[-1] == ""):
                out.append(line)

    def header(p):
        took = int(f["took"])
        p("# jantor benchmark")
        p("")
        p("%s on %s processors (%s); nginx on 127.0.0.1:80, SQLite in WAL mode," % (f["date"], f["processors"], f["kernel"]))
        p("PostgreSQL %s on loopback; best of %s runs each." % (f["postgres"], f["rounds"]))
        p("Hits a second from the first to the last request of one run (nginx's $msec); jantor runs one poll cycle with standard output to a file.")
        p("jantor -c 1 is jantor as without -c: one hit after the other.")
        p("The run took %d min %d s; load average (1 minute) %s when it began, %s at its end." % (took // 60, took % 60, f["load_start"], f["load_end"]))
        if f.raw.get("failed"):
            p("Not measured: %s; a section that fails leaves no figures." % ", ".join(f["failed"].split()))
        p("")

    def speed(p):
        # A row whose way did not run (PostgreSQL is a section of its own)
        # is left out; the table needs jantor -c 1 at least.
        h = lambda way: [f["hits.%s%s" % (way, n)] for n in ("200", "2000", "20000")]
        h("js")
        rows = []

        def add(make):
            try:
                rows.append(make())
            except KeyError:
                pass
        for label, way in (("jantor -c 1, SQLite", "js"), ("jantor -c 8, SQLite", "jc"), ("jantor, PostgreSQL", "jp"),
                           ("plain C loop (connect, send, read to close, close)", "pl"),
                           ("one curl process, HTTP/1.0, a connection per URL", "c1"),
                           ("shell loop, one curl per URL", "cl")):
            suffix = " (the 2000-URL run)" if way == "cl" else ""
            add(lambda label=label, way=way, suffix=suffix: "| %s | %s | %s | %s%s |" % ((label,) + tuple(h(way)) + (suffix,)))
        for label, a, b in (("jantor -c 1 SQLite / plain loop", "js", "pl"), ("jantor -c 1 SQLite / one curl", "js", "c1"),
                            ("jantor -c 1 SQLite / curl per URL", "js", "cl"), ("jantor -c 8 SQLite / plain loop", "jc", "pl")):
            add(lambda label=label, a=a, b=b: "| %s | %s |" % (label, " | ".join(ratio(x, y) for x, y in zip(h(a), h(b)))))
        for label, a, b in (("jantor -c 1 SQLite / one curl, round by round (median)", "js", "c1"),
                            ("jantor -c 8 SQLite / plain loop, round by round (median)", "jc", "pl")):
            add(lambda label=label, a=a, b=b: "| %s | %s |" % (label, " | ".join(f.paired(a, b, n) for n in ("200", "2000", "20000"))))
        p("| way | N = 200 | N = 2000 | N = 20000 |")
        p("|---|---:|---:|---:|")
        for row in rows:
            p(row)

    def placement(p):
        if "placement.cpu" not in f.raw:
            raise KeyError("placement.cpu")
        p("")
        p("N = 2000 again, nginx held to processor 0 and the client to the processor named:")
        p("")
        p("| client on | jantor -c 1 | jantor -c 8 | plain C loop | one curl | -c 1 / plain loop | -c 1 / one curl | -c 8 / plain loop |")
        p("|---|---:|---:|---:|---:|---:|---:|---:|")
        for cpu in ("0", "1"):
            where = "processor 0, with nginx" if cpu == "0" else "processor %s, apart from nginx" % cpu
            js, jc, pl, c1 = (f.hits(w + "cpu" + cpu) for w in ("js", "jc", "pl", "c1"))
            p("| %s | %s | %s | %s | %s | %s | %s | %s |" % (where, js, jc, pl, c1, ratio(js, pl), ratio(js, c1), ratio(jc, pl)))

    def delay(p):
        rows = [("dj1", "jantor -c 1", 1), ("dcs", "one curl process, one URL after the other", 1),
                ("dj8", "jantor -c 8", 8), ("dj64", "jantor -c 64", 64), ("dj256", "jantor -c 256", 256),
                ("dcp64", "one curl process, --parallel --parallel-max 64", 64),
                ("dcp256", "one curl process, --parallel --parallel-max 256", 256),
                ("dx64", "xargs -P 64 -n 1 curl (one curl per URL)", 64)]
        lines = []
        for key, label, flight in rows:
            t, met = target(f, targets, "delay." + key) if "delay." + key in targets else ("", "")
            lines.append("| %s | %s | %s | %d | %s | %s |" % (label, f["delay.n." + key], f["delay." + key], flight * 20, t, met))
        p("")
        p("A server that answers every request 50 ms after it arrived (bench/delay_server.c on 127.0.0.2:80),")
        p("hits a second from the first to the last request of one run (the server's log). The ways that make")
        p("one hit after the other run over N = %s URLs (2000 would take 100 s each), the others over N = %s;" % (f["delay.seq"], f["delay.n"]))
        p("the limit is the hits in flight over 50 ms.")
        p("")
        p("| way | N | hits a second | limit | target | met |")
        p("|---|---:|---:|---:|---|---|")
        for line in lines:
            p(line)

    def tls(p):
        r = f["tls.rounds"]
        plain = "| jantor -c 1 over plain HTTP (the N = 2000 run above) | %s | %s µs | |" % (f["hits.js2000"], f["tls.plain_us"]) \
            if "tls.plain_us" in f.derived else None
        p("")
        p("TLS: nginx on 127.0.0.1 with a certificate from a private CA (tests/support/nginx_tls.sh), N = %s https:// entries" % f["tls.n"])
        p("or URLs, a new connection and a handshake for each; hits a second from the first to the last request of one run")
        p("(that nginx's $msec), best of %s runs; processor time a hit (user and system, every thread: the client's whole" % r)
        p("process with its start-up, and nginx's worker), least of %s runs. Of 19 handshakes after the first, curl" % r)
        p("resumed the session in %s as it is, and in %s with --no-sessionid; jantor resumes every session it can." % (f["tls.resumed"], f["tls.resumed_off"]))
        p("")
        p("| way | hits a second | client processor time a hit | nginx processor time a hit |")
        p("|---|---:|---:|---:|")
        for key, label in (("tjs", "jantor -c 1"), ("tjc", "jantor -c 8"),
                           ("tcs", "one curl process, HTTP/1.0, a connection per URL, resuming sessions (as it is)"),
                           ("tcn", "one curl process, HTTP/1.0, a connection per URL, --no-sessionid")):
            p("| %s | %s | %s µs | %s µs |" % (label, f["hits." + key], f["tls.us." + key], f["tls.srv_us." + key]))
        if plain:
            p(plain)
        p("| jantor -c 1 / one curl | %s | | |" % f["tls.js_cs"])
        p("| jantor -c 1 / one curl --no-sessionid | %s | | |" % f["tls.js_cn"])
        p("| jantor -c 8 / one curl | %s | | |" % ratio(f["hits.tjc"], f["hits.tcs"]))

    def metrics(p):
        idle = "idle.jantor.cpu" in f.raw
        p("")
        p("The metrics endpoint (-m): one cycle of jantor -c 8 over N = %s entries on SQLite against nginx, with -m and" % f["metrics.n"])
        p("bench/scrape.c asking for /metrics every 100 ms, and without -m, taking turns in each of %s rounds;" % f["metrics.rounds"])
        p("%s scrapes a run were answered while its hits went on (replies up to %s bytes)." % (f["metrics.scrapes"], f["metrics.bytes"]))
        if idle:
            p("At rest: nothing due, scraped once a second; processor time of the whole process over %s s." % f["idle.seconds"])
        p("")
        p("| way | hits a second | processor time at rest, scraped once a second | threads | bytes a scrape |")
        p("|---|---:|---:|---:|---:|")
        if idle:
            p("| jantor -c 8 -m | %s | %s%% of a core | %s | %s |" % (f["hits.mm"], f["idle.jantor.cpu"], f["idle.jantor.threads"], f["idle.jantor.bytes"]))
        else:
            p("| jantor -c 8 -m | %s | | | |" % f["hits.mm"])
        p("| jantor -c 8 | %s | | | |" % f["hits.mn"])
        if idle:
            p("| prometheus-node-exporter %s (Debian, its own collectors) | | %s%% of a core | %s | %s |" % (
                f["idle.exporter.version"], f["idle.exporter.cpu"], f["idle.exporter.threads"], f["idle.exporter.bytes"]))
        p("| -m / without | %s (round by round %s) | | | |" % (f["metrics.ratio"], f["metrics.paired"]))

    def share(p):
        r = f["share.rounds"]
        p("")
        p("A shared table: N = %s due entries on PostgreSQL, host 127.0.0.2 (the delay server, 50 ms an answer); hits a" % f["share.n"])
        p("second from the first to the last request of one run, best of %s; statements (pg_stat_statements: all, and" % r)
        p("jantor's own, without the SAVEPOINT and RELEASE that psqlODBC puts around each statement of a transaction) and")
        p("commits (pg_stat_database.xact_commit) a hit, median of %s runs; processor time a hit, least of %s runs, of" % (r, r))
        p("the database's backends that served the daemons' connections and of the daemons (every thread), start-up included.")
        p("")
        p("| way | hits a second | limit | every entry requested exactly once | statements a hit (jantor's own) | commits a hit | database processor time a hit | jantor processor time a hit |")
        p("|---|---:|---:|---|---:|---:|---:|---:|")
        for key, label, limit in (("shu64", "one jantor -c 64", 1280), ("shs64", "one jantor -c 64 -s 60", 1280),
                                  ("sht64", "three jantor -c 64 -s 60", 3840), ("shu192", "one jantor -c 192", 3840)):
            p("| %s | %s | %d | %s | %s (%s) | %s | %s µs | %s µs |" % (
                label, f["hits." + key], limit, f["share.once." + key], f["share.stmt." + key], f["share.own." + key],
                f["share.commit." + key], f["share.db_us." + key], f["share.jantor_us." + key]))

    def figure_rows():
        def row(label, name, measured):
            return figure_row(f, targets, label, name, measured)

        rows = [
            # The speed targets hold for the table they were set for, the
            # eleven columns whose hits write i_next alone; the shipped
            # table, whose hits also write the latest attempt and the kept
            # state, is measured beside it in the same rounds.
            lambda: row("jantor -c 1, SQLite, N = 2000, the eleven-column table (no optional column), against the plain loop",
                        "speed.jb_pl", lambda: f["speed.jb_pl"]),
            lambda: row("jantor -c 1, SQLite, N = 2000, the eleven-column table, against one curl",
                        "speed.jb_c1", lambda: "%s (round by round %s)" % (f["speed.jb_c1"], f.paired("jb", "c1", "2000"))),
            lambda: row("jantor -c 1, SQLite, N = 2000, the eleven-column table, against curl per URL",
                        "speed.jb_cl", lambda: f["speed.jb_cl"]),
            lambda: row("jantor -c 8, SQLite, N = 2000, the eleven-column table, against the plain loop", "speed.jd_pl",
                        lambda: "%s (%s against %s hits a second; round by round %s)" % (
                            f["speed.jd_pl"], f["hits.jd2000"], f["hits.pl2000"], f.paired("jd", "pl", "2000"))),
            lambda: row("the shipped table against the eleven-column one, N = 2000, jantor -c 1, round by round",
                        "speed.js_jb", lambda: f["speed.js_jb"]),
            lambda: row("the shipped table against the eleven-column one, N = 2000, jantor -c 8, round by round",
                        "speed.jc_jd", lambda: f["speed.jc_jd"]),
            lambda: row("jantor -c 1, SQLite, N = 2000, the shipped table, against the plain loop", "speed.js_pl",
                        lambda: f["speed.js_pl"]),
            lambda: row("jantor -c 1, SQLite, N = 2000, the shipped table, against one curl", "speed.js_c1",
                        lambda: "%s (round by round %s)" % (f["speed.js_c1"], f.paired("js", "c1", "2000"))),
            lambda: row("jantor -c 1, SQLite, N = 2000, the shipped table, against curl per URL", "speed.js_cl",
                        lambda: f["speed.js_cl"]),
            lambda: row("jantor -c 8, SQLite, N = 2000, the shipped table, against the plain loop", "speed.jc_pl",
                        lambda: "%s (%s against %s hits a second; round by round %s)" % (
                            f["speed.jc_pl"], f["hits.jc2000"], f["hits.pl2000"], f.paired("jc", "pl", "2000"))),
            lambda: row("jantor -c 64, 50 ms server, N = %s" % f["delay.n"], "delay.dj64", lambda: f["delay.dj64"]),
            lambda: row("jantor -c 256, 50 ms server, N = %s" % f["delay.n"], "delay.dj256", lambda: f["delay.dj256"]),
            lambda: row("processor time while one hit waits 3 s", "slow.jantor",
                        lambda: "jantor %s%%, curl %s%%" % (f["slow.jantor"], f["slow.curl"])),
            lambda: row("processor time while 256 hits wait %s s on a silent server, jantor -c 256" % f["silent.seconds"], "silent.jantor",
                        lambda: "jantor %s%%, curl --parallel-max 256 %s%%" % (f["silent.jantor"], f["silent.curl"])),
            lambda: row("peak resident memory, N = 20000 cycle", "memory.cycle20000",
                        lambda: "%s MiB, of which the driver's result set %s MiB; whole process with start-up %s MiB (N = 200: %s MiB)" % (
                            mib(f["memory.cycle20000"]), mib(f["speed.resultset"]), mib(f["speed.hwm20000"]), mib(f["speed.hwm200"]))),
            lambda: row("peak resident memory, N = 20000 cycle, jantor -c 256", "memory.cycle20000c256",
                        lambda: "%s MiB" % mib(f["memory.cycle20000c256"])),
            lambda: row("peak resident memory, one 4 MiB reply", "memory.big", lambda: "%s MiB" % mib(f["memory.big"])),
            lambda: row("jantor -c 1, TLS, N = %s, against one curl (resuming sessions)" % f["tls.n"], "tls.js_cs",
                        lambda: "%s (%s against %s hits a second; against curl --no-sessionid %s)" % (
                            f["tls.js_cs"], f["hits.tjs"], f["hits.tcs"], f["tls.js_cn"])),
            lambda: row("peak resident memory, N = 20000 cycle over TLS", "tls.cycle20000", lambda: "%s MiB" % mib(f["tls.cycle20000"])),
            lambda: row("peak resident memory, N = 20000 cycle over TLS, jantor -c 256", "tls.cycle20000c256",
                        lambda: "%s MiB" % mib(f["tls.cycle20000c256"])),
            lambda: row("cycle, 100 000 rows with 1000 due, against 1000 rows all due", "table.ratio",
                        lambda: "%s (%s ms against %s ms)" % (f["table.ratio"], f["table.big"], f["table.small"])),
            lambda: row("start-up against 1 000 000 rows, none due", "startup.hwm",
                        lambda: "%s MiB; first cycle over %s ms after the start" % (mib(f["startup.hwm"]), f["startup.ms"])),
            lambda: row("jantor -c 8 -m, scraped every 100 ms, SQLite, N = %s, against without -m" % f["metrics.n"], "metrics.ratio",
                        lambda: "%s (%s against %s hits a second; round by round %s)" % (
                            f["metrics.ratio"], f["hits.mm"], f["hits.mn"], f["metrics.paired"])),
            lambda: row("processor time of jantor -m at rest, scraped once a second for %s s" % f["idle.seconds"], "idle.jantor",
                        lambda: "jantor %s%%, prometheus-node-exporter %s%%" % (f["idle.jantor.cpu"], f["idle.exporter.cpu"])),
            lambda: row("three jantor -s 60 -c 64, 50 ms server, N = %s, against one -c 64" % f["share.n"], "share.three_one",
                        lambda: "%s (%s against %s hits a second; round by round %s)" % (
                            f["share.three_one"], f["hits.sht64"], f["hits.shu64"], f.paired("sht64", "shu64"))),
            lambda: row("three jantor -s 60 -c 64, 50 ms server, N = %s, against one -c 192" % f["share.n"], "share.three_big",
                        lambda: "%s (against %s hits a second; round by round %s)" % (
                            f["share.three_big"], f["hits.shu192"], f.paired("sht64", "shu192"))),
            lambda: row("every entry requested exactly once, each shared-table run", "share.once",
                        lambda: "three -s: %s; one -s: %s" % (f["share.once.sht64"], f["share.once.shs64"])),
            lambda: row("statements a hit, -c 64 with -s 60 against without", "share.statements",
                        lambda: "%s against %s; jantor's own, without psqlODBC's savepoints, %s against %s (three daemons: %s, own %s)" % (
                            f["share.stmt.shs64"], f["share.stmt.shu64"], f["share.own.shs64"], f["share.own.shu64"],
                            f["share.stmt.sht64"], f["share.own.sht64"])),
            lambda: row("commits a hit, -c 64 with -s 60 against without", "share.commits",
                        lambda: "%s against %s (three daemons: %s)" % (
                            f["share.commit.shs64"], f["share.commit.shu64"], f["share.commit.sht64"])),
            lambda: row("database processor time a hit, -c 64 with -s 60 against without", "share.cpu",
                        lambda: "%s µs against %s µs (three daemons: %s µs); jantor's own %s µs against %s µs (three: %s µs)" % (
                            f["share.db_us.shs64"], f["share.db_us.shu64"], f["share.db_us.sht64"],
                            f["share.jantor_us.shs64"], f["share.jantor_us.shu64"], f["share.jantor_us.sht64"])),
        ]
        lines = []
        for make in rows:
            try:
                lines.append(make())
            except KeyError:
                pass
        return lines

    block(header)
    for fn in (speed, placement, delay, tls, metrics, share):
        block(fn)
    rows = figure_rows()
    if rows:
        p("")
        p("| figure | target | measured | met |")
        p("|---|---|---|---|")
        out.extend(rows)
    # A section's table is followed by an empty line; the report opens with
    # the header's, so only the tables after the first need one before.
    while out and out[0] == "":
        out.pop(0)
    while out and out[-1] == "":
        out.pop()
    return "\n".join(out) + "\n"


def chart(f, folder):
    def line(label, keys):
        return '"%s" %s' % (label, " ".join(f[k] for k in keys))
    hits = ["# way N=200 N=2000 N=20000"] + [
        line(label, ["hits.%s%s" % (way, n) for n in ("200", "2000", "20000")])
        for label, way in (("jantor -c 1 SQLite", "js"), ("jantor -c 8 SQLite", "jc"), ("jantor PostgreSQL", "jp"),
                           ("plain C loop", "pl"), ("one curl", "c1"), ("curl per URL", "cl"))]
    delay = ["# way hits-a-second limit"] + [
        '"%s" %s %d' % (label, f["delay." + key], limit)
        for label, key, limit in (("jantor -c 1", "dj1", 20), ("curl, sequential", "dcs", 20), ("jantor -c 8", "dj8", 160),
                                  ("jantor -c 64", "dj64", 1280), ("curl --parallel-max 64", "dcp64", 1280),
                                  ("xargs -P 64 curl", "dx64", 1280), ("jantor -c 256", "dj256", 5120),
                                  ("curl --parallel-max 256", "dcp256", 5120))]
    for name, lines in (("hits.dat", hits), ("delay.dat", delay)):
        with open(os.path.join(folder, name), "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
    script = """set terminal pngcairo size 900,1100 noenhanced
set output "{d}/chart.png"
set multiplot layout 2,1
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set grid ytics
set key below
set xtics rotate by -20
set lmargin 10
set rmargin 12
set title "nginx on loopback: hits a second, one connection per request (higher is better)"
set yrange [10:*]
plot "{d}/hits.dat" using 2:xtic(1) title "N = 200", '' using 3 title "N = 2000", '' using 4 title "N = 20000"
set title "Server answering each request 50 ms late: hits a second, N = {n} ({seq} for the first two)"
set yrange [10:10000]
plot "{d}/delay.dat" using 2:xtic(1) title "measured", \\
     '' using 3 title "limit: hits in flight / 50 ms" fillstyle pattern 4
unset multiplot
""".format(d=folder, n=f["delay.n"], seq=f["delay.seq"])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, help="folder for results.md and the sections' own files")
    parser.add_argument("--full", action="store_true", help="also the chart")
    parser.add_argument("records", nargs="+")
    args = parser.parse_args()
    f = Figures(load(args.records))
    derive(f)
    targets = load_targets()
    text = report(f, targets)
    if args.full:
        try:
            chart(f, args.out)
        except KeyError as missing:
            print("report: no chart, %s was not recorded" % missing, file=sys.stderr)
            for name in ("chart.png", "hits.dat", "delay.dat"):
                if os.path.exists(os.path.join(args.out, name)):
                    os.remove(os.path.join(args.out, name))
    # A section's own file is made from the figures as results.md is, and
    # appended to it; a section without figures (not run, or failed) has
    # none, since one left from an earlier run would read as this run's.
    for name, make in SECTION_FILES:
        path = os.path.join(args.out, name + ".md")
        part = make(f, targets)
        if part is None:
            if os.path.exists(path):
                os.remove(path)
            continue
        with open(path, "w", encoding="utf-8") as out:
            out.write(part)
        text = text + "\n" + part if text.strip() else part
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
