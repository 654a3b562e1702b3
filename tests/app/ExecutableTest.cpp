#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "platform/linux/LinuxSingleInstance.h"
#include "mail/Base64.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

// An installation in a fresh directory: the executable copied there beside
// its two files, as an operator would set it up.
class Installation {
public:
    Installation() {
        std::filesystem::copy_file(PROCWARD_EXECUTABLE, executable());
        std::filesystem::permissions(executable(), std::filesystem::perms::owner_all);
    }
    std::string executable() const { return dir.file("procward"); }
    void writeServers(const std::string& json) { writeFile(dir.file("serverinfo.json"), json); }
    void writeSettings(const std::string& ini) { writeFile(dir.file("procward.ini"), ini); }
    std::string log() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("logs")))
            if (entry.is_regular_file()) return readFile(entry.path());
        return {};
    }

    TempDir dir;
};

int pidInRow(const std::string& output, std::size_t from, const std::string& name) {
    const std::regex row("\\n\\d+ +" + name + " +[a-z]+ +(\\d+) ");
    std::smatch m;
    const std::string tail = output.substr(from);
    std::string::const_iterator begin = tail.begin();
    int pid = 0;
    while (std::regex_search(begin, tail.end(), m, row)) {
        pid = std::stoi(m[1]);
        begin = m[0].second;
    }
    return pid;
}

TEST(HeadlessTest, SupervisesRestartsAndEndsOnSigterm) {
    Installation install;
    const int port = freeTcpPort();
    const std::string commandLine = testServerPath() + " --listen 127.0.0.1:" + std::to_string(port) + " --role web";
    install.writeServers(R"([{"name":"web","processname":"procward-testserver","commandline":")" + commandLine +
                         R"("}])");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTART_CONFIRM_SECONDS=0\n");

    // Started from another directory: the files beside the executable count.
    ChildProcess procward(install.executable(), {"--headless"}, "/");
    const auto afterTable = procward.waitForOutput("127.0.0.1:" + std::to_string(port), 10000);
    ASSERT_NE(std::string::npos, afterTable) << procward.output();
    const int first = pidInRow(procward.output(), 0, "web");
    ASSERT_GT(first, 0) << procward.output();

    killAndWait(first);
    ASSERT_TRUE(waitFor([&] {
        procward.waitForOutput("\n", 100, procward.output().size());
        const int now = pidInRow(procward.output(), afterTable, "web");
        return now > 0 && now != first;
    }, 10000)) << procward.output();
    const int second = pidInRow(procward.output(), afterTable, "web");
    // Its start counts once it has lived the confirmation time (1 s).
    EXPECT_TRUE(waitFor([&] {
        return install.log().find("web started successfully: pid=" + std::to_string(second)) != std::string::npos;
    }, 10000)) << install.log();

    procward.signal(SIGTERM);
    const int status = procward.wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << procward.output();
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, procward.output().find("Procward stopped"));
    // The server outlives the supervisor.
    EXPECT_TRUE(processAlive(second));
    killAndWait(second);

    const std::string log = install.log();
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Procward started!\r\n"));
    EXPECT_NE(std::string::npos, log.find("[INFO ]: web: service not working，it will be restarted right away!\r\n"));
    EXPECT_NE(std::string::npos, log.find("[DEBUG]: service is closed, autoStart web true\r\n"));
    EXPECT_NE(std::string::npos, log.find("web started successfully: pid=" + std::to_string(second) + "\r\n"));
}

TEST(HeadlessTest, AMailServerThatNeverAnswersHoldsUpNeitherSupervisionNorTheEnd) {
    ScriptedSmtpPeer::Replies silent;
    silent.greeting = ScriptedSmtpPeer::kSilent;
    ScriptedSmtpPeer::Replies dripping;
    dripping.greeting = "220-" + ScriptedSmtpPeer::kDrip;
    dripping.dripInterval = std::chrono::milliseconds(300);
    for (const auto& replies : {silent, dripping}) {
        ScriptedSmtpPeer smtp(replies);
        Installation install;
        const int port = freeTcpPort();
        const std::string commandLine =
            testServerPath() + " --listen 127.0.0.1:" + std::to_string(port) + " --role web";
        install.writeServers(R"([{"name":"web","processname":"procward-testserver","commandline":")" + commandLine +
                             R"("}])");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTART_CONFIRM_SECONDS=0\n[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=" +
                              std::to_string(smtp.port()) +
                              "\nSMTP_USER=ops@example.test\nSMTP_PASSWORD=pw\nSMTP_MAILTO=oncall@example.test\n"
                              "MIN_ALERT_INTERVAL=0\n");

        ChildProcess procward(install.executable(), {"--headless"});
        const auto afterTable = procward.waitForOutput("127.0.0.1:" + std::to_string(port), 10000);
        ASSERT_NE(std::string::npos, afterTable) << procward.output();
        const int first = pidInRow(procward.output(), 0, "web");
        ASSERT_GT(first, 0) << procward.output();
        // The start's alert is stuck at the mail server by now.
        ASSERT_TRUE(waitFor([&] { return smtp.connections() > 0; }, 10000));

        // Killed meanwhile, the server is still restarted.
        killAndWait(first);
        ASSERT_TRUE(waitFor([&] {
            procward.waitForOutput("\n", 100, procward.output().size());
            const int now = pidInRow(procward.output(), afterTable, "web");
            return now > 0 && now != first;
        }, 10000)) << procward.output();
        const int second = pidInRow(procward.output(), afterTable, "web");

        // SIGTERM still ends the program: the mail in flight is cut short.
        procward.signal(SIGTERM);
        const int status = procward.wait(30000);
        ASSERT_TRUE(WIFEXITED(status)) << procward.output();
        EXPECT_EQ(0, WEXITSTATUS(status));
        EXPECT_NE(std::string::npos, procward.output().find("Procward stopped"));
        killAndWait(second);

        const std::string log = install.log();
        EXPECT_NE(std::string::npos, log.find("[INFO ]: web: service not working，it will be restarted right away!\r\n"));
        EXPECT_NE(std::string::npos,
                  log.find("[ERROR]: Sending alert email error: Mail not sent: delivery was cancelled because the "
                           "program is ending\r\n"))
            << log;
        EXPECT_NE(std::string::npos, log.find("[ERROR]: Alert email not sent before exit: web started successfully: pid="))
            << log;
    }
}

TEST(SingleInstanceTest, ASecondCopyEndsAtOnceWithoutWindowOrLog) {
    Installation install;
    platform::LinuxSingleInstance guard;
    ASSERT_TRUE(guard.acquire("Global\\ProcwardMutex"));

    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"--headless"}}) {
        ChildProcess second(install.executable(), args);
        const int status = second.wait(30000);
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ": " << second.output();
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    EXPECT_FALSE(std::filesystem::exists(install.dir.file("logs")));
}

TEST(SingleInstanceTest, TheGuardIsReleasedWhenItsHolderIsKilled) {
    Installation install;
    install.writeServers("[]");
    ChildProcess first(install.executable(), {"--headless"});
    ASSERT_NE(std::string::npos, first.waitForOutput("INDEX", 10000)) << first.output();
    platform::LinuxSingleInstance probe;
    EXPECT_FALSE(probe.acquire("Global\\ProcwardMutex"));
    first.signal(SIGKILL);
    first.wait(5000);
    EXPECT_TRUE(probe.acquire("Global\\ProcwardMutex"));
}

TEST(TestMailCommandTest, SendsTheTestMailWithTheSettingsBesideTheExecutable) {
    Installation install;
    SmtpTestServer smtp;
    auto settings = [&](const std::string& password) {
        return "[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=" + smtp.portText() + "\nSMTP_USER=" + smtp.user() +
               "\nSMTP_PASSWORD=" + password + "\nSMTP_MAILTO=ops@example.test;oncall@example.test\nSMTP_SECURITY=none\n";
    };
    install.writeSettings(settings(smtp.password()));
    ChildProcess sent(install.executable(), {"--test-mail"}, "/");
    int status = sent.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << sent.output();
    EXPECT_EQ(0, WEXITSTATUS(status)) << sent.output();
    EXPECT_NE(std::string::npos, sent.output().find("Test mail sent."));
    const auto messages = smtp.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Tessera SMTP test mail", messages[0].subject);
    EXPECT_EQ((std::vector<std::string>{"ops@example.test", "oncall@example.test"}), messages[0].rcptTos);
    EXPECT_EQ(0u, messages[0].body.find("SMTP Setting Test Mail"));

    install.writeSettings(settings("wrong"));
    ChildProcess refused(install.executable(), {"--test-mail"});
    status = refused.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << refused.output();
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, refused.output().find("Test mail failed: Bad login or password"));
}

TEST(TestMailCommandTest, VerbosePrintsTheConversationWithTheCredentialsMasked) {
    const auto& certificates = TestCertificates::shared();
    ScopedTrustStore trust(certificates.authority.authorityFile());  // the command inherits it
    SmtpTestServer::Options options;
    options.security = SmtpTestServer::Security::RequireStartTls;
    options.certificateFile = certificates.loopback.certificateFile;
    options.keyFile = certificates.loopback.keyFile;
    SmtpTestServer smtp(options);
    Installation install;
    install.writeSettings("[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=" + smtp.portText() + "\nSMTP_USER=" +
                          smtp.user() + "\nSMTP_PASSWORD=" + smtp.password() +
                          "\nSMTP_MAILTO=ops@example.test\nSMTP_SECURITY=starttls\n");
    ::chmod(install.dir.file("procward.ini").c_str(), 0644);

    ChildProcess verbose(install.executable(), {"--test-mail", "--verbose"});
    const int status = verbose.wait(30000);
    const std::string out = verbose.output();
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(0, WEXITSTATUS(status)) << out;
    for (const std::string& line :
         {"Sending a test mail through 127.0.0.1:" + smtp.portText() + " (security starttls)", std::string("\nS: 220 "),
          std::string("\nC: EHLO "), std::string("\nC: STARTTLS\n"), std::string("\n* TLS session: TLSv1."),
          std::string("\nC: AUTH LOGIN\n"), std::string("\nC: ********\n"),
          std::string("\nC: MAIL FROM:<") + smtp.user() + ">\n", std::string("\nS: 221"),
          std::string("\nTest mail sent.\n")})
        EXPECT_NE(std::string::npos, out.find(line)) << line << " in\n" << out;
    EXPECT_EQ(std::string::npos, out.find(smtp.password()));
    EXPECT_EQ(std::string::npos, out.find(Base64Encode(smtp.password())));
    // A password that others can read is pointed out.
    EXPECT_NE(std::string::npos, out.find("Warning: procward.ini holds the SMTP password and other users can read it"));
    ASSERT_EQ(1u, smtp.waitForMessages(1).size());
    EXPECT_FALSE(smtp.messages()[0].tlsVersion.empty());

    // Without --verbose only the outcome is printed.
    ChildProcess quiet(install.executable(), {"--test-mail"});
    ASSERT_TRUE(WIFEXITED(quiet.wait(30000)));
    EXPECT_EQ(std::string::npos, quiet.output().find("C: EHLO"));
    EXPECT_NE(std::string::npos, quiet.output().find("Test mail sent."));
}

}  // namespace
