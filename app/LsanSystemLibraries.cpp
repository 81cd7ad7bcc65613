// LeakSanitizer's built-in suppressions for the sanitizer build of the
// programs that talk to the desktop. The system's D-Bus library keeps a
// buffer for the life of the process that the leak check, run at exit, takes
// for a leak; it is not ours and not a leak we can mend. Only system libraries
// belong here: a leak in our own code must always fail the run.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
