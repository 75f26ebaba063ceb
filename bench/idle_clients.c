/* Clients that hold connections to an HTTP server without ever finishing a
 * request, as someone who wants to keep the server's other clients out
 * would: IDLE of them connect and say nothing, SLOW more send one byte of
 * a request head a second and never end it.
 *
 * Usage: idle_clients ADDRESS PORT IDLE SLOW SECONDS REOPEN
 * Holds them for SECONDS, then prints one line: the connections opened,
 * how many of them the server closed, and how many were still open at the
 * end. With REOPEN 1 a connection the server closes is opened again, no
 * sooner than a second after it was last opened, so that IDLE + SLOW stay
 * held or being opened all along; with 0 it is left closed. The soft limit
 * of descriptors is raised as far as the hard one allows. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The first line and the start of a header that never ends. */
static const char kTrickle[] = "GET /metrics HTTP/1.1\r\nX-Slow: ";

struct client {
  int fd;              /* -1 while closed */
  int slow;            /* sends a byte a second */
  long sent;           /* bytes sent on this connection */
  long long opened_ns; /* when it was last opened */
};

static long long mono_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* A connection begun without waiting for the handshake, or -1. */
static int open_one(const struct sockaddr_in *target) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, (const struct sockaddr *)target, sizeof *target) == 0 || errno == EINPROGRESS)
    return fd;
  close(fd);
  return -1;
}

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: idle_clients ADDRESS PORT IDLE SLOW SECONDS REOPEN\n");
    return 2;
  }
  struct sockaddr_in target;
  memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1) {
    fprintf(stderr, "idle_clients: bad address %s\n", argv[1]);
    return 2;
  }
  int idle = atoi(argv[3]), slow = atoi(argv[4]), reopen = atoi(argv[6]);
  int n = idle + slow;
  long long end_ns = mono_ns() + atoll(argv[5]) * 1000000000LL;
  if (idle < 0 || slow < 0 || n == 0) {
    fprintf(stderr, "idle_clients: no clients\n");
    return 2;
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  struct client *clients = calloc((size_t)n, sizeof *clients);
  struct pollfd *watched = calloc((size_t)n, sizeof *watched);
  if (clients == NULL || watched == NULL) return 1;
  long opened = 0, closed = 0;
  long long now = mono_ns();
  for (int i = 0; i < n; ++i) {
    clients[i].slow = i >= idle;
    clients[i].opened_ns = now;
    clients[i].fd = open_one(&target);
    if (clients[i].fd >= 0) ++opened;
  }

  long long tick_ns = now + 1000000000LL;
  while ((now = mono_ns()) < end_ns) {
    if (now >= tick_ns) {
      for (int i = 0; i < n; ++i) {
        struct client *c = &clients[i];
        if (c->fd >= 0 && c->slow) {
          char byte = c->sent < (long)sizeof kTrickle - 1 ? kTrickle[c->sent] : 'a';
          /* Still connecting, or already shut: tried again next second. */
          if (send(c->fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++c->sent;
        }
        if (c->fd < 0 && reopen && now - c->opened_ns >= 1000000000LL) {
          c->opened_ns = now;
          c->sent = 0;
          c->fd = open_one(&target);
          if (c->fd >= 0) ++opened;
        }
      }
      tick_ns += 1000000000LL;
    }
    for (int i = 0; i < n; ++i) watched[i] = (struct pollfd){clients[i].fd, POLLIN, 0};
    long long wait_ns = (tick_ns < end_ns ? tick_ns : end_ns) - now;
    if (poll(watched, (nfds_t)n, (int)(wait_ns / 1000000 + 1)) <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (watched[i].revents == 0) continue;
      char scratch[512];
      ssize_t got = recv(clients[i].fd, scratch, sizeof scratch, MSG_DONTWAIT);
      if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR))) continue;
      close(clients[i].fd);
      clients[i].fd = -1;
      ++closed;
    }
  }
  int still = 0;
  for (int i = 0; i < n; ++i) still += clients[i].fd >= 0;
  printf("opened %ld closed-by-server %ld open-at-end %d\n", opened, closed, still);
  return 0;
}
