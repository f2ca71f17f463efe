#include <iconv.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "base64_encode.h"
#include "start_page_texts.h"

namespace {

// The RFC 4648 vectors give every tail length; the high bytes must not
// sign-extend into the next sextet.
TEST(Base64Encode, VectorsAndHighBytes) {
    const struct {
        const char *source, *encoded;
    } vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff", "/w=="},
        {"\xff\xfe", "//4="},
        {"\xff\xfe\xfd", "//79"},
        {"\x80\x01\xc0\x7f", "gAHAfw=="},
        {"\xfb\xef\xbe\xfb\xef", "++++++8="},
    };
    for (const auto &vector : vectors) {
        // Room for the text, its zero and a guard that must stay untouched.
        size_t length = BASE64_ENCODED_LENGTH(strlen(vector.source));
        std::string out(length + 8, '#');
        Base64Encode(vector.source, &out[0]);
        EXPECT_EQ(out.substr(0, length), vector.encoded);
        EXPECT_EQ(out.substr(length), std::string(1, '\0') + std::string(7, '#'));
    }
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
// than trusted as escaped bytes. The promoted address must be https: Quillet
// runs elevated.
TEST(StartPageTexts, QuestionIsGbkAndAddressHttps) {
    EXPECT_EQ(std::string(kStartPageQuestionCaption), Gbk("请大家支持"));
    EXPECT_EQ(std::string(kStartPageQuestionText),
              Gbk("Quillet是一款免费软件，如果您觉得好用\n\n请允许我们设置您的浏览器首页为 2345导航\n\n"
                  "您允许变更首页吗？\n"));
    EXPECT_EQ(std::string(kPromotedStartPage).rfind("https://", 0), 0u);
}

}  // namespace
