/* A web server whose every answer takes a set time, for many clients at
 * once: it accepts every connection, reads each request to its empty line
 * and then the Content-Length bytes of body that follow, and answers a short
 * HTTP/1.0 reply exactly DELAY_MS after the request was whole, then closes.
 * The body is read, not left in the socket: closing with bytes unread
 * resets the connection, and the client may lose the reply. One thread and
 * epoll; the answers wait in arrival order, which is also the order of their
 * deadlines since all wait the same, and one timer set to the earliest
 * deadline wakes the loop. A DELAY_MS below 0 never answers: connections
 * are accepted, their requests read and logged, and then held open and
 * silent until the server stops.
 *
 * Usage: delay_server ADDRESS PORT DELAY_MS SECONDS COUNT LOG [FIRST_STATUS]
 * Stops by itself after SECONDS, or once COUNT requests have been answered
 * (COUNT 0: no such limit). Prints the port it listens on (PORT 0 picks
 * one). LOG gets one line a request, written when it is whole: the
 * monotonic clock in seconds (with microseconds) and the request's target,
 * like nginx's "$msec ... $request", so that the first and last lines of a
 * run time it.
 *
 * With FIRST_STATUS (100 to 599) the first request for each target is
 * answered with that status and every later one for the same target with
 * 200, as a server that fails once and then recovers; each log line then
 * ends with the status sent. FIRST_STATUS 200 keeps the same book of
 * targets and answers 200 throughout, so that a run against it differs from
 * one against the failing server only in the answers. The book holds every
 * target seen until the server stops. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

enum { kRequestBytes = 2048, kEvents = 256 };

struct connection {
  int fd;
  size_t have;
  long long body_left; /* body bytes still to read once the head is whole; -1 before */
  long long deadline_ns;
  int status; /* of the answer it waits for */
  struct connection *next; /* the next one waiting for its answer */
  char request[kRequestBytes];
};

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* The earliest deadline (head of the queue) or none (0) on the timer. */
static void arm(int timer, long long deadline_ns) {
  struct itimerspec when;
  memset(&when, 0, sizeof when);
  if (deadline_ns > 0) {
    when.it_value.tv_sec = (time_t)(deadline_ns / 1000000000LL);
    when.it_value.tv_nsec = (long)(deadline_ns % 1000000000LL);
  }
  timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL);
}

/* The Content-Length of the head that ends at head_end, or 0. */
static long long content_length(const char *request, const char *head_end) {
  static const char name[] = "\ncontent-length:";
  for (const char *p = request; p + sizeof name - 1 <= head_end; ++p) {
    if (strncasecmp(p, name, sizeof name - 1) != 0) continue;
    p += sizeof name - 1;
    while (*p == ' ' || *p == '\t') ++p;
    return isdigit((unsigned char)*p) ? atoll(p) : 0;
  }
  return 0;
}

/* The target of "GET TARGET HTTP/1.0", or "-": its start and length. */
static const char *request_target(const char *request, int *length) {
  const char *target = strchr(request, ' ');
  if (target == NULL) {
    *length = 1;
    return "-";
  }
  ++target;
  *length = (int)strcspn(target, " \r\n");
  return target;
}

/* The log line of a request; with status above 0, the status sent ends it. */
static void log_request(FILE *log, long long at_ns, const char *request, int status) {
  int length;
  const char *target = request_target(request, &length);
  fprintf(log, "%lld.%06lld %.*s", at_ns / 1000000000LL, at_ns % 1000000000LL / 1000, length,
          target);
  if (status > 0) fprintf(log, " %d", status);
  fputc('\n', log);
}

/* The targets requested so far, for FIRST_STATUS: an open-addressing hash
 * set of copies, grown at half full so that a lookup stays a probe or two
 * however many targets a run brings (a benchmark sends tens of thousands). */
struct target_book {
  char **slots;
  size_t size; /* a power of two */
  size_t used;
};

static size_t hash_text(const char *text, size_t length) {
  size_t hash = 1469598103934665603ULL; /* FNV-1a */
  for (size_t i = 0; i < length; ++i) {
    hash ^= (unsigned char)text[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

/* The slot that holds the target, or the empty one where it would go. */
static char **book_slot(char **slots, size_t size, const char *target, size_t length) {
  size_t at = hash_text(target, length) & (size - 1);
  while (slots[at] != NULL &&
         !(strlen(slots[at]) == length && memcmp(slots[at], target, length) == 0))
    at = (at + 1) & (size - 1);
  return &slots[at];
}

/* Whether the target was requested before; notes it when it was not. A
 * target that cannot be noted (out of memory) counts as seen before, so
 * that it is never failed twice. */
static int book_seen(struct target_book *book, const char *target, size_t length) {
  if (book->used + 1 > book->size / 2) {
    size_t size = book->size != 0 ? book->size * 2 : 65536;
    char **slots = calloc(size, sizeof *slots);
    if (slots == NULL) return 1;
    for (size_t i = 0; i < book->size; ++i)
      if (book->slots[i] != NULL)
        *book_slot(slots, size, book->slots[i], strlen(book->slots[i])) = book->slots[i];
    free(book->slots);
    book->slots = slots;
    book->size = size;
  }
  char **slot = book_slot(book->slots, book->size, target, length);
  if (*slot != NULL) return 1;
  *slot = strndup(target, length);
  if (*slot == NULL) return 1;
  ++book->used;
  return 0;
}

static const char *reason_of(int status) {
  switch (status) {
    case 200: return "OK";
    case 408: return "Request Timeout";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

int main(int argc, char **argv) {
  if (argc != 7 && argc != 8) {
    fprintf(stderr, "usage: delay_server ADDRESS PORT DELAY_MS SECONDS COUNT LOG [FIRST_STATUS]\n");
    return 2;
  }
  int first_status = argc == 8 ? atoi(argv[7]) : 0;
  if (argc == 8 && (first_status < 100 || first_status > 599)) {
    fprintf(stderr, "delay_server: FIRST_STATUS must be 100 to 599\n");
    return 2;
  }
  struct target_book book = {NULL, 0, 0};
  long long delay_ns = atoll(argv[3]) * 1000000LL;
  long long stop_ns = now_ns() + atoll(argv[4]) * 1000000000LL;
  long count = atol(argv[5]);
  FILE *log = fopen(argv[6], "a");
  if (log == NULL) {
    perror("delay_server: log");
    return 1;
  }

  /* Every connection holds a descriptor until it is answered. */
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
    fprintf(stderr, "delay_server: bad address %s\n", argv[1]);
    return 2;
  }
  socklen_t length = sizeof address;
  if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 4096) != 0 ||
      getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
    perror("delay_server");
    return 1;
  }
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);

  int poller = epoll_create1(0);
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  struct epoll_event event = {.events = EPOLLIN, .data.ptr = NULL};
  epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
  struct connection timer_mark; /* tells the timer's events from a connection's */
  event.data.ptr = &timer_mark;
  epoll_ctl(poller, EPOLL_CTL_ADD, timer, &event);

  struct connection *head = NULL, *tail = NULL; /* waiting for their answer */
  long answered = 0;
  static const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ndelayed\n";
  /* The first answer, of the same size but for its status line. */
  char first_reply[128];
  int first_reply_bytes = snprintf(first_reply, sizeof first_reply,
                                   "HTTP/1.0 %d %s\r\nContent-Type: text/plain\r\n\r\ndelayed\n",
                                   first_status, reason_of(first_status));
  struct epoll_event events[kEvents];

  while (count == 0 || answered < count) {
    long long left_ns = stop_ns - now_ns();
    if (left_ns <= 0) break;
    int wait_ms = left_ns > 1000000000LL ? 1000 : (int)(left_ns / 1000000) + 1;
    int ready = epoll_wait(poller, events, kEvents, wait_ms);
    if (ready < 0 && errno != EINTR) {
      perror("delay_server: epoll_wait");
      break;
    }
    for (int i = 0; i < ready; ++i) {
      struct connection *c = events[i].data.ptr;
      if (c == NULL) { /* the listener: take every connection in line */
        for (;;) {
          int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK);
          if (fd < 0) break;
          struct connection *fresh = calloc(1, sizeof *fresh);
          if (fresh == NULL) {
            close(fd);
            continue;
          }
          fresh->fd = fd;
          fresh->body_left = -1;
          struct epoll_event watch = {.events = EPOLLIN | EPOLLRDHUP, .data.ptr = fresh};
          epoll_ctl(poller, EPOLL_CTL_ADD, fd, &watch);
        }
        continue;
      }
      if (c == &timer_mark) { /* answered below, after every event */
        unsigned long long expirations;
        if (read(timer, &expirations, sizeof expirations) < 0) {
        }
        continue;
      }
      static char body[65536]; /* the body's bytes are read and dropped */
      ssize_t n = c->body_left < 0
                      ? recv(c->fd, c->request + c->have, sizeof c->request - 1 - c->have, 0)
                      : recv(c->fd, body, sizeof body, 0);
      if (n <= 0 && !(n < 0 && errno == EAGAIN)) { /* gone before its request was whole */
        close(c->fd);
        free(c);
        continue;
      }
      if (n < 0) continue;
      if (c->body_left < 0) {
        c->have += (size_t)n;
        c->request[c->have] = '\0';
        char *head_end = strstr(c->request, "\r\n\r\n");
        size_t blank = 4;
        if (head_end == NULL) {
          head_end = strstr(c->request, "\n\n");
          blank = 2;
        }
        if (head_end == NULL && c->have < sizeof c->request - 1) continue;
        c->body_left = 0;
        if (head_end != NULL) {
          size_t head_bytes = (size_t)(head_end - c->request) + blank;
          c->body_left = content_length(c->request, head_end) - (long long)(c->have - head_bytes);
        }
      } else {
        c->body_left -= n;
      }
      if (c->body_left > 0) continue;
      /* The request is whole: from now on only the clock matters. */
      long long arrived = now_ns();
      c->status = 200;
      if (first_status != 0) {
        int length;
        const char *target = request_target(c->request, &length);
        if (!book_seen(&book, target, (size_t)length)) c->status = first_status;
      }
      log_request(log, arrived, c->request, first_status != 0 ? c->status : 0);
      epoll_ctl(poller, EPOLL_CTL_DEL, c->fd, NULL);
      if (delay_ns < 0) continue; /* held open and silent until the end */
      c->deadline_ns = arrived + delay_ns;
      c->next = NULL;
      if (tail != NULL) {
        tail->next = c;
      } else {
        head = c;
        arm(timer, c->deadline_ns);
      }
      tail = c;
    }
    long long now = now_ns();
    while (head != NULL && head->deadline_ns <= now) {
      struct connection *c = head;
      head = c->next;
      if (head == NULL) tail = NULL;
      if (c->status == 200)
        send(c->fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
      else
        send(c->fd, first_reply, (size_t)first_reply_bytes, MSG_NOSIGNAL);
      close(c->fd);
      free(c);
      ++answered;
    }
    if (head != NULL) arm(timer, head->deadline_ns);
    fflush(log);
  }
  fclose(log);
  return 0;
}
