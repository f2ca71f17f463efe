#include <gtest/gtest.h>

#include <string>

#include "boot_execute_value.h"

namespace {

// The 32 bytes that the scheduling writes on a system with the default list.
const std::string kDefaultForD("autocheck autochk *\0bootsift D\0\0", 32);

std::string Schedule(const char *current, uint32_t size, char letter, uint32_t capacity = 512) {
    std::string value(capacity, '\xEE');
    uint32_t valueSize = 0;
    if (!BuildScheduleValue(current, size, letter, &value[0], capacity, &valueSize)) return "(refused)";
    value.resize(valueSize);
    return value;
}

std::string Schedule(const std::string &current, char letter) {
    return Schedule(current.data(), (uint32_t)current.size(), letter);
}

TEST(BootExecuteValue, UnreadableOrEmptyListGetsTheDefault) {
    EXPECT_EQ(kDefaultForD, Schedule(nullptr, 0, 'D'));
    EXPECT_EQ(std::string("autocheck autochk *\0bootsift Z\0\0", 32), Schedule(nullptr, 0, 'Z'));
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
    EXPECT_EQ(std::string("autocheck autochk *\0sdnclean64.exe\0autocheck autochk /q \\??\\E:\0bootsift D\0\0", 75),
              Schedule(current, 'D'));
    // Words that merely begin with bootsift are someone else's.
    EXPECT_EQ(std::string("bootsifter x\0bootsift.exe\0bootsift D\0\0", 38),
              Schedule(std::string("bootsifter x\0bootsift.exe\0\0", 27), 'D'));
    // Scheduling twice leaves one entry of ours, the last letter.
    std::string once = Schedule(current, 'D');
    EXPECT_EQ(std::string("autocheck autochk *\0sdnclean64.exe\0autocheck autochk /q \\??\\E:\0bootsift F\0\0", 75),
              Schedule(once, 'F'));
}

TEST(BootExecuteValue, TooSmallABufferRefusesRatherThanDropsEntries) {
    std::string current("autocheck autochk *\0other entry\0\0", 33);
    EXPECT_EQ("(refused)", Schedule(current.data(), (uint32_t)current.size(), 'D', 40));
    EXPECT_EQ("(refused)", Schedule(nullptr, 0, 'D', 31));
    EXPECT_EQ(std::string("autocheck autochk *\0other entry\0bootsift D\0\0", 44),
              Schedule(current.data(), (uint32_t)current.size(), 'D', 44));
}

}  // namespace
