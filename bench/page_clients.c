/* People looking at a status page: CLIENTS clients, each of which asks for
 * PATH on ADDRESS:PORT every INTERVAL_MS, as a browser does that reloads
 * the page, over a new connection each time (GET over HTTP/1.0, read to the
 * server's close). The clients are spread evenly over the interval, so
 * that ten of them reloading once a second make a request every tenth of a
 * second rather than ten at once. Each keeps its own beat from the start: a
 * slow reply delays that client's next request, which then goes at once.
 *
 * Usage: page_clients ADDRESS PORT PATH CLIENTS INTERVAL_MS SECONDS LOG
 * Stops after SECONDS, or when killed. LOG gets one line a request, written
 * as soon as it ends: the wall clock in seconds (with microseconds) at its
 * start and at its end, like nginx's $msec, then "ok" and the reply's bytes
 * and status code, or "failed" and the reason (a connection refused before
 * the server listens is one), and last the client's number. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kReplyBytes = 1 << 20, kClientsMost = 256 };

static struct sockaddr_in target;
static char request[512];
static long long interval_ns, stop_ns;
static int clients;
static FILE *log_file;
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

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

static void sleep_until(long long at_ns) {
  struct timespec at = {(time_t)(at_ns / 1000000000LL), (long)(at_ns % 1000000000LL)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
  }
}

/* One request; the reply's length, or -1 with the reason in why. */
static long fetch(char *reply, const char **why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = strerror(errno);
    return -1;
  }
  /* A server that hangs must not stop a client's beat for long. */
  struct timeval limit = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  long have = -1;
  if (connect(fd, (const struct sockaddr *)&target, sizeof target) != 0) {
    *why = strerror(errno);
  } else if (send(fd, request, strlen(request), MSG_NOSIGNAL) != (ssize_t)strlen(request)) {
    *why = "send";
  } else {
    have = 0;
    for (;;) {
      ssize_t got = recv(fd, reply + have, (size_t)(kReplyBytes - 1 - have), 0);
      if (got == 0) break;
      if (got < 0) {
        *why = errno == EAGAIN ? "timeout" : "recv";
        have = -1;
        break;
      }
      have += got;
      if (have == kReplyBytes - 1) {
        *why = "reply-too-large";
        have = -1;
        break;
      }
    }
  }
  close(fd);
  if (have >= 0) reply[have] = '\0';
  return have;
}

static void *client(void *arg) {
  int number = (int)(long)arg;
  char *reply = malloc(kReplyBytes);
  if (reply == NULL) return NULL;
  long long beat_ns = mono_ns() + interval_ns * number / clients;
  sleep_until(beat_ns);
  while (mono_ns() < stop_ns) {
    double start = wall();
    const char *why = "";
    long got = fetch(reply, &why);
    double end = wall();
    pthread_mutex_lock(&log_lock);
    if (got >= 0) {
      int status = 0;
      sscanf(reply, "HTTP/%*s %d", &status);
      fprintf(log_file, "%.6f %.6f ok %ld %d %d\n", start, end, got, status, number);
    } else {
      fprintf(log_file, "%.6f %.6f failed %s %d\n", start, end, why, number);
    }
    fflush(log_file);
    pthread_mutex_unlock(&log_lock);
    beat_ns += interval_ns;
    if (beat_ns > mono_ns()) sleep_until(beat_ns);
  }
  free(reply);
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: page_clients ADDRESS PORT PATH CLIENTS INTERVAL_MS SECONDS LOG\n");
    return 2;
  }
  memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1) {
    fprintf(stderr, "page_clients: bad address %s\n", argv[1]);
    return 2;
  }
  snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: %s:%s\r\n\r\n", argv[3], argv[1],
           argv[2]);
  clients = atoi(argv[4]);
  interval_ns = atoll(argv[5]) * 1000000LL;
  stop_ns = mono_ns() + atoll(argv[6]) * 1000000000LL;
  log_file = fopen(argv[7], "a");
  if (log_file == NULL || clients <= 0 || clients > kClientsMost || interval_ns <= 0) {
    fprintf(stderr, "page_clients: cannot log to %s, or a bad count of clients or interval\n",
            argv[7]);
    return 2;
  }
  pthread_t threads[kClientsMost];
  for (int i = 0; i < clients; ++i) {
    if (pthread_create(&threads[i], NULL, client, (void *)(long)i) != 0) {
      fprintf(stderr, "page_clients: no thread for client %d\n", i);
      return 1;
    }
  }
  for (int i = 0; i < clients; ++i) pthread_join(threads[i], NULL);
  fclose(log_file);
  return 0;
}
