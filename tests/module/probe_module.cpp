// A small module for the loader's tests: one function and one value.
extern "C" __attribute__((visibility("default"))) int probe_answer() { return 42; }
extern "C" __attribute__((visibility("default"))) const char probe_name[] = "probe";
