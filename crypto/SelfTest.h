// Known-answer tests of every primitive the link rests on, run before the keys are loaded: a
// miscompiled or damaged build must not protect a single record. A few milliseconds in all.
// They use the record layer's process-wide contexts (and drop its key blocks), so they run
// only while no link is up.
#pragma once

#include <cstddef>

enum SelfTestPrimitive {
    kSelfTestMagma,
    kSelfTestCfb,
    kSelfTestMac,
    kSelfTestStreebog512,
    kSelfTestHmac,
    kSelfTestHmacPrf,
    kSelfTestCmacPrf,
    kSelfTestRecord,
    kSelfTestCount
};

struct SelfTestResult {
    const char *name;  // "Magma", "CFB", ...
    bool passed;
};

// Runs all of them, fills one result per primitive in the order above and returns true when
// every one passed.
bool runSelfTests(SelfTestResult results[kSelfTestCount]);

// For tests only; nothing in the programs calls it. The named primitive's check then sees one
// wrong bit, as it would from a broken primitive; kSelfTestCount restores the genuine checks.
void breakSelfTestForTesting(SelfTestPrimitive primitive);
