// https in the window: a job for an https:// URL, and one whose http:// URL redirects to
// https://, both reach the TLS handshake (no refusal of the scheme), and a server that fails
// it fails the attempt with the reason on the thread's log page.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

namespace {

// Answers every connection on 127.0.0.1 at once with a plain-text HTTP error and closes it, so
// a TLS client's handshake fails straight away. Stops with its owner.
class PlainTextServer {
public:
    PlainTextServer() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port = ntohs(address.sin_port);
        loop = std::thread([this] { Serve(); });
    }
    ~PlainTextServer() {
        stop = true;
        if (loop.joinable()) loop.join();
        if (fd >= 0) ::close(fd);
    }
    int Port() const { return port; }

private:
    void Serve() {
        static const char kReply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        while (!stop) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) continue;
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            (void)::send(client, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
            ::shutdown(client, SHUT_RDWR);
            ::close(client);
        }
    }

    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread loop;
};

}  // namespace

class HttpsTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        config = std::make_unique<guitest::ConfigDir>();
        files = std::make_unique<testsupport::TempDir>();
    }
    void cleanup() {
        files.reset();
        config.reset();
    }

    void HandshakeFailureIsTheThreadsReason_data() {
        QTest::addColumn<bool>("redirected");
        QTest::newRow("https:// URL") << false;
        QTest::newRow("http:// redirected to https://") << true;
    }
    void HandshakeFailureIsTheThreadsReason() {
        QFETCH(bool, redirected);
        PlainTextServer tls;
        QVERIFY(tls.Port() > 0);
        const std::string secure = "https://127.0.0.1:" + std::to_string(tls.Port()) + "/s.bin";
        testsupport::FakeHttpOptions options;
        options.body = "unused";
        options.headStatus = 302;
        options.getStatus = 302;
        options.location = secure;
        testsupport::FakeHttpServer plain(options);

        FtpForm form;
        form.textb_1->setText(QString::fromStdString(redirected ? plain.Url("/s.bin") : secure));
        form.textb_2->setText(QString::fromStdString(files->File("s.bin")));
        form.textb_4->setText("1");
        QVERIFY(form.cb_1->isEnabled());
        form.cb_1->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.Job()->IsFinished(), 20000);
        QTRY_COMPARE(form.progb_1->text(), QString("Job failed"));

        const std::string log = guitest::PageText(form.Page(0));
        QVERIFY2(log.find("TLS handshake with 127.0.0.1 failed: ") != std::string::npos,
                 log.c_str());
        QVERIFY(log.find("not fetched here") == std::string::npos);
        QCOMPARE(log.find("Redirect 1 of 10 (status 302) to " + secure) != std::string::npos,
                 redirected);
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
    std::unique_ptr<testsupport::TempDir> files;
};

QTEST_MAIN(HttpsTest)
#include "HttpsTest.moc"
