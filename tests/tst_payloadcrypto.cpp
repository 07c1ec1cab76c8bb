#include "protocol/payloadcrypto.h"
#include "service/servicekeypair.h"
#include "tests/support/testfiles.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

// Known answers come from the openssl command line, an implementation independent of ours.
class PayloadCryptoTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    const QString demoPrivateKey = SOURCE_DIR "/service/demo-keys/private.der";

    static QByteArray openssl(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        process.start("openssl", arguments);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(30000) || process.exitCode() != 0)
            qWarning() << "openssl" << arguments << process.readAllStandardError();
        return process.readAllStandardOutput();
    }

    static std::string demoPublicKey()
    {
        return readFile(SOURCE_DIR "/service/demo-keys/public.hex").trimmed().toStdString();
    }

    ServiceKeyPair demoPair() const
    {
        return ServiceKeyPair::fromPrivateKeyDer(readFile(demoPrivateKey).toStdString());
    }

    // The message openssl recovers from one of our hex ciphertexts with a private key file.
    QByteArray opensslRsaDecrypt(const std::string &hex, const QString &privateKeyFile)
    {
        const QString input = temp.filePath("cipher.bin");
        if (!writeFile(input, QByteArray::fromHex(QByteArray::fromStdString(hex))))
            return {};
        return openssl({"pkeyutl", "-decrypt", "-inkey", privateKeyFile, "-keyform", "DER", "-in", input,
                        "-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt", "rsa_oaep_md:sha1"});
    }

private slots:
    void aesMatchesOpenssl_data()
    {
        QTest::addColumn<QByteArray>("keyText");
        QTest::addColumn<QByteArray>("ivText");
        QTest::addColumn<QByteArray>("plain");
        // The key and IV the cipher must really run with, spelt out.
        QTest::addColumn<QByteArray>("shapedKey");
        QTest::addColumn<QByteArray>("shapedIv");

        const QByteArray request = "{\n    \"system_type\": \"x86\",\n    \"token\": \"t\\u00e9k\"\n}\n";
        QTest::newRow("request key, fixed IV")
            << QByteArray("aZ09bY18cX") << QByteArray(requestIvText) << request
            << QByteArray("aZ09bY18cX0000000000000000000000") << QByteArray("9182736455463720");
        QTest::newRow("empty key and IV")
            << QByteArray() << QByteArray() << QByteArray("seventeen bytes!!")
            << QByteArray(32, '0') << QByteArray(16, '0');
        QTest::newRow("over-long key and IV")
            << QByteArray("0123456789abcdefghijklmnopqrstuvWXYZ") << QByteArray("ABCDEFGHIJKLMNOPQRS")
            << QByteArray("x") << QByteArray("0123456789abcdefghijklmnopqrstuv")
            << QByteArray("ABCDEFGHIJKLMNOP");
        QTest::newRow("exactly 32 and 16, binary plain text")
            << QByteArray("KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK") << QByteArray("IIIIIIIIIIIIIIII")
            << QByteArray("\x01\xff\x80 caf\xc3\xa9 \x7f") << QByteArray(32, 'K') << QByteArray(16, 'I');
        QTest::newRow("empty plain text")
            << QByteArray("k") << QByteArray(requestIvText) << QByteArray()
            << QByteArray("k0000000000000000000000000000000") << QByteArray("9182736455463720");
    }

    void aesMatchesOpenssl()
    {
        QFETCH(QByteArray, keyText);
        QFETCH(QByteArray, ivText);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, shapedKey);
        QFETCH(QByteArray, shapedIv);

        const QByteArray expected = openssl({"enc", "-aes-256-cfb", "-K", shapedKey.toHex(), "-iv",
                                             shapedIv.toHex()}, plain).toHex().toUpper();
        const std::string hex = encryptAesCfbHex(keyText.toStdString(), ivText.toStdString(),
                                                 plain.toStdString());
        QCOMPARE(QByteArray::fromStdString(hex), expected);
        QCOMPARE(QByteArray::fromStdString(decryptAesCfbHex(keyText.toStdString(), ivText.toStdString(),
                                                            expected.toStdString())),
                 plain);
    }

    void aesStopsAtNul()
    {
        const std::string key = "aZ09bY18cX";
        const std::string whole = encryptAesCfbHex(key, requestIvText, "abc");
        QCOMPARE(encryptAesCfbHex(key, requestIvText, std::string("abc\0def", 7)), whole);
        QCOMPARE(encryptAesCfbHex(key, requestIvText, std::string("\0abc", 4)), std::string());
        QCOMPARE(decryptAesCfbHex(key, requestIvText, whole + std::string("\0" "A1B2", 5)),
                 std::string("abc"));
    }

    void aesHexInputForms_data()
    {
        QTest::addColumn<QString>("form");
        QTest::newRow("lowercase") << "lower";
        QTest::newRow("spaces and line breaks") << "broken";
        QTest::newRow("lowercase and broken up") << "both";
        QTest::newRow("a last lone digit") << "odd";
    }

    void aesHexInputForms()
    {
        QFETCH(QString, form);
        const std::string plain = "{\"download_url\":\"http://h/files\",\"files\":[]}";
        QString hex = QString::fromStdString(encryptAesCfbHex("k3y", requestIvText, plain));
        if (form == "odd")
            hex += 'F';
        else if (form != "broken")
            hex = hex.toLower();
        if (form == "broken" || form == "both")
            hex.replace(QRegularExpression("(.{7})"), "\\1 \r\n\t");
        QCOMPARE(decryptAesCfbHex("k3y", requestIvText, hex.toStdString()), plain);
    }

    void replyMac_data()
    {
        QTest::addColumn<QByteArray>("text"); // "MAC": the sealed value of the text with zeros in its place
        QTest::addColumn<int>("expected");

        const QByteArray head = "{\"download_url\":\"http://h/files\",\"files\":[],";
        const QByteArray member = "\"reply_mac\":\"";
        QTest::newRow("sealed") << head + member + "MAC\"}" << int(ReplyMac::Valid);
        QTest::newRow("absent") << head + "\"x\":1}" << int(ReplyMac::Absent);
        QTest::newRow("twice") << head + member + "MAC\"," + member + "MAC\"}" << int(ReplyMac::Invalid);
        QTest::newRow("nested twice") << head + "\"f\":{" + member + "MAC\"}," + member + "MAC\"}" << int(ReplyMac::Invalid);
        QTest::newRow("63 digits") << head + member + QByteArray(63, 'a') + "\"}" << int(ReplyMac::Invalid);
        QTest::newRow("not hex") << head + member + QByteArray(64, 'g') + "\"}" << int(ReplyMac::Invalid);
        QTest::newRow("zeros") << head + member + QByteArray(64, '0') + "\"}" << int(ReplyMac::Invalid);
        // Escaped, the name is text inside a string, not a member.
        QTest::newRow("escaped inside a string") << head + "\"x\":\"\\\"reply_mac\\\":\\\"" + QByteArray(64, '0') + "\"}"
                                                << int(ReplyMac::Absent);
        QTest::newRow("name as a value only") << head + "\"x\":\"reply_mac\"}" << int(ReplyMac::Absent);
        QTest::newRow("nested only") << head + "\"f\":{" + member + "MAC\"}}" << int(ReplyMac::Invalid);
        // As a flipped bit leaves it: the member is still there, not read as absent.
        QTest::newRow("quotes unpaired before it") << "{\"download_url\":\"h,\"files\":[]," + member + "MAC\"}" << int(ReplyMac::Invalid);
        QTest::newRow("blanks around the colon") << head + "\"reply_mac\" :\t\"MAC\"}" << int(ReplyMac::Valid);
        QTest::newRow("pretty-printed")
            << QByteArray("{\n    \"download_url\": \"http://h/files\",\n    \"files\": [\n    ],\n    \"reply_mac\": \"MAC\"\n}\n")
            << int(ReplyMac::Valid);
    }

    // The MAC is what openssl computes over the text with zeros in its place, keyed with the request key.
    void replyMac()
    {
        QFETCH(QByteArray, text);
        const std::string key = "aZ09bY18cX";
        const QByteArray zeroed = QByteArray(text).replace("MAC", QByteArray(64, '0'));
        const QByteArray digest = openssl({"dgst", "-sha256", "-hmac", QString::fromStdString(key)}, zeroed).trimmed().split(' ').last();
        QCOMPARE(digest.size(), 64);
        const QByteArray sent = QByteArray(text).replace("MAC", digest);
        QFETCH(int, expected);
        if (text.count("MAC") == 1) // the service seals exactly what is checked as valid
            QCOMPARE(QByteArray::fromStdString(sealReplyMac(key, zeroed.toStdString())),
                     expected == int(ReplyMac::Valid) ? sent : QByteArray());
        QCOMPARE(int(checkReplyMac(key, sent.toStdString())), expected);
        if (QTest::currentDataTag() == QByteArray("sealed"))
            QCOMPARE(checkReplyMac("aZ09bY18cY", sent.toStdString()), ReplyMac::Invalid);
    }

    void rsaDecryptsWithOpenssl()
    {
        QVERIFY(temp.isValid());
        const std::string key = makeRequestKey(10);
        const std::string first = encryptRsaOaepHex(demoPublicKey(), rsaEntropyText, key);
        const std::string second = encryptRsaOaepHex(demoPublicKey(), rsaEntropyText, key);
        QVERIFY(QRegularExpression("^[0-9A-F]{256}$").match(QString::fromStdString(first)).hasMatch());
        QCOMPARE(second.size(), first.size());
        QVERIFY(first != second);
        QCOMPARE(opensslRsaDecrypt(first, demoPrivateKey), QByteArray::fromStdString(key));
        QCOMPARE(opensslRsaDecrypt(second, demoPrivateKey), QByteArray::fromStdString(key));
    }

    void rsaRefusesUnusableKeys_data()
    {
        QTest::addColumn<QString>("publicKey");
        const QString demo = QString::fromStdString(demoPublicKey());
        QTest::newRow("empty") << QString();
        QTest::newRow("not hex") << "not a key at all";
        QTest::newRow("cut short") << demo.left(200);
        QTest::newRow("bytes flipped in the header") << "FFFF" + demo.mid(4);
    }

    void rsaRefusesUnusableKeys()
    {
        QFETCH(QString, publicKey);
        QCOMPARE(encryptRsaOaepHex(publicKey.toStdString(), rsaEntropyText, "aZ09bY18cX"), std::string());
    }

    void requestKeysUseTheWholeAlphabet()
    {
        const QRegularExpression shape("^[0-9A-Za-z]{10}$");
        QSet<QString> keys;
        QSet<QChar> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString key = QString::fromStdString(makeRequestKey(10));
            QVERIFY2(shape.match(key).hasMatch(), qPrintable(key));
            keys.insert(key);
            for (const QChar c : key)
                seen.insert(c);
        }
        // Made within the same second, yet all different: the clock does not seed them.
        QCOMPARE(keys.size(), 2000);
        QCOMPARE(seen.size(), 62);
    }

    void demoKeyPairMatches()
    {
        const ServiceKeyPair pair = demoPair();
        QVERIFY(pair.isValid());
        QCOMPARE(pair.publicKeyHex(), demoPublicKey());

        // A ciphertext openssl made with the demo key's public half opens with our private-key helper.
        const QByteArray cipher = openssl({"pkeyutl", "-encrypt", "-inkey", demoPrivateKey, "-keyform", "DER",
                                           "-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt", "rsa_oaep_md:sha1"},
                                          "Q1w2E3r4T5");
        std::string message;
        QVERIFY(pair.decryptRsaOaepHex(cipher.toHex().toStdString(), &message));
        QCOMPARE(message, std::string("Q1w2E3r4T5"));
    }

    void generatedKeyPairWorksBothWays()
    {
        const ServiceKeyPair pair = ServiceKeyPair::generate(2048);
        const std::string publicHex = pair.publicKeyHex();
        QVERIFY(QRegularExpression("^[0-9A-F]+$").match(QString::fromStdString(publicHex)).hasMatch());
        QCOMPARE(pair.bits(), 2048);

        const std::string cipher = encryptRsaOaepHex(publicHex, rsaEntropyText, "aZ09bY18cX");
        std::string message;
        QVERIFY(pair.decryptRsaOaepHex(cipher, &message));
        QCOMPARE(message, std::string("aZ09bY18cX"));
        // The stored private half is what openssl reads as a private key.
        QVERIFY(writeFile(temp.filePath("generated.der"), QByteArray::fromStdString(pair.privateKeyDer())));
        QCOMPARE(opensslRsaDecrypt(cipher, temp.filePath("generated.der")), QByteArray("aZ09bY18cX"));
    }

    void privateKeyRefusesWhatItCannotOpen_data()
    {
        QTest::addColumn<QString>("cipher");
        const std::string good = encryptRsaOaepHex(demoPublicKey(), rsaEntropyText, "aZ09bY18cX");
        QTest::newRow("made for another key") << QString::fromStdString(
            encryptRsaOaepHex(ServiceKeyPair::generate().publicKeyHex(), rsaEntropyText, "aZ09bY18cX"));
        QTest::newRow("one byte short") << QString::fromStdString(good.substr(2));
        QTest::newRow("one byte changed") << "00" + QString::fromStdString(good.substr(2));
        QTest::newRow("empty") << QString();
        QTest::newRow("modulus-sized but all ones") << QString(256, 'F');
    }

    void privateKeyRefusesWhatItCannotOpen()
    {
        QFETCH(QString, cipher);
        std::string message = "untouched";
        QVERIFY(!demoPair().decryptRsaOaepHex(cipher.toStdString(), &message));
        QCOMPARE(message, std::string("untouched"));
    }

    void privateKeyFileMustBeAKey()
    {
        QVERIFY(!ServiceKeyPair::fromPrivateKeyDer(std::string()).isValid());
        const QByteArray publicHalf = QByteArray::fromHex(QByteArray::fromStdString(demoPublicKey()));
        QVERIFY(!ServiceKeyPair::fromPrivateKeyDer(publicHalf.toStdString()).isValid());
    }
};

QTEST_GUILESS_MAIN(PayloadCryptoTest)
#include "tst_payloadcrypto.moc"
