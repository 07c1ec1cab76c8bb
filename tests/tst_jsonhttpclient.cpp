#include <QtTest>
#include <QTextCodec>

#include <QJsonDocument>
#include <QNetworkReply>
#include <atomic>
#include <memory>
#include <mutex>

#include "protocol/jsonhttpclient.h"
#include "protocol/payloadcrypto.h"
#include "tests/support/hostilebytes.h"
#include "tests/support/loopbackserver.h"

namespace {
const std::string key = "Ab3dE5gH9k";

std::string encrypt(const std::string &plain, const std::string &keyText = key)
{
    return encryptAesCfbHex(keyText, requestIvText, plain);
}

// The cipher stops at a NUL, so encrypt a stand-in byte and flip it into a NUL: in CFB a changed
// ciphertext byte changes only the same plain byte and the block after it.
std::string encryptWithNulAt(std::string plain, int index)
{
    const char standIn = plain[index];
    std::string hex = encrypt(plain);
    const int flipped = std::stoi(hex.substr(2 * index, 2), nullptr, 16) ^ standIn;
    hex.replace(2 * index, 2, QByteArray(1, char(flipped)).toHex().toUpper().toStdString());
    return hex;
}

// Lets handlers that hold a connection open return once the test is over, so the server can stop.
struct Release
{
    std::shared_ptr<std::atomic<bool>> flag = std::make_shared<std::atomic<bool>>(false);
    ~Release() { *flag = true; }
    // A handler that answers only once released, or after 10 s.
    httplib::Server::Handler silent() const
    {
        return [release = flag](const httplib::Request &, httplib::Response &response) {
            for (int waited = 0; waited < 10000 && !*release; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            response.set_content("late", "text/plain");
        };
    }
};
}

class tst_jsonhttpclient : public QObject
{
    Q_OBJECT
private slots:
    void redirects_data();
    void redirects();
    void stalls_data();
    void stalls();
    void bodyLimit_data();
    void bodyLimit();
    void retries_data();
    void retries();
    void readJsonReply_data();
    void readJsonReply();
    void windowStaysLive();
    void cancelled_data();
    void cancelled();
};

void tst_jsonhttpclient::redirects_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("posts");

    QTest::newRow("no redirect") << "/hop/0" << false << 1;
    QTest::newRow("one absolute redirect") << "/hop/1" << false << 2;
    QTest::newRow("ten redirects") << "/hop/10" << false << 11;
    QTest::newRow("eleven redirects") << "/hop/11" << true << 11;
    QTest::newRow("loop") << "/loop" << true << 11;
    QTest::newRow("relative location") << "/relative" << true << 1;
}

void tst_jsonhttpclient::redirects()
{
    QFETCH(QString, path);
    QFETCH(bool, fails);
    QFETCH(int, posts);

    std::mutex mutex;
    QList<QPair<std::string, std::string>> received; // content type, body
    LoopbackServer server;
    const auto record = [&](const httplib::Request &request) {
        std::lock_guard<std::mutex> lock(mutex);
        received.append({request.get_header_value("Content-Type"), request.body});
    };
    server.http().Post(R"(/hop/(\d+))", [&](const httplib::Request &request, httplib::Response &response) {
        record(request);
        const int left = std::stoi(request.matches[1]);
        if (left == 0) {
            response.set_content("final reply", "text/plain");
        } else {
            response.status = 302;
            response.set_header("Location", server.url("/hop/%1").arg(left - 1).toStdString());
        }
    });
    server.http().Post("/loop", [&](const httplib::Request &request, httplib::Response &response) {
        record(request);
        response.status = 302;
        response.set_header("Location", server.url("/loop").toStdString());
    });
    server.http().Post("/relative", [&](const httplib::Request &request, httplib::Response &response) {
        record(request);
        response.status = 302;
        response.set_header("Location", "/hop/0");
    });
    server.start();

    JsonHttpClient client;
    QNetworkReply *reply = client.postJson(server.url(path), QJsonObject{{"value", "V"}, {"key", "K"}});
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error() != QNetworkReply::NoError, fails);
    if (!fails)
        QCOMPARE(reply->readAll(), QByteArray("final reply"));
    reply->deleteLater();

    std::lock_guard<std::mutex> lock(mutex);
    QCOMPARE(received.size(), posts);
    for (const auto &post : received) {
        QCOMPARE(post.first, std::string("application/json"));
        QCOMPARE(post.second, std::string("{\n    \"key\": \"K\",\n    \"value\": \"V\"\n}\n"));
    }
}

void tst_jsonhttpclient::stalls_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason"); // empty: the exchange succeeds

    const QString stalled = "Nothing arrived for 0.3 seconds";
    const QString late = "No complete reply within 2 seconds";
    QTest::newRow("never answers") << "/silent" << stalled;
    QTest::newRow("stalls mid-body") << "/stalling" << stalled;
    QTest::newRow("slow but steady") << "/trickle/10" << "";
    // Each byte comes just inside the stall limit; only the overall deadline ends it.
    QTest::newRow("trickle past the deadline") << "/trickle/40" << late;
    QTest::newRow("slow redirects past the deadline") << "/slowhop/10" << late;
}

void tst_jsonhttpclient::stalls()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);

    JsonHttpClient::Limits limits;
    limits.stallTimeoutMs = 300;
    limits.deadlineMs = 2000;

    LoopbackServer server;
    Release release;
    server.http().Post("/silent", release.silent());
    server.http().Post("/stalling", [release = release.flag](const httplib::Request &, httplib::Response &response) {
        response.set_content_provider(100, "text/plain",
            [release](size_t offset, size_t, httplib::DataSink &sink) {
                if (offset > 0) {
                    while (!*release)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    return false;
                }
                return sink.write("0123456789", 10);
            });
    });
    // One byte every 100 ms: never silent as long as the stall limit.
    server.http().Post(R"(/trickle/(\d+))", [release = release.flag](const httplib::Request &request,
                                                                     httplib::Response &response) {
        response.set_content_provider(std::stoull(request.matches[1]), "text/plain",
            [release](size_t, size_t, httplib::DataSink &sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return !*release && sink.write("x", 1);
            });
    });
    server.http().Post(R"(/slowhop/(\d+))", [&server](const httplib::Request &request, httplib::Response &response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const int left = std::stoi(request.matches[1]);
        response.status = left > 0 ? 302 : 200;
        response.set_header("Location", server.url("/slowhop/%1").arg(left - 1).toStdString());
    });
    server.start();

    QElapsedTimer clock;
    clock.start();
    JsonHttpClient client(limits);
    QNetworkReply *reply = client.postJson(server.url(path), {});
    QCOMPARE(reply->error() != QNetworkReply::NoError, !reason.isEmpty());
    QCOMPARE(client.errorString(), reason);
    QVERIFY(clock.elapsed() < 5000);
    if (reason.isEmpty())
        QCOMPARE(reply->readAll(), QByteArray(10, 'x'));
    reply->deleteLater();
}

void tst_jsonhttpclient::bodyLimit_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("fails");

    QTest::newRow("length, exactly the limit") << "/sized/1048576" << false;
    QTest::newRow("length, one byte over") << "/sized/1048577" << true;
    QTest::newRow("length of 1 GiB") << "/sized/1073741824" << true;
    QTest::newRow("chunked, exactly the limit") << "/chunked/1048576" << false;
    QTest::newRow("chunked, one byte over") << "/chunked/1048577" << true;
    // Ends after 256 MiB only so that a client without a limit fails the test instead of hanging.
    QTest::newRow("chunked, endless") << "/chunked/268435456" << true;
    // 256 KiB on the wire that would unpack to 256 MiB in memory.
    QTest::newRow("gzip although not accepted") << "/gzip" << true;
}

void tst_jsonhttpclient::bodyLimit()
{
    QFETCH(QString, path);
    QFETCH(bool, fails);

    const qint64 limit = 1 << 20;
    JsonHttpClient::Limits limits;
    limits.maxBodyBytes = limit;

    const std::string block(64 * 1024, 'z');
    LoopbackServer server;
    server.http().Post(R"(/sized/(\d+))", [&block](const httplib::Request &request, httplib::Response &response) {
        response.set_content_provider(std::stoull(request.matches[1]), "text/plain",
            [&block](size_t, size_t left, httplib::DataSink &sink) {
                return sink.write(block.data(), std::min(block.size(), left));
            });
    });
    server.http().Post(R"(/chunked/(\d+))", [&block](const httplib::Request &request, httplib::Response &response) {
        const size_t size = std::stoull(request.matches[1]);
        response.set_chunked_content_provider("text/plain", [&block, size](size_t offset, httplib::DataSink &sink) {
            if (offset >= size) {
                sink.done();
                return true;
            }
            // At most 64 MiB/s, as over a fast network: on loopback a server writing flat out
            // keeps the client's chunked reader busy in one read, which no limit of ours reaches.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return sink.write(block.data(), std::min(block.size(), size - offset));
        });
    });
    // Packed before the measure starts: only what the client holds counts.
    const std::string packed = path == "/gzip" ? gzipOfZeros(qint64(256) << 20) : std::string();
    server.http().Post("/gzip", [&packed](const httplib::Request &, httplib::Response &response) {
        response.set_header("Content-Encoding", "gzip");
        response.set_content(packed, "text/plain");
    });
    server.start();

    {
        // The first exchange of a process sets up the network stack; keep that out of the measure.
        JsonHttpClient warmUp;
        warmUp.postJson(server.url("/sized/10"), {})->deleteLater();
    }
    const bool measured = resetPeakMemory();
    const qint64 before = peakMemoryKiB();

    JsonHttpClient client(limits);
    QNetworkReply *reply = client.postJson(server.url(path), {});
    QCOMPARE(reply->error() != QNetworkReply::NoError, fails);
    if (!fails)
        QCOMPARE(reply->read(reply->bytesAvailable()).size(), limit); // as the client reads it
    reply->deleteLater();

    if (!measured)
        QSKIP("peak memory cannot be reset here");
    const qint64 growthKiB = peakMemoryKiB() - before;
    qDebug() << "peak RSS growth" << growthKiB << "KiB";
    QVERIFY2(growthKiB < 8 * 1024, qPrintable(QString("grew by %1 KiB").arg(growthKiB)));
}

void tst_jsonhttpclient::retries_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("posts");
    QTest::addColumn<bool>("fails");

    QTest::newRow("503 with Retry-After twice, then the answer") << "busy" << 3 << false;
    QTest::newRow("connection closed before the body, then the answer") << "cut" << 2 << false;
    QTest::newRow("500 every time: as many attempts as allowed") << "failing" << 4 << true;
    QTest::newRow("404: not tried again") << "gone" << 1 << true;
    QTest::newRow("Retry-After past the deadline: not waited for") << "later/60" << 1 << true;
    QTest::newRow("Retry-After too long to count: not waited for") << "later/9300000000000000" << 1 << true;
}

void tst_jsonhttpclient::retries()
{
    QFETCH(QString, mode);
    QFETCH(int, posts);
    QFETCH(bool, fails);

    std::atomic<int> received{0};
    LoopbackServer server;
    server.http().Post("/busy", [&](const httplib::Request &, httplib::Response &response) {
        if (++received < 3) {
            response.status = 503;
            response.set_header("Retry-After", "1");
        } else {
            response.set_content("answer", "text/plain");
        }
    });
    server.http().Post("/cut", [&](const httplib::Request &, httplib::Response &response) {
        if (++received > 1)
            return response.set_content("answer", "text/plain");
        response.set_content_provider(100, "text/plain", [](size_t, size_t, httplib::DataSink &) { return false; });
    });
    server.http().Post("/failing", [&](const httplib::Request &, httplib::Response &response) {
        ++received;
        response.status = 500;
    });
    server.http().Post("/gone", [&](const httplib::Request &, httplib::Response &response) {
        ++received;
        response.status = 404;
    });
    server.http().Post(R"(/later/(\d+))", [&](const httplib::Request &request, httplib::Response &response) {
        ++received;
        response.status = 503;
        response.set_header("Retry-After", request.matches[1].str());
    });
    server.start();

    JsonHttpClient::Limits limits;
    limits.deadlineMs = 10000;
    limits.retry.backoffBaseMs = 10;
    limits.retry.maxAttempts = 4;
    JsonHttpClient client(limits);
    QStringList notices;
    client.setRetryNotice([&](int waitMs, int nextAttempt, int maxAttempts, const QString &) {
        notices << QString("%1/%2").arg(nextAttempt).arg(maxAttempts);
        QVERIFY(waitMs < 2000);
    });
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = client.postJson(server.url("/" + mode), {});
    QCOMPARE(reply->error() != QNetworkReply::NoError, fails);
    if (!fails)
        QCOMPARE(reply->readAll(), QByteArray("answer"));
    reply->deleteLater();
    QCOMPARE(received.load(), posts);
    QCOMPARE(notices.size(), posts - 1);
    if (posts > 1)
        QCOMPARE(notices.last(), QString("%1/4").arg(posts));
    if (mode == "busy") // the waits the server asked for
        QVERIFY(clock.elapsed() >= 2000);
}

void tst_jsonhttpclient::readJsonReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("keyText");
    QTest::addColumn<QJsonObject>("expected");

    const QJsonObject object{{"a", 1}, {"b", "text"}};
    const std::string json = R"({"a": 1, "b": "text"})";
    const QString k = QString::fromStdString(key);
    const auto bytes = [](const std::string &text) { return QByteArray::fromStdString(text); };

    QTest::newRow("object") << bytes(encrypt(json)) << k << object;
    QTest::newRow("empty body") << QByteArray() << k << QJsonObject();
    QTest::newRow("NUL after the object") << bytes(encryptWithNulAt(json + "X{\"c\":", int(json.size())))
                                          << k << object;
    QTest::newRow("NUL inside the object") << bytes(encryptWithNulAt(R"({"a":X 1})", 5)) << k
                                           << QJsonObject();
    QTest::newRow("top-level array") << bytes(encrypt("[1, 2]")) << k << QJsonObject();
    QTest::newRow("wrong key") << bytes(encrypt(json, "Zz9yY8xX7w")) << k << QJsonObject();
    QTest::newRow("unencrypted json") << bytes(json) << k << QJsonObject();
    QTest::newRow("empty key text") << bytes(encrypt(json, "")) << QString() << QJsonObject();
    // Read with a Latin-1 locale, as a Western Windows has it: UTF-8 stays UTF-8, and what is no
    // UTF-8 is taken in the local code page.
    const QJsonObject name{{"name", QString::fromUtf8("J\u00fcrgen \u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \u30c6\u30b9\u30c8")}};
    QTest::newRow("UTF-8 beyond ASCII") << bytes(encrypt(QJsonDocument(name).toJson().toStdString())) << k << name;
    QTest::newRow("the local code page") << bytes(encrypt("{\"name\": \"J\xfcrgen\"}")) << k
                                         << QJsonObject{{"name", QString::fromUtf8("J\u00fcrgen")}};
}

void tst_jsonhttpclient::readJsonReply()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, keyText);
    QFETCH(QJsonObject, expected);

    LoopbackServer server;
    server.http().Post("/", [body](const httplib::Request &, httplib::Response &response) {
        response.set_content(body.toStdString(), "text/plain");
    });
    server.start();

    JsonHttpClient client;
    QPointer<QNetworkReply> reply = client.postJson(server.url("/"), {});
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QTextCodec *locale = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    const QJsonObject read = client.readJsonReply(reply, keyText);
    QTextCodec::setCodecForLocale(locale);
    QCOMPARE(read, expected);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(reply.isNull());
}

void tst_jsonhttpclient::windowStaysLive()
{
    LoopbackServer server;
    server.http().Post("/", [](const httplib::Request &, httplib::Response &response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        response.set_content("done", "text/plain");
    });
    server.start();

    bool fired = false;
    QTimer::singleShot(20, [&fired] { fired = true; });
    JsonHttpClient client;
    QNetworkReply *reply = client.postJson(server.url("/"), {});
    QVERIFY(fired);
    QCOMPARE(reply->readAll(), QByteArray("done"));
    reply->deleteLater();
}

// Closing the window ends a query at once, whatever it waits for.
void tst_jsonhttpclient::cancelled_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("waiting for the answer") << "/silent";
    QTest::newRow("waiting to try again") << "/busy";
}

void tst_jsonhttpclient::cancelled()
{
    QFETCH(QString, path);
    LoopbackServer server;
    Release release;
    server.http().Post("/silent", release.silent());
    server.http().Post("/busy", [](const httplib::Request &, httplib::Response &response) {
        response.status = 503;
        response.set_header("Retry-After", "60");
    });
    server.start();

    QElapsedTimer clock;
    clock.start();
    JsonHttpClient client;
    QTimer::singleShot(200, [&client] { client.cancel(); });
    QNetworkReply *reply = client.postJson(server.url(path), {});
    QVERIFY(reply->error() != QNetworkReply::NoError);
    QCOMPARE(client.errorString(), QString("The query was cancelled"));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    reply->deleteLater();
}

QTEST_MAIN(tst_jsonhttpclient)
#include "tst_jsonhttpclient.moc"
