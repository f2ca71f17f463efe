// boot_platform.h for the host tests: the screen is captured as text, the
// keyboard answers at a chosen wait or never, the registry key and its
// BootExecute value live in memory, and the heap counts its blocks.
#ifndef QUILLET_TESTS_BOOT_SCRIPTED_PLATFORM_H
#define QUILLET_TESTS_BOOT_SCRIPTED_PLATFORM_H

#include <stdint.h>

#include <string>
#include <vector>

struct ScriptedRegistry {
    int keyOpenFails;           // the Session Manager key cannot be opened
    int valuePresent;
    int valueUnreadable;        // present, but reading it fails
    std::vector<uint8_t> value; // the REG_MULTI_SZ bytes
    int openKeys;               // opened and not yet closed
    int writes;
};

struct ScriptedBoot {
    std::u16string screen;        // every text shown, in order
    uint32_t keyAtWait;           // the wait (1-based) that sees a key; 0: never
    std::vector<int64_t> waitTimeouts;
    std::vector<int64_t> sleeps;
    int liveBlocks;               // AllocateMemory blocks not yet freed
    uint32_t allocationsUntilFailure;  // fails the N-th allocation from now; 0 never
    ScriptedRegistry registry;
};

// The state of the scripted platform; ResetScriptedBoot() starts afresh.
ScriptedBoot &Boot();
void ResetScriptedBoot();

// The screen as 8-bit text (the run shows ASCII only; anything else would
// appear as '?', failing the comparison).
std::string ScreenText();

// A REG_MULTI_SZ value in UTF-16 bytes: each entry with its NUL, then the
// closing NUL.
std::vector<uint8_t> MultiSz(const std::vector<std::string> &entries);

#endif
