// Error texts, base64, header and body text rules, port text, alert interval.
#include <gtest/gtest.h>

#include "mail/AlertDispatch.h"
#include "mail/AlertThrottle.h"
#include "mail/Base64.h"
#include "mail/ECSmtp.h"
#include "mail/MimeText.h"

namespace {

std::string textOf(int code) { return ECSmtp(code).GetErrorText(); }

TEST(ECSmtpTest, EveryCodeHasItsFixedTextSpellingIncluded) {
    const std::pair<int, const char*> table[] = {
        {100, "Unable to initialise winsock2"},
        {101, "Wrong version of the winsock2"},
        {102, "Function send() failed"},
        {103, "Function recv() failed"},
        {104, "Function connect failed"},
        {105, "Unable to determine remote server"},
        {106, "Invalid winsock2 socket"},
        {107, "Function hostname() failed"},
        {108, "Function ioctlsocket() failed"},
        {110, "Improper IPv4 address"},
        {200, "Undefined message header"},
        {201, "Undefined mail sender"},
        {202, "Undefined message subject"},
        {203, "Undefined at least one reciepent"},
        {204, "Undefined user login"},
        {205, "Undefined user password"},
        {206, "Undefined recipent mail"},
        {300, "Server returned error after sending MAIL FROM"},
        {301, "Server returned error after sending EHLO"},
        {302, "Server returned error after sending AUTH LOGIN"},
        {303, "Server returned error after sending DATA"},
        {304, "Server returned error after sending QUIT"},
        {305, "Server returned error after sending RCPT TO"},
        {306, "Error in message body"},
        {400, "Server has closed the connection"},
        {401, "Server is not ready"},
        {402, "Server not responding"},
        {404, "File not exist"},
        {405, "Message is too big"},
        {406, "Bad login or password"},
        {407, "Undefined xyz SMTP response"},
        {408, "Lack of memory"},
        {409, "time() error"},
        {410, "RecvBuf is empty"},
        {411, "SendBuf is empty"},
        {412, "Specified line number is out of message size"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(text, textOf(code)) << code;
        EXPECT_EQ(code, ECSmtp(code).GetErrorCode());
    }
}

TEST(ECSmtpTest, CodesWithoutAnEntryAreUndefinedAndZeroIsEmpty) {
    EXPECT_EQ("", textOf(0));
    for (const int code : {109, 403, 999, -1, 1, 111, 413})
        EXPECT_EQ("Undefined error id", textOf(code)) << code;
}

TEST(Base64Test, EncodesTheRfc4648Vectors) {
    EXPECT_EQ("", Base64Encode(""));
    EXPECT_EQ("Zg==", Base64Encode("f"));
    EXPECT_EQ("Zm8=", Base64Encode("fo"));
    EXPECT_EQ("Zm9v", Base64Encode("foo"));
    EXPECT_EQ("Zm9vYg==", Base64Encode("foob"));
    EXPECT_EQ("Zm9vYmE=", Base64Encode("fooba"));
    EXPECT_EQ("Zm9vYmFy", Base64Encode("foobar"));
}

TEST(Base64Test, UsesTheWholeAlphabetForBinaryBytesWithoutLineBreaks) {
    const unsigned char high[] = {0xFB, 0xFF, 0xBF, 0x00, 0x10, 0x83};
    EXPECT_EQ("+/+/ABCD", Base64Encode(high, sizeof high));
    std::string many(300, '\xA5');
    const std::string encoded = Base64Encode(many);
    EXPECT_EQ(400u, encoded.size());
    EXPECT_EQ(std::string::npos, encoded.find_first_of("\r\n="));
}

TEST(MimeTextTest, StripLineBreaksRemovesEveryCrAndLf) {
    EXPECT_EQ("a>bRCPT TO:<x>", StripLineBreaks("a>\r\nb\rRCPT TO:<x>\n"));
    EXPECT_EQ("plain", StripLineBreaks("plain"));
}

TEST(MimeTextTest, AsciiHeaderTextStaysAsItIs) {
    EXPECT_FALSE(HasEightBitBytes("26300 Tessera =?not?= a word"));
    EXPECT_EQ("26300 Tessera", EncodeHeaderText("26300 Tessera", "UTF-8"));
    EXPECT_EQ("", EncodeHeaderText("", "UTF-8"));
}

TEST(MimeTextTest, EightBitHeaderTextBecomesEncodedWords) {
    EXPECT_TRUE(HasEightBitBytes("26300 \xE5\x91\x8A"));
    EXPECT_EQ("=?UTF-8?B?MjYzMDAg5ZGK6K2m6YKu5Lu2?=", EncodeHeaderText("26300 告警邮件", "UTF-8"));
}

TEST(MimeTextTest, LongEightBitTextIsSplitIntoShortWordsBetweenCharacters) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "告";  // 3 bytes each, 120 bytes
    const std::string encoded = EncodeHeaderText(text, "UTF-8");
    std::vector<std::string> words;
    std::size_t pos = 0;
    for (;;) {
        const auto end = encoded.find("\r\n ", pos);
        words.push_back(encoded.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) break;
        pos = end + 3;
    }
    ASSERT_EQ(3u, words.size());
    // 45 bytes per word, a multiple of 3, so every word holds whole characters.
    std::string fifteen;
    for (int i = 0; i < 15; ++i) fifteen += "告";
    EXPECT_EQ("=?UTF-8?B?" + Base64Encode(fifteen) + "?=", words[0]);
    EXPECT_EQ(words[0], words[1]);
    EXPECT_EQ("=?UTF-8?B?" + Base64Encode(text.substr(90)) + "?=", words[2]);
    for (const auto& w : words) EXPECT_LE(w.size(), 75u);

    // A two-byte character straddling the 45-byte mark moves to the next word.
    const std::string shifted = "a" + text;  // 121 bytes; byte 45 is inside a character
    const std::string encodedShifted = EncodeHeaderText(shifted, "UTF-8");
    const std::string first = encodedShifted.substr(0, encodedShifted.find("\r\n"));
    EXPECT_EQ("=?UTF-8?B?" + Base64Encode(shifted.substr(0, 43)) + "?=", first);
}

TEST(MimeTextTest, DataLinesEndEveryLineWithCrLfAndDoubleLeadingDots) {
    EXPECT_EQ("plain\r\n", DataLines("plain"));
    EXPECT_EQ("\r\n", DataLines(""));
    EXPECT_EQ("..hidden\r\n", DataLines(".hidden"));
    EXPECT_EQ("a\r\n..\r\nb\r\n", DataLines("a\n.\nb"));
    EXPECT_EQ("a\r\n..\r\nQUIT\r\n", DataLines("a\r\n.\r\nQUIT"));
    EXPECT_EQ("a\r\n..b\r\nc\r\n", DataLines("a\r.b\rc"));
    EXPECT_EQ("x.y\r\n\r\n\r\n", DataLines("x.y\n\n"));
}

TEST(SmtpPortFromTextTest, ReadsLeadingDigitsAndKeepsTheLow16Bits) {
    EXPECT_EQ(0, SmtpPortFromText(""));
    EXPECT_EQ(0, SmtpPortFromText("abc"));
    EXPECT_EQ(587, SmtpPortFromText("587"));
    EXPECT_EQ(4464, SmtpPortFromText("70000"));
    EXPECT_EQ(25, SmtpPortFromText(" 25 "));
    EXPECT_EQ(465, SmtpPortFromText("465abc"));
    EXPECT_EQ(65535, SmtpPortFromText("-1"));
}

TEST(AlertThrottleTest, FirstAlertPassesAndSetsTheReference) {
    AlertThrottle throttle;
    EXPECT_FALSE(throttle.Reference());
    EXPECT_TRUE(throttle.Pass(1000, 3600));
    EXPECT_EQ(1000, throttle.Reference());
    // Same second as the reference: elapsed 0 passes whatever the interval.
    EXPECT_TRUE(throttle.Pass(1000, 3600));
}

TEST(AlertThrottleTest, IntervalSuppressesAndReleasesAndMovesTheReference) {
    AlertThrottle throttle;
    EXPECT_TRUE(throttle.Pass(100, 5));
    EXPECT_FALSE(throttle.Pass(104, 5));
    EXPECT_EQ(100, throttle.Reference());
    EXPECT_TRUE(throttle.Pass(105, 5));
    EXPECT_EQ(105, throttle.Reference());
    EXPECT_FALSE(throttle.Pass(109, 5));
    EXPECT_TRUE(throttle.Pass(110, 5));
}

TEST(AlertThrottleTest, ZeroOrNegativeIntervalLetsEveryAlertThrough) {
    AlertThrottle throttle;
    for (std::int64_t t = 50; t < 55; ++t) EXPECT_TRUE(throttle.Pass(t, 0));
    EXPECT_TRUE(throttle.Pass(55, -10));
    throttle.Reset();
    EXPECT_FALSE(throttle.Reference());
}

}  // namespace
