// A library that loads but lacks the log entry.
extern "C" __attribute__((visibility("default"))) int velnorTestNotTheLogEntry() {
    return 0;
}
