#include <gtest/gtest.h>

#include "engine/Base64.h"

TEST(Base64Test, Rfc4648Vectors) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64Test, BasicCredentialsAndHighBytes) {
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Base64Encode("alice:"), "YWxpY2U6");
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\xfd\x00", 4)), "//79AA==");
}

TEST(Base64Test, LongInputHasNoLineBreaks) {
    std::string encoded = Base64Encode(std::string(300, 'x'));
    EXPECT_EQ(encoded.size(), 400u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}
