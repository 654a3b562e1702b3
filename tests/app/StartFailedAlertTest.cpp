// A server whose program cannot be started: an error in the log with the
// system's reason, and an alert mailed through a real SMTP server; without
// an SMTP server no mail is tried at all.
#include <gtest/gtest.h>

#include "tests/app/Installation.h"
#include "tests/support/SmtpTestServer.h"

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// An entry whose program does not exist.
std::string missing(const std::string& name) {
    return R"({"name":")" + name + R"(","processname":")" + name + R"(","commandline":"/nonexistent/)" + name +
           R"( --port 1"})";
}

TEST(StartFailedAlertTest, AMissingProgramIsAnErrorWithItsReasonAndAMail) {
    SmtpTestServer smtp;
    Installation install;
    // Many servers failing at every check: the minimum interval lets the
    // first alerts through, and later ones as it allows.
    std::string list = "[" + missing("gs1");
    for (int i = 2; i <= 30; ++i) list += "," + missing("gs" + std::to_string(i));
    install.writeServers(list + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=" +
                          smtp.portText() + "\nSMTP_USER=" + smtp.user() + "\nSMTP_PASSWORD=" + smtp.password() +
                          "\nSMTP_MAILTO=ops@example.test\nSMTP_SECURITY=none\nMIN_ALERT_INTERVAL=1\n");
    install.start();

    const std::vector<ReceivedMessage> mails = smtp.waitForMessages(2, std::chrono::seconds(30));
    ASSERT_GE(mails.size(), 2u) << install.log();
    EXPECT_EQ("gs1 could not be started: cannot execute '/nonexistent/gs1': No such file or directory",
              mails[0].body.substr(0, mails[0].body.find('\n')));
    EXPECT_NE(std::string::npos, mails[1].body.find("': No such file or directory"))
        << mails[1].body;
    const std::string log = install.log();
    EXPECT_NE(std::string::npos, log.find("[ERROR]: gs1 could not be started: cannot execute '/nonexistent/gs1': No such file or directory\r\n")) << log;
    // Launches are made in slices: on a slow machine the last of the thirty
    // may come after the first mails.
    const std::string last =
        "[ERROR]: gs30 could not be started: cannot execute '/nonexistent/gs30': No such file or directory\r\n";
    EXPECT_TRUE(waitFor([&] { return install.log().find(last) != std::string::npos; }, 30000)) << install.log();
    EXPECT_EQ(std::string::npos, log.find("alert mail off"));
}

TEST(StartFailedAlertTest, WithoutAnSmtpServerNoMailIsTriedAndThatIsSaidOnce) {
    Installation install;
    install.writeServers("[" + missing("gs1") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[ALERT_MAIL]\nSMTP_MAILTO=ops@example.test\n");
    install.start();
    // Three failed starts, each of them an alert.
    ASSERT_TRUE(waitFor([&] { return occurrences(install.log(), "gs1 could not be started") >= 3; }, 20000))
        << install.log();
    const std::string log = install.log();
    EXPECT_EQ(1u, occurrences(log, "[INFO ]: alert mail off: no SMTP server\r\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Sending alert email error")) << log;
    EXPECT_EQ(std::string::npos, log.find("alert not mailed")) << log;
    // Said before the first alert, at the start.
    EXPECT_LT(log.find("alert mail off"), log.find("gs1 could not be started"));
}

}  // namespace
