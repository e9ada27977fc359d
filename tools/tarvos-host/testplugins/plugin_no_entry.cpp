// A library that exports no plug-in entry point.
extern "C" __attribute__((visibility("default"))) int NotAPluginEntry() {
    return 0;
}
