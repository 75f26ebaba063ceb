// A small loadable module for the module tests of the platform layer.
// jantor_module_unbound calls a function that nothing defines, so the module
// can be loaded only when its functions are bound lazily.
extern "C" int jantor_module_missing(void);

extern "C" int jantor_module_answer(void) { return 42; }

extern "C" int jantor_module_unbound(void) { return jantor_module_missing() + 1; }
