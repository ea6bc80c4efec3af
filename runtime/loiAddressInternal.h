// Seam of the operator-panel module for tests. Internal: never exported.
#pragma once

// The files and the pause the module uses, so that tests can work in a
// scratch directory and count the upgrade's waits instead of sitting them out.
struct LoiEnvironment {
    const char* addressFile;
    const char* rebootFlagFile;
    unsigned int (*sleepFor)(unsigned int seconds);
};

// Points the module at environment; null restores the analyser's files and
// the real sleep(). The texts must outlive their use.
void loiSetEnvironment(const LoiEnvironment* environment);
