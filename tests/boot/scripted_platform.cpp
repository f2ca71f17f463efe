#include "scripted_platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "boot_platform.h"

namespace {

ScriptedBoot state;
char registryKey;  // the address stands for the opened key

// Formats as ntdll's swprintf does for the directives the run uses ("%d",
// "%3d", "%c", "%s", "%%"), which printf shares: the ASCII format and text
// go through snprintf. Fails the test on a format that does not take
// exactly its one argument and on a result that would not fit the native
// program's buffer.
void FormatOne(char16_t *buffer, const char16_t *format, int32_t number, const char16_t *text) {
    std::string narrowFormat, narrowText;
    int directives = 0;
    char16_t conversion = 0;
    for (const char16_t *at = format; *at != 0; at++) {
        narrowFormat += (char)*at;
        if (*at != u'%') continue;
        if (at[1] == u'%') {
            narrowFormat += (char)*++at;
            continue;
        }
        directives++;
        const char16_t *letter = at + 1;
        while (*letter >= u'0' && *letter <= u'9') letter++;
        conversion = *letter;
    }
    ASSERT_EQ(directives, 1) << "each format takes exactly one argument";
    ASSERT_TRUE(text != 0 ? conversion == u's' : conversion == u'd' || conversion == u'c');
    for (const char16_t *at = text; at != 0 && *at != 0; at++) narrowText += *at < 0x80 ? (char)*at : '?';
    char out[1024];
    int length = text != 0 ? snprintf(out, sizeof out, narrowFormat.c_str(), narrowText.c_str())
                           : snprintf(out, sizeof out, narrowFormat.c_str(), number);
    ASSERT_LT(length, (int)kTextBufferUnits);
    for (int i = 0; i <= length; i++) buffer[i] = (unsigned char)out[i];
}

}  // namespace

ScriptedBoot &Boot() { return state; }

void ResetScriptedBoot() {
    state = ScriptedBoot();
}

std::string ScreenText() {
    std::string text;
    for (char16_t unit : state.screen) text += unit < 0x80 ? (char)unit : '?';
    return text;
}

std::vector<uint8_t> MultiSz(const std::vector<std::string> &entries) {
    std::vector<uint8_t> bytes;
    for (const std::string &entry : entries) {
        for (char c : entry) {
            bytes.push_back((uint8_t)c);
            bytes.push_back(0);
        }
        bytes.push_back(0);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// The platform.

void DisplayText(const char16_t *text) { state.screen += text; }

int WaitForKey(int64_t *timeout) {
    state.waitTimeouts.push_back(*timeout);
    return state.keyAtWait != 0 && state.waitTimeouts.size() == state.keyAtWait;
}

void FormatNumber(char16_t *buffer, const char16_t *format, int32_t number) {
    FormatOne(buffer, format, number, 0);
}

void SleepFor(int64_t *interval) { state.sleeps.push_back(*interval); }

void *AllocateMemory(uint32_t size) {
    if (state.allocationsUntilFailure != 0 && --state.allocationsUntilFailure == 0) return 0;
    void *block = malloc(size == 0 ? 1 : size);
    if (block != 0) {
        memset(block, 0xA5, size);  // not cleared, like the private heap
        state.liveBlocks++;
    }
    return block;
}

void FreeMemory(void *block) {
    if (block == 0) return;
    state.liveBlocks--;
    free(block);
}

RegistryKey OpenSessionManagerKey() {
    if (state.registry.keyOpenFails) return 0;
    state.registry.openKeys++;
    return &registryKey;
}

BootExecuteRead ReadBootExecute(RegistryKey key, char16_t **value, uint32_t *bytes) {
    EXPECT_EQ(key, &registryKey);
    if (!state.registry.valuePresent) return kBootExecuteMissing;
    if (state.registry.valueUnreadable) return kBootExecuteUnreadable;
    uint32_t size = (uint32_t)state.registry.value.size();
    void *block = AllocateMemory(size);
    if (block == 0) return kBootExecuteUnreadable;
    if (size != 0) memcpy(block, state.registry.value.data(), size);
    *value = (char16_t *)block;
    *bytes = size;
    return kBootExecuteRead;
}

void WriteBootExecute(RegistryKey key, const char16_t *value, uint32_t bytes) {
    EXPECT_EQ(key, &registryKey);
    state.registry.valuePresent = 1;
    state.registry.value.assign((const uint8_t *)value, (const uint8_t *)value + bytes);
    state.registry.writes++;
}

void CloseRegistryKey(RegistryKey key) {
    EXPECT_EQ(key, &registryKey);
    state.registry.openKeys--;
}
