// The command line, seen from outside: exact standard output bytes and
// exit status of the built program.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::RunJantor;

const std::string kBanner = "jantor 1.0.0 - scheduled web requests from a database table\r\n";
const std::string kLongUsage =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename) "
    "-r (runtime seconds)\r\n";
const std::string kShortUsage =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename)\r\n";
const std::string kNoDsn = "\r\n" + kShortUsage + "\r\nYou must supply a dsn.\r\n";
const std::string kShortInterval =
    "\r\n" + kShortUsage + "\r\nYou must supply an interval larger than 3seconds.\r\n";

// Every run reads a private, empty ODBC configuration, so a data source
// name that reaches the connect fails there and never reaches a real one.
testsupport::RunResult Jantor(const std::vector<std::string>& args) {
  return RunJantor(args, testsupport::OdbcEnv(), 30000);
}

TEST(CommandLine, NoArgumentsAsksForADsn) {
  auto r = Jantor({});
  EXPECT_EQ(r.out, kBanner + kNoDsn);
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, IntervalOfThreeIsRefusedAfterTheEchoLines) {
  auto r = Jantor({"-d", "shop", "-i", "3"});
  EXPECT_EQ(r.out, kBanner + "Using shop DSN.\r\nUsing 3s interval.\r\n" + kShortInterval);
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, IntervalsWithoutPositiveDigitsAreRefused) {
  for (const char* interval : {"-10", "ten", "0", "", " 3"}) {
    auto r = Jantor({"-d", "shop", "-i", interval});
    EXPECT_EQ(r.out,
              kBanner + "Using shop DSN.\r\nUsing " + interval + "s interval.\r\n" + kShortInterval)
        << interval;
    EXPECT_EQ(r.status, 1);
  }
}

TEST(CommandLine, IntervalOfFourIsAcceptedAndTheConnectIsTried) {
  auto r = Jantor({"-d", "shop", "-i", "4"});
  EXPECT_EQ(r.out.rfind(kBanner + "Using shop DSN.\r\nUsing 4s interval.\r\n"
                                  "Could not connect first (selection) ODBC connection.\r\n[",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, MissingDsnIsReportedBeforeABadInterval) {
  auto r = Jantor({"-i", "2"});
  EXPECT_EQ(r.out, kBanner + "Using 2s interval.\r\n" + kNoDsn);
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, UnknownOptionPrintsLongUsageAndEndsWithZero) {
  auto r = Jantor({"-d", "shop", "-x", "-v"});
  EXPECT_EQ(r.out, kBanner + "Using shop DSN.\r\n\r\n" + kLongUsage);
  EXPECT_EQ(r.status, 0);
}

TEST(CommandLine, ArgumentsWithoutASecondCharacterAreUnknown) {
  for (const char* arg : {"-", "", "d"}) {
    auto r = Jantor({arg, "shop"});
    EXPECT_EQ(r.out, kBanner + "\r\n" + kLongUsage) << "[" << arg << "]";
    EXPECT_EQ(r.status, 0);
  }
}

TEST(CommandLine, UpperCaseAndAnyFirstCharacterSelectTheSameOptions) {
  auto r = Jantor({"-D", "shop", "-V", "-T", "jobs", "/i", "2", "xdsn", "store"});
  EXPECT_EQ(r.out, kBanner +
                       "Using shop DSN.\r\nUsing verbose.\r\nUsing jobs table.\r\n"
                       "Using 2s interval.\r\nUsing store DSN.\r\n" +
                       kShortInterval);
  EXPECT_EQ(r.status, 1);
}

// -w takes no value, in either letter case, and the next argument is read
// as an option of its own.
TEST(CommandLine, EntryTimeLimitsAreAnOptionWithoutAValue) {
  for (const char* w : {"-w", "-W"}) {
    auto r = Jantor({"-d", "shop", w, "-i", "2"});
    EXPECT_EQ(r.out, kBanner +
                         "Using shop DSN.\r\nUsing each entry's i_timeout as its time limit.\r\n"
                         "Using 2s interval.\r\n" +
                         kShortInterval)
        << w;
    EXPECT_EQ(r.status, 1);
  }
}

TEST(CommandLine, TheArgumentAfterAValueOptionIsAlwaysItsValue) {
  // -u takes "-v" as the user name, so verbose stays off.
  auto r = Jantor({"-u", "-v", "-p", "-d", "-r", "-5"});
  EXPECT_EQ(
      r.out,
      kBanner + "Using -v username.\r\nUsing -d password.\r\nUsing -5(s) runtime.\r\n" + kNoDsn);
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, RepeatedOptionsEchoEachTimeAndTheLastWins) {
  auto r = Jantor({"-i", "2", "-i", "1", "-v", "-v"});
  EXPECT_EQ(r.out, kBanner +
                       "Using 2s interval.\r\nUsing 1s interval.\r\nUsing verbose.\r\n"
                       "Using verbose.\r\n" +
                       kNoDsn);
  r = Jantor({"-d", "first", "-d", "", "-i", "9"});
  EXPECT_EQ(r.out, kBanner + "Using first DSN.\r\nUsing  DSN.\r\nUsing 9s interval.\r\n" + kNoDsn);
}

TEST(CommandLine, ValueOptionAtTheEndIsRefusedLikeAnUnknownOption) {
  auto r = Jantor({"-d", "shop", "-i"});
  EXPECT_EQ(r.out, kBanner + "Using shop DSN.\r\n\r\n" + kLongUsage);
  EXPECT_EQ(r.status, 0);
}

TEST(CommandLine, OverLongValuesAreCutToTheirField) {
  std::string long_value(300, 'a');
  auto r = Jantor({"-t", long_value, "-u", long_value, "-i", std::string(100, '7')});
  EXPECT_EQ(r.out, kBanner + "Using " + std::string(63, 'a') + " table.\r\nUsing " +
                       std::string(31, 'a') + " username.\r\nUsing " + std::string(35, '7') +
                       "s interval.\r\n" + kNoDsn);
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, PercentSignsInValuesArePrintedAsTheyAre) {
  auto r = Jantor({"-t", "%s%n%x", "-p", "%%"});
  EXPECT_EQ(r.out, kBanner + "Using %s%n%x table.\r\nUsing %% password.\r\n" + kNoDsn);
}

// -c, -k, -g and -s take whole numbers within their ranges; anything else is
// refused after the echo lines, like a bad interval, and the ends of the
// range go on to the connect.
TEST(CommandLine, WholeNumberOptionsOutsideTheirRangeAreRefused) {
  struct Option {
    const char* letter;
    const char* echo;  // around the value
    const char* echo_end;
    const char* refusal;
    std::vector<const char*> bad, good;
  };
  const Option options[] = {
      {"-c",
       "Using ",
       " concurrent hits.\r\n",
       "\r\nYou must supply between 1 and 1024 concurrent hits.\r\n",
       {"0", "1025", "-4", "+4", " 4", "4 ", "4x", "", "99999999999999999999"},
       {"1", "1024", "0008"}},
      {"-k",
       "Keeping ",
       " hours of results.\r\n",
       "\r\nYou must supply the hours of results to keep, 0 to keep them all.\r\n",
       {"876001", "-1", "+4", " 4", "4 ", "1.5", "", "99999999999999999999"},
       {"0", "876000", "0168"}},
      {"-g",
       "Keeping ",
       " days of hourly rollups.\r\n",
       "\r\nYou must supply the days of hourly rollups to keep, 0 to keep them all.\r\n",
       {"36501", "-1", "+4", " 4", "4 ", "1.5", "", "99999999999999999999"},
       {"0", "36500", "0400"}},
      {"-s",
       "Sharing the table, claims held ",
       "s.\r\n",
       "\r\nYou must supply between 10 and 86400 seconds for a claim.\r\n",
       {"9", "86401", "0", "-10", "+10", " 10", "10 ", "1e2", ""},
       {"10", "86400", "0030"}},
  };
  for (const Option& o : options) {
    const std::string refused = "\r\n" + kShortUsage + o.refusal;
    for (const char* value : o.bad) {
      auto r = Jantor({"-d", "shop", o.letter, value});
      EXPECT_EQ(r.out, kBanner + "Using shop DSN.\r\n" + o.echo + value + o.echo_end + refused)
          << o.letter << " [" << value << "]";
      EXPECT_EQ(r.status, 1);
    }
    std::string upper = {o.letter[0], static_cast<char>(toupper(o.letter[1]))};
    auto r = Jantor({upper, o.bad[0], "-i", "2"});
    EXPECT_EQ(r.out, kBanner + o.echo + o.bad[0] + o.echo_end + "Using 2s interval.\r\n" + kNoDsn);
    r = Jantor({o.letter, o.bad[0], "-d", "shop", "-i", "2"});
    EXPECT_EQ(r.out, kBanner + o.echo + o.bad[0] + o.echo_end +
                         "Using shop DSN.\r\nUsing 2s interval.\r\n" + kShortInterval);
    for (const char* value : o.good) {
      r = Jantor({"-d", "nosuchdsn", upper, value});
      EXPECT_EQ(r.out.rfind(kBanner + "Using nosuchdsn DSN.\r\n" + o.echo + value + o.echo_end +
                                "Could not connect first (selection) ODBC connection.\r\n",
                            0),
                0u)
          << r.out;
      EXPECT_EQ(r.status, 1);
    }
  }
}

TEST(CommandLine, HugeIntervalIsAcceptedWithoutOverflow) {
  auto r = Jantor({"-d", "nosuchdsn", "-i", "99999999999999999999"});
  EXPECT_NE(r.out.find("Could not connect first (selection) ODBC connection.\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 1);
}

}  // namespace
