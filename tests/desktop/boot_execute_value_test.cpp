#include <gtest/gtest.h>

#include <string>

#include "boot_execute_value.h"

namespace {

// The list as the registry holds it: one UTF-16 unit per character of an
// ASCII wording.
std::u16string Units(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// The 32 units that the scheduling writes on a system with the default list.
const std::u16string kDefaultForD = Units(std::string("autocheck autochk *\0bootsift D\0\0", 32));

std::u16string Schedule(const char16_t *current, uint32_t units, char letter, uint32_t capacity = 512) {
    std::u16string value(capacity, u'\xEEEE');
    uint32_t valueUnits = 0;
    if (!BuildScheduleValue(current, units, letter, &value[0], capacity, &valueUnits)) return u"(refused)";
    value.resize(valueUnits);
    return value;
}

std::u16string Schedule(const std::u16string &current, char letter) {
    return Schedule(current.data(), (uint32_t)current.size(), letter);
}

std::u16string Schedule(const std::string &current, char letter) { return Schedule(Units(current), letter); }

TEST(BootExecuteValue, UnreadableOrEmptyListGetsTheDefault) {
    EXPECT_EQ(kDefaultForD, Schedule(nullptr, 0, 'D'));
    EXPECT_EQ(Units(std::string("autocheck autochk *\0bootsift Z\0\0", 32)), Schedule(nullptr, 0, 'Z'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string(), 'D'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string("\0", 1), 'D'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string("\0\0", 2), 'D'));
    // Only a stale entry of ours: nothing would be kept.
    EXPECT_EQ(kDefaultForD, Schedule(std::string("bootsift C\0\0", 12), 'D'));
}

TEST(BootExecuteValue, DefaultListGivesTheSame32Bytes) {
    // As the system stores it, with and without its terminators, and with
    // an earlier schedule of ours in it.
    EXPECT_EQ(kDefaultForD, Schedule(std::string("autocheck autochk *\0\0", 21), 'D'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string("autocheck autochk *", 19), 'D'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string("autocheck autochk *\0bootsift C\0\0", 32), 'D'));
    EXPECT_EQ(kDefaultForD, Schedule(std::string("autocheck autochk *\0BootSift   E\0\0", 34), 'D'));
}

TEST(BootExecuteValue, OtherSoftwaresEntriesStayInOrder) {
    std::string current("autocheck autochk *\0bootsift C\0sdnclean64.exe\0autocheck autochk /q \\??\\E:\0\0", 73);
    EXPECT_EQ(Units(std::string("autocheck autochk *\0sdnclean64.exe\0autocheck autochk /q \\??\\E:\0bootsift D\0\0", 75)),
              Schedule(current, 'D'));
    // Words that merely begin with bootsift are someone else's.
    EXPECT_EQ(Units(std::string("bootsifter x\0bootsift.exe\0bootsift D\0\0", 38)),
              Schedule(std::string("bootsifter x\0bootsift.exe\0\0", 27), 'D'));
    // Scheduling twice leaves one entry of ours, the last letter.
    std::u16string once = Schedule(current, 'D');
    EXPECT_EQ(Units(std::string("autocheck autochk *\0sdnclean64.exe\0autocheck autochk /q \\??\\E:\0bootsift F\0\0", 75)),
              Schedule(once, 'F'));
}

TEST(BootExecuteValue, EntriesInAnyScriptKeepEveryUnit) {
    // Cyrillic outside code page 936, a character beyond the Basic
    // Multilingual Plane (a surrogate pair) and a lone surrogate: an ANSI
    // round trip would turn each into "?".
    std::u16string foreign = u"\\??\\C:\\\u0407\u0454\u0452\\\U0001D11E.exe /x";
    foreign += u'\xDC00';
    std::u16string current = u"autocheck autochk *" + std::u16string(1, 0) + foreign + std::u16string(2, 0);
    std::u16string expected = current.substr(0, current.size() - 1) + u"bootsift D" + std::u16string(2, 0);
    EXPECT_EQ(expected, Schedule(current, 'D'));
}

TEST(BootExecuteValue, TooSmallABufferRefusesRatherThanDropsEntries) {
    std::u16string current = Units(std::string("autocheck autochk *\0other entry\0\0", 33));
    EXPECT_EQ(u"(refused)", Schedule(current.data(), (uint32_t)current.size(), 'D', 40));
    EXPECT_EQ(u"(refused)", Schedule(nullptr, 0, 'D', 31));
    EXPECT_EQ(Units(std::string("autocheck autochk *\0other entry\0bootsift D\0\0", 44)),
              Schedule(current.data(), (uint32_t)current.size(), 'D', 44));
}

}  // namespace
