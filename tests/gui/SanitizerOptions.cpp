// Sanitizer settings of the window suites, one definition per test program.

// Under LeakSanitizer: the system font library keeps caches for the life of
// the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// Under ThreadSanitizer: Qt is not instrumented, and its painting hands image
// work to a thread pool whose locks the sanitizer cannot see. Only accesses
// made from instrumented code (ours) are checked.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
