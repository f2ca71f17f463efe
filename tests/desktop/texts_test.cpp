// The program stores its Chinese texts as GBK bytes. Each is compared with
// the UTF-8 wording converted by iconv, so a mistyped escape shows up here.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "texts.h"

namespace {

std::string Gbk(const std::string &utf8) {
    iconv_t converter = iconv_open("GBK", "UTF-8");
    EXPECT_NE(converter, (iconv_t)-1);
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *to = &out[0];
    size_t outLeft = out.size();
    EXPECT_NE(iconv(converter, &in, &inLeft, &to, &outLeft), (size_t)-1) << utf8;
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(Texts, ChineseTextsAreTheirGbkBytes) {
    EXPECT_EQ(Gbk("不支持TRIM!"), kTextNoTrimSupport);
    EXPECT_EQ(Gbk("非4KB对齐!"), kTextNotAligned);
    EXPECT_EQ(Gbk("无法锁定目标分区！是否计划在下次系统启动时进行Trim操作？"), kTextAskScheduleTrim);
    EXPECT_EQ(Gbk("系统下次启动时将对目标分区执行Trim操作！"), kTextTrimScheduled);
    EXPECT_EQ(Gbk("修改注册表设置启动项失败！"), kTextRegistryFailed);
    EXPECT_EQ(Gbk("TRIM 发生错误！"), kTextTrimFailed);
    EXPECT_EQ(Gbk("无法创建文件 %s"), kFormatCannotCreateFile);
    EXPECT_EQ(Gbk("宋体"), kFontFaceName);
}

TEST(Texts, OpenStatusMessagesCoverOneToNine) {
    const char *const utf8[] = {
        "申请内存失败!",   "访问目标分区失败!",         "获取分区信息失败!",
        "锁定分区失败!",   "访问目标物理磁盘失败!",     "目标物理磁盘不支持TRIM!",
        "定位目标分区启动扇区失败!", "不支持的文件系统!", "获取分区位图信息失败!",
    };
    for (int status = 1; status <= 9; status++) {
        ASSERT_NE(OpenStatusMessage(status), nullptr) << status;
        EXPECT_EQ(Gbk(utf8[status - 1]), OpenStatusMessage(status)) << status;
    }
    EXPECT_EQ(OpenStatusMessage(0), nullptr);
    EXPECT_EQ(OpenStatusMessage(10), nullptr);
    EXPECT_EQ(OpenStatusMessage(-1), nullptr);
}

TEST(Texts, StatusLabelTellsTrimSupportBeforeAlignment) {
    EXPECT_STREQ(kTextNoTrimSupport, StatusLabelText(0, 32256));  // unaligned and no TRIM
    EXPECT_STREQ(kTextNoTrimSupport, StatusLabelText(0, 1048576));
    EXPECT_STREQ(kTextNotAligned, StatusLabelText(1, 32256));     // 63 sectors
    EXPECT_STREQ(kTextNotAligned, StatusLabelText(1, 4096 + 512));
    EXPECT_STREQ("", StatusLabelText(1, 1048576));
    EXPECT_STREQ("", StatusLabelText(1, 0));
    EXPECT_STREQ("", StatusLabelText(1, 4294967296LL));
}

}  // namespace
