#include <iconv.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "base64_encode.h"
#include "start_page_texts.h"

namespace {

std::string Encode(const std::string &source) {
    // Room for the text, its zero and a guard that must stay untouched.
    std::string out(BASE64_ENCODED_LENGTH(source.size()) + 8, '#');
    Base64Encode(source.c_str(), &out[0]);
    size_t end = out.find('\0');
    EXPECT_EQ(end, BASE64_ENCODED_LENGTH(source.size()));
    EXPECT_EQ(out.substr(end + 1), std::string(7, '#'));
    return out.substr(0, end);
}

TEST(Base64Encode, Rfc4648Vectors) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("f"), "Zg==");
    EXPECT_EQ(Encode("fo"), "Zm8=");
    EXPECT_EQ(Encode("foo"), "Zm9v");
    EXPECT_EQ(Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
}

// Bytes with the high bit set must not sign-extend into the next sextet,
// whatever the tail length.
TEST(Base64Encode, HighBytesInEveryTail) {
    EXPECT_EQ(Encode("\xff"), "/w==");
    EXPECT_EQ(Encode("\xff\xfe"), "//4=");
    EXPECT_EQ(Encode("\xff\xfe\xfd"), "//79");
    EXPECT_EQ(Encode("\x80\x01\xc0\x7f"), "gAHAfw==");
    EXPECT_EQ(Encode("\xfb\xef\xbe\xfb\xef"), "++++++8=");
}

TEST(Base64Encode, PromotedStartPage) {
    EXPECT_EQ(Encode(kPromotedStartPage),
              "aHR0cHM6Ly93d3cuMjM0NS5jb20vP2Zyb209cXVpbGxldA==");
    EXPECT_LE(BASE64_ENCODED_LENGTH(strlen(kPromotedStartPage)) + 1, 256u);
}

std::string Gbk(const char *utf8) {
    iconv_t converter = iconv_open("GBK", "UTF-8");
    EXPECT_NE(converter, (iconv_t)-1);
    std::string out(strlen(utf8) * 2 + 1, '\0');
    char *in = const_cast<char *>(utf8), *to = &out[0];
    size_t inLeft = strlen(utf8), outLeft = out.size();
    EXPECT_NE(iconv(converter, &in, &inLeft, &to, &outLeft), (size_t)-1);
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

// The question as the user must read it, converted from UTF-8 here rather
// than trusted as escaped bytes.
TEST(StartPageTexts, QuestionIsGbk) {
    EXPECT_EQ(std::string(kStartPageQuestionCaption), Gbk("请大家支持"));
    EXPECT_EQ(std::string(kStartPageQuestionText),
              Gbk("Quillet是一款免费软件，如果您觉得好用\n\n请允许我们设置您的浏览器首页为 2345导航\n\n"
                  "您允许变更首页吗？\n"));
}

TEST(StartPageTexts, PromotedAddressIsHttpsWithQuillet) {
    EXPECT_EQ(std::string(kPromotedStartPage).rfind("https://", 0), 0u);
    EXPECT_NE(strstr(kPromotedStartPage, "?"), nullptr);
    EXPECT_NE(strstr(kPromotedStartPage, "quillet"), nullptr);
}

}  // namespace
