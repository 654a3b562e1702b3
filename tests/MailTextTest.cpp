// Error texts, base64, header and body text rules, port text, alert interval.
#include <gtest/gtest.h>

#include "mail/AlertDispatch.h"
#include "mail/AlertThrottle.h"
#include "mail/Base64.h"
#include "mail/ECSmtp.h"
#include "mail/MimeText.h"
#include "mail/SmtpCapabilities.h"

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
        {109, "Cannot connect to the mail server"},
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
        {307, "Server returned error after sending AUTH PLAIN"},
        {400, "Server has closed the connection"},
        {401, "Server is not ready"},
        {402, "Server not responding"},
        {403, "Connection to the mail server timed out"},
        {404, "File not exist"},
        {405, "Message is too big"},
        {406, "Bad login or password"},
        {407, "Undefined xyz SMTP response"},
        {408, "Lack of memory"},
        {409, "time() error"},
        {410, "RecvBuf is empty"},
        {411, "SendBuf is empty"},
        {412, "Specified line number is out of message size"},
        {413, "Mail server too slow: the mail was not sent within the time allowed"},
        {414, "Mail not sent: delivery was cancelled because the program is ending"},
        {415, "Message is larger than the mail server accepts"},
        {416,
         "The mail server offers no TLS; the password is not sent over an unprotected connection (set "
         "SMTP_SECURITY=none to allow it)"},
        {500, "TLS is not available"},
        {501, "TLS handshake failed"},
        {502, "Server certificate not trusted"},
        {503, "Server certificate does not match the host name"},
        {504, "Server does not offer STARTTLS, which the settings require"},
        {505, "Server refused STARTTLS"},
        {506, "TLS connection failed"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(text, textOf(code)) << code;
        EXPECT_EQ(code, ECSmtp(code).GetErrorCode());
    }
}

TEST(ECSmtpTest, CodesWithoutAnEntryAreUndefinedAndZeroIsEmpty) {
    EXPECT_EQ("", textOf(0));
    for (const int code : {999, -1, 1, 111, 417, 507})
        EXPECT_EQ("Undefined error id", textOf(code)) << code;
}

TEST(ECSmtpTest, ServerRepliesFollowInParenthesesAndReasonsAfterAColon) {
    EXPECT_EQ("Server returned error after sending RCPT TO (550 5.1.1 no such user)",
              ECSmtp(305, "550 5.1.1 no such user").GetErrorText());
    EXPECT_EQ("Bad login or password (535 5.7.8 Authentication credentials invalid)",
              ECSmtp(406, "535 5.7.8 Authentication credentials invalid").GetErrorText());
    EXPECT_EQ("Cannot connect to the mail server: Connection refused", ECSmtp(109, "Connection refused").GetErrorText());
    EXPECT_EQ("Server certificate not trusted: unable to get local issuer certificate",
              ECSmtp(502, "unable to get local issuer certificate").GetErrorText());
    EXPECT_EQ("Server certificate does not match the host name: mail.example.test",
              ECSmtp(503, "mail.example.test").GetErrorText());
    // Without a detail the text stands alone; an unknown code keeps its detail.
    EXPECT_EQ("Cannot connect to the mail server", ECSmtp(109).GetErrorText());
    EXPECT_EQ("Undefined error id (599 odd)", ECSmtp(999, "599 odd").GetErrorText());
    EXPECT_EQ("550 5.1.1 no such user", ECSmtp(305, "550 5.1.1 no such user").GetDetail());
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

TEST(MimeTextTest, DataLineLimitCountsEachLineAsItGoesOut) {
    const std::string longest(kDataLineLimit, 'a');
    EXPECT_TRUE(FitsDataLineLimit(""));
    EXPECT_TRUE(FitsDataLineLimit(longest));
    EXPECT_FALSE(FitsDataLineLimit(longest + "a"));
    // Each line counts on its own, whatever ends it.
    EXPECT_TRUE(FitsDataLineLimit(longest + "\n" + longest + "\r\n" + longest + "\r" + longest));
    EXPECT_FALSE(FitsDataLineLimit("short\r\n" + longest + "b\nshort"));
    // A leading dot is doubled on the way, so it counts twice.
    EXPECT_TRUE(FitsDataLineLimit("." + std::string(kDataLineLimit - 2, 'a')));
    EXPECT_FALSE(FitsDataLineLimit("x\n." + std::string(kDataLineLimit - 1, 'a')));
    EXPECT_TRUE(FitsDataLineLimit("a" + std::string(kDataLineLimit - 1, '.')));
}

TEST(MimeTextTest, FileNameParameterIsQuotedWhenAsciiAndRfc2231Otherwise) {
    EXPECT_EQ("filename=\"report 1.txt\"", FileNameParameter("filename", "report 1.txt", "UTF-8"));
    EXPECT_EQ("name*=UTF-8''%E6%8A%A5%E5%91%8A%20v1.txt", FileNameParameter("name", "报告 v1.txt", "UTF-8"));
    // Separators and quotes of a parameter value are escaped as well.
    EXPECT_EQ("filename*=GBK''%B1%A8%22%3B%25%27a", FileNameParameter("filename", "\xB1\xA8\";%'a", "GBK"));
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
    EXPECT_FALSE(throttle.Ends(5));
    EXPECT_TRUE(throttle.Pass(1000, 3600));
    EXPECT_EQ(1000, throttle.Reference());
    // The same second as the reference is within the interval: a burst
    // raised in one second is held back after its first alert.
    EXPECT_FALSE(throttle.Pass(1000, 3600));
    EXPECT_EQ(4600, throttle.Ends(3600));
    // A digest mailed at 4600 moves the reference without asking.
    throttle.Restart(4600);
    EXPECT_FALSE(throttle.Pass(4601, 3600));
    EXPECT_TRUE(throttle.Pass(8200, 3600));
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
    EXPECT_TRUE(throttle.Pass(55, 0));  // the same second too
    EXPECT_TRUE(throttle.Pass(55, -10));
    EXPECT_EQ(55, throttle.Ends(-10));
    throttle.Reset();
    EXPECT_FALSE(throttle.Reference());
}

TEST(SmtpCapabilitiesTest, ReadsTheExtensionsOfAnEhloReply) {
    const auto caps = SmtpCapabilities::FromEhloReply({"250-mail.example.test greets client.example.test",
                                                       "250-PIPELINING", "250-size 35882577", "250-STARTTLS",
                                                       "250-AUTH PLAIN xoauth2", "250-AUTH=LOGIN", "250 8bitmime"});
    EXPECT_TRUE(caps.startTls);
    EXPECT_TRUE(caps.authPlain);
    EXPECT_TRUE(caps.authLogin);
    EXPECT_TRUE(caps.eightBitMime);
    EXPECT_EQ(35882577u, caps.sizeLimit);
}

TEST(SmtpCapabilitiesTest, TheGreetingLineAndUnknownWordsOfferNothing) {
    // The first line names the server, whatever it says.
    const auto caps = SmtpCapabilities::FromEhloReply(
        {"250-STARTTLS AUTH LOGIN 8BITMIME", "250-AUTH CRAM-MD5 XLOGIN PLAINTEXT", "250-SIZE", "250-SIZE 12x",
         "250 X-STARTTLS"});
    EXPECT_FALSE(caps.startTls);
    EXPECT_FALSE(caps.authLogin);
    EXPECT_FALSE(caps.authPlain);
    EXPECT_FALSE(caps.eightBitMime);
    EXPECT_EQ(0u, caps.sizeLimit);
    EXPECT_FALSE(SmtpCapabilities::FromEhloReply({"250 only a name"}).startTls);
}

}  // namespace
