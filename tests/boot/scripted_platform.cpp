#include "scripted_platform.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "boot_platform.h"

namespace {

ScriptedBoot state;
char registryKey;  // the address stands for the opened key

std::u16string Decimal(int64_t number) {
    std::u16string digits;
    uint64_t magnitude = number < 0 ? (uint64_t)0 - (uint64_t)number : (uint64_t)number;
    do {
        digits.insert(digits.begin(), (char16_t)(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0) digits.insert(digits.begin(), u'-');
    return digits;
}

// Formats as ntdll's swprintf does for the directives the run uses: one
// argument, an optional width, then d, c, s or p ("%p": upper-case hex of
// the pointer's width, no prefix). Fails the test on anything else and on a
// result that would not fit the 256-unit buffer of the native program.
void FormatOne(char16_t *buffer, const char16_t *format, int64_t number, const char16_t *text) {
    std::u16string out;
    int directives = 0;
    for (const char16_t *at = format; *at != 0; at++) {
        if (*at != u'%') {
            out += *at;
            continue;
        }
        at++;
        if (*at == u'%') {
            out += u'%';
            continue;
        }
        size_t width = 0;
        while (*at >= u'0' && *at <= u'9') width = width * 10 + (size_t)(*at++ - u'0');
        std::u16string piece;
        switch (*at) {
        case u'd':
            piece = Decimal((int32_t)number);
            break;
        case u'c':
            piece = (char16_t)number;
            break;
        case u's':
            piece = text != 0 ? text : u"(null)";
            break;
        case u'p':
            for (int shift = (int)sizeof(void *) * 8 - 4; shift >= 0; shift -= 4) {
                piece += u"0123456789ABCDEF"[(uint64_t)number >> shift & 0xF];
            }
            break;
        default:
            ADD_FAILURE() << "unsupported directive " << (char)*at;
            return;
        }
        directives++;
        if (piece.size() < width) piece.insert(0, width - piece.size(), u' ');
        out += piece;
    }
    EXPECT_EQ(directives, 1) << "each format takes exactly one argument";
    ASSERT_LT(out.size(), (size_t)kTextBufferUnits);
    memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(char16_t));
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

void FormatText(char16_t *buffer, const char16_t *format, const char16_t *text) {
    FormatOne(buffer, format, 0, text);
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

int ReadBootExecute(RegistryKey key, char16_t **value, uint32_t *bytes) {
    EXPECT_EQ(key, &registryKey);
    if (!state.registry.valuePresent) return kBootValueAbsent;
    if (state.registry.valueUnreadable) return kBootValueUnreadable;
    uint32_t size = (uint32_t)state.registry.value.size();
    void *block = AllocateMemory(size);
    if (block == 0) return kBootValueUnreadable;
    if (size != 0) memcpy(block, state.registry.value.data(), size);
    *value = (char16_t *)block;
    *bytes = size;
    return kBootValueRead;
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
