// Sanitizer settings of the engine test programs themselves. Those
// programs only drive jantor from outside and set up tables; unixODBC's
// driver manager leaks a little with every connection they open and close,
// which would fail them at exit. jantor, run as a child, keeps its own
// leak checking (with the suppressions in support/lsan.supp).
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }
