/* A web server that keeps its one client waiting: accepts one connection,
 * reads the request, waits DELAY_MS from the accept, answers a short
 * HTTP/1.0 reply and closes. While it waits it measures how much processor
 * time the client spends: the client's process id is read from PIDFILE
 * (written by whoever started the client, so it may appear just after the
 * accept), and the run time of all its threads is taken from
 * /proc/PID/task/TID/schedstat at the start and the end of the wait.
 * Usage: slow_server ADDRESS PORT DELAY_MS PIDFILE
 * Prints the port it listens on (PORT 0 picks one), then after the reply
 * "cpu_ns wall_ns" of the measured wait. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Run time of every thread of pid in nanoseconds, or -1. */
static long long cpu_ns(long pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/task", pid);
  DIR *tasks = opendir(path);
  if (tasks == NULL) return -1;
  long long total = 0;
  struct dirent *entry;
  while ((entry = readdir(tasks)) != NULL) {
    if (entry->d_name[0] == '.') continue;
    char file[320];
    snprintf(file, sizeof file, "/proc/%ld/task/%s/schedstat", pid, entry->d_name);
    FILE *f = fopen(file, "r");
    if (f == NULL) continue;
    long long run = 0;
    if (fscanf(f, "%lld", &run) == 1) total += run;
    fclose(f);
  }
  closedir(tasks);
  return total;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: slow_server ADDRESS PORT DELAY_MS PIDFILE\n");
    return 2;
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  inet_pton(AF_INET, argv[1], &address.sin_addr);
  socklen_t length = sizeof address;
  if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
    perror("slow_server");
    return 1;
  }
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);

  int client = accept(listener, NULL, NULL);
  if (client < 0) {
    perror("slow_server: accept");
    return 1;
  }
  long long accepted = now_ns();
  long long deadline = accepted + atoll(argv[3]) * 1000000LL;
  char request[4096];
  size_t have = 0;
  while (have < sizeof request - 1 && strstr(request, "\r\n\r\n") == NULL) {
    ssize_t n = recv(client, request + have, sizeof request - 1 - have, 0);
    if (n <= 0) break;
    have += (size_t)n;
    request[have] = '\0';
  }

  long pid = 0;
  for (int i = 0; i < 200 && pid == 0; ++i) {
    FILE *f = fopen(argv[4], "r");
    if (f != NULL) {
      if (fscanf(f, "%ld", &pid) != 1) pid = 0;
      fclose(f);
    }
    if (pid == 0) usleep(5000);
  }
  long long cpu_start = pid > 0 ? cpu_ns(pid) : -1;
  long long wall_start = now_ns();
  long long left = deadline - wall_start;
  if (left > 0) {
    struct timespec pause = {(time_t)(left / 1000000000LL), (long)(left % 1000000000LL)};
    nanosleep(&pause, NULL);
  }
  long long cpu_end = pid > 0 ? cpu_ns(pid) : -1;
  long long wall_end = now_ns();

  const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nslow\n";
  send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
  close(client);
  close(listener);
  if (cpu_start < 0 || cpu_end < 0) {
    fprintf(stderr, "slow_server: cannot read the client's processor time\n");
    return 1;
  }
  printf("%lld %lld\n", cpu_end - cpu_start, wall_end - wall_start);
  return 0;
}
