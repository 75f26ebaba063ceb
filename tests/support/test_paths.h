// Where a test finds the program under test and its work folder: those of
// its own build, unless the environment names others. A sanitizer build
// runs the engine tests (black-box tests of the program) that the plain
// build compiled, against its own jantor and in its own work folder, by
// setting JANTOR_TEST_BIN and JANTOR_TEST_WORK; the tests are then built
// once, and only the program under test differs.
#ifndef JANTOR_TESTS_SUPPORT_TEST_PATHS_H_
#define JANTOR_TESTS_SUPPORT_TEST_PATHS_H_

namespace testsupport {

// The jantor program under test.
const char* TestedProgram();
// The folder where tests keep their servers, databases and files.
const char* TestWork();

}  // namespace testsupport

#define JANTOR_BIN (testsupport::TestedProgram())
#define JANTOR_TEST_WORK (testsupport::TestWork())

#endif  // JANTOR_TESTS_SUPPORT_TEST_PATHS_H_
