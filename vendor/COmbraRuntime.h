// Process-wide state of the runtime.
#pragma once

class COmbraRuntime {
public:
    // Releases what the runtime holds (device list, cached lookups). Harmless
    // to call more than once; the runtime starts again on next use.
    static void End();
};
