// A network of the test program's own. Every hit tries port 80 of its host
// before the entry's port, so a test that hits must not meet whatever the
// machine runs on port 80: the program moves into a network namespace with
// only a loopback interface, before any thread exists, and every server it
// needs (scripted peers, nginx) runs in there with it. Unix sockets and
// files are not part of the namespace, so databases stay reachable.
#ifndef JANTOR_TESTS_SUPPORT_PRIVATE_NETWORK_H_
#define JANTOR_TESTS_SUPPORT_PRIVATE_NETWORK_H_

#include <string>

namespace testsupport {

// Enters a new network namespace with its loopback interface up (as root,
// or through a user namespace where the system allows one). Idempotent.
// Returns false when no namespace could be made.
bool EnterPrivateNetwork();

// A private nginx in this process's network, started on first use and
// stopped at exit (see nginx.sh for its pages and credentials).
int NginxPort();
// nginx's document root, where a test may add pages of its own.
std::string NginxRoot();
// nginx's access log so far: "$msec "$remote_user" "$request" $status".
std::string NginxAccessLog();

}  // namespace testsupport

#endif  // JANTOR_TESTS_SUPPORT_PRIVATE_NETWORK_H_
