// The version the build gives the program (CMake's project version), for
// the banner and the metrics' build information.
#ifndef JANTOR_ENGINE_VERSION_H_
#define JANTOR_ENGINE_VERSION_H_

#ifndef JANTOR_VERSION
#define JANTOR_VERSION "unknown"
#endif

#endif  // JANTOR_ENGINE_VERSION_H_
