#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "volume_entry.h"

namespace {

// IDENTIFY data with `model` in words 27 to 46 as a drive stores it: the
// first character of each pair in the high byte, padded with `pad`.
std::string Identify(const std::string &model, char pad = ' ') {
    std::string data(kIdentifyDataSize, '\x5A');
    std::string field = model;
    field.resize(kModelLength, pad);
    for (int i = 0; i < kModelLength; i += 2) {
        data[54 + i] = field[i + 1];
        data[54 + i + 1] = field[i];
    }
    return data;
}

std::string Model(const std::string &identify) {
    char model[kModelBufferSize];
    memset(model, '\x77', sizeof model);
    ModelFromIdentify(reinterpret_cast<const uint8_t *>(identify.data()), model);
    for (int i = (int)strlen(model); i < kModelBufferSize; i++) EXPECT_EQ(0, model[i]) << i;
    return model;
}

TEST(VolumeEntry, ModelKeepsInnerSpacesAndDropsThePadding) {
    EXPECT_EQ("Samsung SSD 860 EVO 500GB", Model(Identify("Samsung SSD 860 EVO 500GB")));
    EXPECT_EQ("  INTEL SSDSC2BW240A4", Model(Identify("  INTEL SSDSC2BW240A4")));
    EXPECT_EQ("KINGSTON SA400", Model(Identify("KINGSTON SA400", '\0')));
    EXPECT_EQ("", Model(Identify("")));
    EXPECT_EQ("", Model(Identify("", '\0')));
    std::string full(40, 'M');
    full[5] = ' ';
    EXPECT_EQ(full, Model(Identify(full)));  // all 40 characters
}

TEST(VolumeEntry, SizeIsTruncatedToWholeGigabytes) {
    EXPECT_EQ(0, VolumeSizeGb(0));
    EXPECT_EQ(0, VolumeSizeGb(1073741823));
    EXPECT_EQ(1, VolumeSizeGb(1073741824));
    EXPECT_EQ(1, VolumeSizeGb(2147483647));
    EXPECT_EQ(465, VolumeSizeGb(500107862016ULL));
    EXPECT_EQ(4096, VolumeSizeGb(4398046511104ULL));
}

TEST(VolumeEntry, EntryText) {
    char root[4];
    RootPath('D', root);
    EXPECT_STREQ("D:\\", root);
    char entry[kEntryTextSize];
    FormatVolumeEntry(root, "Samsung SSD 860 EVO 500GB", 500107862016ULL, entry);
    EXPECT_STREQ("D:\\ [Samsung SSD 860 EVO 500GB] (465 GB)", entry);
    FormatVolumeEntry(root, "", 999999999, entry);
    EXPECT_STREQ("D:\\ [] (0 GB)", entry);
    std::string longest(40, 'W');
    FormatVolumeEntry(root, longest.c_str(), 0xFFFFFFFFFFFFFFFFULL, entry);
    EXPECT_EQ("D:\\ [" + longest + "] (-1 GB)", std::string(entry));
}

}  // namespace
