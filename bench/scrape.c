/* A scraper, as Prometheus is one: every INTERVAL_MS it connects to
 * ADDRESS:PORT, asks for GET /metrics over HTTP/1.0 and reads the reply to
 * the server's close. The scrapes are set on a fixed beat from the start
 * (a slow reply delays the next one, which then goes at once), so that a
 * run of a given length gets the same number of them whatever the target.
 *
 * Usage: scrape ADDRESS PORT INTERVAL_MS COUNT SECONDS LOG [LAST]
 * Stops by itself after COUNT scrapes or after SECONDS, whichever comes
 * first, or when killed. LOG gets one line a scrape, written as soon as it
 * ends: the wall clock in seconds (with microseconds) at its start and at
 * its end, like nginx's $msec, then "ok" and the reply's bytes and status
 * code, or "failed" and the reason (a connection refused before the target
 * listens is one). LAST, when given, gets the last whole reply. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kReplyBytes = 1 << 20 };

static char reply[kReplyBytes];

static double wall(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static long long mono_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* One scrape; the reply's length, or -1 with the reason in why. */
static long scrape(const struct sockaddr_in *target, const char *request, const char **why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = strerror(errno);
    return -1;
  }
  /* A target that hangs must not stop the beat for long. */
  struct timeval limit = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  long have = -1;
  if (connect(fd, (const struct sockaddr *)target, sizeof *target) != 0) {
    *why = strerror(errno);
  } else if (send(fd, request, strlen(request), MSG_NOSIGNAL) != (ssize_t)strlen(request)) {
    *why = "send";
  } else {
    have = 0;
    for (;;) {
      ssize_t got = recv(fd, reply + have, (size_t)(kReplyBytes - 1 - have), 0);
      if (got == 0) break;
      if (got < 0) {
        *why = errno == EAGAIN ? "timeout" : strerror(errno);
        have = -1;
        break;
      }
      have += got;
      if (have == kReplyBytes - 1) {
        *why = "reply too large";
        have = -1;
        break;
      }
    }
  }
  close(fd);
  if (have >= 0) reply[have] = '\0';
  return have;
}

int main(int argc, char **argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: scrape ADDRESS PORT INTERVAL_MS COUNT SECONDS LOG [LAST]\n");
    return 2;
  }
  struct sockaddr_in target;
  memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1) {
    fprintf(stderr, "scrape: bad address %s\n", argv[1]);
    return 2;
  }
  long long interval_ns = atoll(argv[3]) * 1000000LL;
  long count = atol(argv[4]);
  long long stop_ns = mono_ns() + atoll(argv[5]) * 1000000000LL;
  FILE *log = fopen(argv[6], "a");
  if (log == NULL || interval_ns <= 0 || count <= 0) {
    fprintf(stderr, "scrape: cannot log to %s, or a bad interval or count\n", argv[6]);
    return 2;
  }
  setvbuf(log, NULL, _IOLBF, 0);
  char request[256];
  snprintf(request, sizeof request, "GET /metrics HTTP/1.0\r\nHost: %s:%s\r\n\r\n", argv[1],
           argv[2]);

  long long beat_ns = mono_ns();
  for (long n = 0; n < count && mono_ns() < stop_ns; ++n) {
    double start = wall();
    const char *why = "";
    long got = scrape(&target, request, &why);
    double end = wall();
    if (got >= 0) {
      int status = 0;
      sscanf(reply, "HTTP/%*s %d", &status);
      fprintf(log, "%.6f %.6f ok %ld %d\n", start, end, got, status);
      if (argc > 7) {
        FILE *last = fopen(argv[7], "w");
        if (last != NULL) {
          fwrite(reply, 1, (size_t)got, last);
          fclose(last);
        }
      }
    } else {
      fprintf(log, "%.6f %.6f failed %s\n", start, end, why);
    }
    beat_ns += interval_ns;
    long long now = mono_ns();
    if (beat_ns > now && n + 1 < count) {
      struct timespec at = {(time_t)(beat_ns / 1000000000LL), (long)(beat_ns % 1000000000LL)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
      }
    }
  }
  fclose(log);
  return 0;
}
