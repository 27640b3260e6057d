// FTP reply framing and the pure parsers: sizes, PASV, PORT, proxy user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FtpParse.h"

namespace {

using Status = FtpReplyReader::Status;

// Feeds the text in pieces cut at the given offsets; returns the status after each piece.
std::vector<Status> FeedSplit(FtpReplyReader& reader, const std::string& text,
                              const std::vector<size_t>& cuts) {
    std::vector<Status> result;
    size_t from = 0;
    for (size_t cut : cuts) {
        result.push_back(reader.Feed(std::string_view(text).substr(from, cut - from)));
        from = cut;
    }
    result.push_back(reader.Feed(std::string_view(text).substr(from)));
    return result;
}

TEST(FtpReplyReaderTest, SingleLineNeedsFinalCrlf) {
    FtpReplyReader reader;
    EXPECT_EQ(reader.Feed("220 Ready"), Status::NeedMore);
    EXPECT_EQ(reader.Feed("\r"), Status::NeedMore);
    EXPECT_EQ(reader.Feed("\n"), Status::Complete);
    EXPECT_EQ(reader.Text(), "220 Ready\r\n");
    EXPECT_EQ(reader.Code(), 220);
}

TEST(FtpReplyReaderTest, CodeSplitBeforeItsDash) {
    // The dash that makes the reply multi-line arrives in the second chunk.
    const std::string text = "220-Welcome\r\n220 Ready\r\n";
    FtpReplyReader reader;
    auto states = FeedSplit(reader, text, {2, 13});
    EXPECT_EQ(states, (std::vector<Status>{Status::NeedMore, Status::NeedMore, Status::Complete}));
    EXPECT_EQ(reader.Text(), text);
    EXPECT_EQ(reader.Code(), 220);
}

TEST(FtpReplyReaderTest, MultiLineCompleteAtEverySplit) {
    // Every single cut and every pair of cuts: complete exactly when the whole text is in.
    const std::string text =
        "213-Status of /f:\r\n-rw-r--r-- 1 u g 48213 Jan 01 00:00 f\r\n 213 x\r\n213 End\r\n";
    for (size_t a = 1; a < text.size(); ++a) {
        for (size_t b = a; b < text.size(); b += 7) {
            FtpReplyReader reader;
            auto states = FeedSplit(reader, text, {a, b});
            for (size_t i = 0; i + 1 < states.size(); ++i) {
                ASSERT_EQ(states[i], Status::NeedMore) << "cuts " << a << "," << b;
            }
            ASSERT_EQ(states.back(), Status::Complete) << "cuts " << a << "," << b;
            ASSERT_EQ(reader.Text(), text);
        }
    }
}

TEST(FtpReplyReaderTest, MultiLineLinesThatLookLikeEnds) {
    FtpReplyReader reader;
    // A line ending in CRLF, a line starting with another code, a line "213-" and an indented
    // code: none closes the reply.
    EXPECT_EQ(reader.Feed("213-a\r\n"), Status::NeedMore);
    EXPECT_EQ(reader.Feed("200 other\r\n"), Status::NeedMore);
    EXPECT_EQ(reader.Feed("213-more\r\n"), Status::NeedMore);
    EXPECT_EQ(reader.Feed(" 213 indented\r\n"), Status::NeedMore);
    // The closing line is there, but not yet its CRLF.
    EXPECT_EQ(reader.Feed("213 end"), Status::NeedMore);
    EXPECT_EQ(reader.Feed("\r\n"), Status::Complete);
    EXPECT_EQ(reader.Code(), 213);
    // Ignored once complete.
    EXPECT_EQ(reader.Feed("junk"), Status::Complete);
    EXPECT_EQ(reader.Text().find("junk"), std::string::npos);
}

TEST(FtpReplyReaderTest, CapAt64KiB) {
    FtpReplyReader reader;
    std::string line = "220-" + std::string(1000, 'x') + "\r\n";
    Status st = Status::NeedMore;
    int lines = 0;
    while (st == Status::NeedMore && lines < 200) {
        st = reader.Feed(line);
        ++lines;
    }
    EXPECT_EQ(st, Status::TooLarge);
    EXPECT_EQ(lines, 66);  // 66 * 1006 bytes is the first total above 65536

    // Exactly at the cap is still a reply.
    FtpReplyReader exact;
    std::string big = "220 " + std::string(kMaxFtpReplyBytes - 6, 'y') + "\r\n";
    EXPECT_EQ(exact.Feed(big), Status::Complete);
    FtpReplyReader over;
    EXPECT_EQ(over.Feed(big + "x"), Status::TooLarge);
}

TEST(FtpReplyCodeTest, Forms) {
    EXPECT_EQ(FtpReplyCode("227 Entering"), 227);
    EXPECT_EQ(FtpReplyCode("550\r\n"), 550);
    EXPECT_EQ(FtpReplyCode("garbage"), 0);
    EXPECT_EQ(FtpReplyCode(""), 0);
    EXPECT_GE(FtpReplyCode("99999999999999999999999 x"), 0);  // no overflow, no crash
    EXPECT_GE(FtpReplyCode("9999999999 x"), 400);
}

TEST(FtpSizeReplyTest, SizeReply) {
    EXPECT_EQ(ParseFtpSizeReply("213 48213\r\n", true), 48213);
    EXPECT_EQ(ParseFtpSizeReply("213 0\r\n", true), 0);
    EXPECT_EQ(ParseFtpSizeReply("213 5368709120\r\n", true), 5368709120LL);  // 5 GiB
    EXPECT_EQ(ParseFtpSizeReply("213 -5\r\n", true), -1);
    EXPECT_EQ(ParseFtpSizeReply("213 abc\r\n", true), -1);
    EXPECT_EQ(ParseFtpSizeReply("213\r\n", true), -1);
    EXPECT_EQ(ParseFtpSizeReply("213 99999999999999999999\r\n", true), -1);
    EXPECT_EQ(ParseFtpSizeReply("", true), -1);
    // The size is the whole word: no separators, fractions or signs read as a shorter number.
    for (const char* loose :
         {"213 300,007\r\n", "213 100002.5\r\n", "213 +5\r\n", "213 5k\r\n", "213 0x10\r\n"}) {
        EXPECT_EQ(ParseFtpSizeReply(loose, true), -1) << loose;
    }
    EXPECT_EQ(ParseFtpSizeReply("213 -rw-r--r-- 1 u g 300,007 Jan 01 00:00 f\r\n", false), -1);
}

TEST(FtpSizeReplyTest, StatMultiLine) {
    EXPECT_EQ(ParseFtpSizeReply("213-Status follows:\r\n-rw-r--r--    1 1000     1000     "
                                "    48213 Jan 01 00:00 f.bin\r\n213 End of status\r\n",
                                false),
              48213);
    // proftpd indents the listing line.
    EXPECT_EQ(ParseFtpSizeReply("211-Status of /f.bin:\r\n -rw-r--r--   1 ftp      ftp      "
                                "5368709120 Jan 01 00:00 f.bin\r\n211 End of status\r\n",
                                false),
              5368709120LL);
    // No listing line, a listing without a numeric link count, a negative size.
    EXPECT_EQ(ParseFtpSizeReply("213-Status\r\n213 End\r\n", false), -1);
    EXPECT_EQ(ParseFtpSizeReply("213-Status\r\n-rw-r--r-- x u g 5 Jan\r\n213 E\r\n", false), -1);
    EXPECT_EQ(ParseFtpSizeReply("213-Status\r\n-rw-r--r-- 1 u g -5 Jan\r\n213 E\r\n", false), -1);
    EXPECT_EQ(ParseFtpSizeReply("213-no line end", false), -1);
}

TEST(FtpSizeReplyTest, StatSingleLine) {
    EXPECT_EQ(ParseFtpSizeReply("213 -rw-r--r-- 1 owner group 48213 Jan 01 00:00 f\r\n", false),
              48213);
    EXPECT_EQ(ParseFtpSizeReply("213 File status okay\r\n", false), -1);
    EXPECT_EQ(ParseFtpSizeReply("213 -rw-r--r-- 1 owner group\r\n", false), -1);
    // A SIZE-style reply is not a listing.
    EXPECT_EQ(ParseFtpSizeReply("213 48213\r\n", false), -1);
}

TEST(FtpPasvReplyTest, Forms) {
    std::string address;
    int port = 0;
    ASSERT_TRUE(
        ParsePasvReply("227 Entering Passive Mode (192,168,1,2,19,137).\r\n", address, port));
    EXPECT_EQ(address, "192.168.1.2");
    EXPECT_EQ(port, 5001);

    ASSERT_TRUE(ParsePasvReply("227 entering passive mode (127,0,0,1,200,1)\r\n", address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 200 * 256 + 1);

    // Spaces around the numbers; zero-padded parts are read as decimal.
    ASSERT_TRUE(ParsePasvReply("227 =( 10, 0,010,5 ,0,21 )\r\n", address, port));
    EXPECT_EQ(address, "10.0.10.5");
    EXPECT_EQ(port, 21);
}

// Only the closing line of a multi-line 227 is the answer; earlier lines may carry a decoy.
TEST(FtpPasvReplyTest, MultiLineTakesTheLastLine) {
    std::string address;
    int port = 0;
    ASSERT_TRUE(
        ParsePasvReply("227-Passive\r\n150 (127,0,0,2,1,2)\r\n227 Entering Passive "
                       "Mode (127,0,0,1,3,4)\r\n",
                       address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 3 * 256 + 4);
    EXPECT_FALSE(
        ParsePasvReply("227-(127,0,0,2,1,2)\r\n227 Entering Passive Mode\r\n", address, port));
}

TEST(FtpPasvReplyTest, Garbage) {
    std::string address = "unchanged";
    int port = -7;
    for (const char* reply : {
             "227 Entering Passive Mode 127,0,0,1,4,1\r\n",  // no parentheses
             "227 (127,0,0,1,4,1\r\n",                       // not closed
             "227 (127,0,0,1,4)\r\n",                        // five numbers
             "227 (127,0,0,1,4,1,9)\r\n",                    // seven
             "227 (127,0,0,256,4,1)\r\n",                    // address part out of range
             "227 (127,0,0,1,256,1)\r\n",                    // port part out of range
             "227 (127,0,0,1,-1,1)\r\n",                     // sign
             "227 (127,0,0,1,0,0)\r\n",                      // port 0
             "227 (a,b,c,d,e,f)\r\n",                        // letters
             "227 (127,,0,1,4,1)\r\n",                       // empty field
             "227 (1270,0,0,1,4,1)\r\n",                     // too many digits
             "",
         }) {
        EXPECT_FALSE(ParsePasvReply(reply, address, port)) << reply;
    }
    EXPECT_EQ(address, "unchanged");
    EXPECT_EQ(port, -7);
}

TEST(FtpPortCommandTest, Forms) {
    EXPECT_EQ(FormatPortCommand("10.0.0.5", 5001), "PORT 10,0,0,5,19,137\r\n");
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 65535), "PORT 127,0,0,1,255,255\r\n");
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 255), "PORT 127,0,0,1,0,255\r\n");
    // Round trip through the PASV parser.
    std::string address;
    int port = 0;
    ASSERT_TRUE(ParsePasvReply("(" + FormatPortCommand("192.168.7.9", 40000).substr(5) + ")",
                               address, port));
    EXPECT_EQ(address, "192.168.7.9");
    EXPECT_EQ(port, 40000);
}

TEST(FtpProxyUserTest, PortOnlyWhenNot21) {
    EXPECT_EQ(FtpProxyUser("anonymous", "ftp.example.org", 21), "anonymous@ftp.example.org");
    EXPECT_EQ(FtpProxyUser("bob", "ftp.example.org", 2121), "bob@ftp.example.org:2121");
}

}  // namespace
