// The program jantor: reads its command line, opens the schedule and runs
// the poll cycles until the run time has passed or a statement fails.
#include <cstdlib>

#include "base/ll_cpapi.h"
#include "engine/command_line.h"
#include "engine/db/schedule.h"
#include "engine/flow/credentials.h"
#include "engine/flow/cycle.h"
#include "engine/version.h"
#include "engine/watch/metrics_endpoint.h"
#include "engine/watch/service.h"
#include "engine/watch/status_page.h"

int main(int argc, char** argv) {
  PrintText("jantor " JANTOR_VERSION " - scheduled web requests from a database table\r\n");
  static RunSettings settings;
  int outcome = ReadCommandLine(argc, argv, &settings);
  if (outcome != kStartRun) return outcome;
  InstallStopHandlers();
  // With TZ unset, glibc looks at /etc/localtime again (a stat) in every
  // mktime, two for each hit's reschedule. Naming the same file in TZ reads
  // it once; only a change of the system's zone while jantor runs then
  // waits for a restart, as it already did for the cycle's own clock. Set
  // before any thread starts: the environment is no place for a race.
  setenv("TZ", ":/etc/localtime", 0);
  OpenCredentials(settings.credentials);
  // Before the database: a port that cannot be had is a refusal, and the
  // endpoint answers while the start-up checks run.
  if (OptionGiven(&settings, 'm') && !StartMetricsEndpoint(&settings)) return 1;
  static Schedule schedule;
  int status = OpenSchedule(&settings, &schedule);
  if (status == 0) {
    ServiceReady();
    status = RunCycles(&settings, &schedule);
  }
  StopStatusPages();
  return status;
}
