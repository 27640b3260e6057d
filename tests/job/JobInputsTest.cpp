// The target name proposed from a URL and the refusal of secure URLs.
#include <gtest/gtest.h>

#include "job/JobInputs.h"
#include "net/AsciiText.h"

TEST(ProposeTargetName, LastPathElementUpToTheQuery) {
    EXPECT_EQ(ProposeTargetName("ftp://host/pub/file.zip"), "file.zip");
    EXPECT_EQ(ProposeTargetName("http://host/get.cgi?id=7"), "get.cgi");
    // The last "/" lies inside the query.
    EXPECT_EQ(ProposeTargetName("http://host/get.cgi?name=a/b"), "b");
    EXPECT_EQ(ProposeTargetName("http://host/get.cgi?name=a/b?c"), "b");
    EXPECT_EQ(ProposeTargetName("http://host/dir/"), "");
    EXPECT_EQ(ProposeTargetName("http://host/a?"), "a");
    // No path: the host after "//" is proposed, as the window does.
    EXPECT_EQ(ProposeTargetName("http://host"), "host");
    // Blanks around the text are ignored.
    EXPECT_EQ(ProposeTargetName("  http://host/x.bin \t\r\n"), "x.bin");
}

TEST(ProposeTargetName, NoSlashLeavesTheBoxAlone) {
    EXPECT_FALSE(ProposeTargetName("file.zip").has_value());
    EXPECT_FALSE(ProposeTargetName("").has_value());
    EXPECT_FALSE(ProposeTargetName("   ").has_value());
    // An empty proposal is a value, not "leave alone".
    EXPECT_TRUE(ProposeTargetName("/").has_value());
}

TEST(IsRefusedUrl, LowerCaseHttpsOnTheTrimmedText) {
    EXPECT_TRUE(IsRefusedUrl("https://host/file"));
    EXPECT_TRUE(IsRefusedUrl(" https://host/file"));
    EXPECT_TRUE(IsRefusedUrl("\thttps://"));
    EXPECT_FALSE(IsRefusedUrl("HTTPS://host/file"));
    EXPECT_FALSE(IsRefusedUrl("Https://host/file"));
    EXPECT_FALSE(IsRefusedUrl("http://host/https://x"));
    EXPECT_FALSE(IsRefusedUrl("ftp://host/file"));
    EXPECT_FALSE(IsRefusedUrl("https:/host"));
    EXPECT_FALSE(IsRefusedUrl(""));
}

TEST(TrimAscii, BothEnds) {
    EXPECT_EQ(TrimAscii(" \t a b \r\n"), "a b");
    EXPECT_EQ(TrimAscii("   "), "");
    EXPECT_EQ(TrimAscii(" \ta\t \r", " \t", " \t\r"), "a");
    EXPECT_EQ(TrimAscii("x"), "x");
}
