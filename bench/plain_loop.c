/* The floor for one connection per request: N times connect, send an
 * HTTP/1.0 GET, read until the server closes, close. Blocking sockets, no
 * output per request, nothing else in the way.
 * Usage: plain_loop ADDRESS PORT PREFIX COUNT
 * Request n (from 1) asks for PREFIX with n appended, so that the server's
 * access log tells its lines apart. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: plain_loop ADDRESS PORT PREFIX COUNT\n");
    return 2;
  }
  struct sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &peer.sin_addr) != 1) {
    fprintf(stderr, "plain_loop: bad address %s\n", argv[1]);
    return 2;
  }
  long count = atol(argv[4]);
  char request[1024];
  char reply[4096];
  long failed = 0;
  for (long n = 1; n <= count; ++n) {
    int length = snprintf(request, sizeof request, "GET %s%ld HTTP/1.0\r\nHost: %s\r\n\r\n",
                          argv[3], n, argv[1]);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&peer, sizeof peer) != 0 ||
        send(fd, request, (size_t)length, MSG_NOSIGNAL) != length) {
      ++failed;
    } else {
      while (recv(fd, reply, sizeof reply, 0) > 0) {
      }
    }
    if (fd >= 0) close(fd);
  }
  if (failed != 0) fprintf(stderr, "plain_loop: %ld requests failed\n", failed);
  return failed != 0;
}
