// A loadable module without get_providers, for the qrmhost tests.
extern "C" __attribute__((visibility("default"))) int qrmhost_test_not_a_plugin() { return 0; }
