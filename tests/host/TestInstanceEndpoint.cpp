#include "app/InstanceEndpoint.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>
#include <memory>
#include "support/FileState.h"
#include "support/HostSystem.h"

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif
#include <vector>

using namespace InstanceEndpoint;
using namespace Qt::StringLiterals;

namespace {

// Qt Test's default of 5 s is short for a loaded machine running these suites under Wine; a wait that succeeds
// ends at once, so only a failure takes the full time.
constexpr int kSettleTimeoutMs = 30000;

QByteArray header(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian<quint32>(length, bytes.data());
    return bytes;
}

QByteArray frameOf(const QByteArray& payload)
{
    return header(quint32(payload.size())) + payload;
}

#ifdef Q_OS_UNIX
// What a killed instance leaves behind: a bound socket file with no listener.
bool plantStaleSocket(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    if (native.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}
#endif

QStringList utf8(std::initializer_list<const char*> items)
{
    QStringList list;
    for (const char* item : items)
        list.append(QString::fromUtf8(item));
    return list;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// A local server in this process, wired exactly as the running instance wires its own.
struct Receiver {
    QLocalServer server;
    QList<QStringList> received;

    bool listen(const QString& name)
    {
        QLocalServer::removeServer(name);
        server.setSocketOptions(QLocalServer::UserAccessOption);
        QObject::connect(&server, &QLocalServer::newConnection, &server, [this] {
            acceptPendingConnections(&server, [this](const QStringList& paths) { received.append(paths); });
        });
        return server.listen(name);
    }
};

// forwardPaths waits for the receiver's answer, so a receiver in this thread must keep serving meanwhile: the
// sender runs on a thread of its own.
bool forwardFromThread(const QString& name, const QStringList& paths)
{
    bool sent = false;
    std::unique_ptr<QThread> sender(QThread::create([&] { sent = forwardPaths(name, paths); }));
    sender->start();
    if (!QTest::qWaitFor([&] { return sender->isFinished(); }, 30000))
        qFatal("forwardPaths did not return");
    sender->wait();
    return sent;
}

} // namespace

class TestInstanceEndpoint : public QObject {
    Q_OBJECT

private slots:
    void parseFrame_data();
    void parseFrame();
    void parseExactlyTheCap();
    void randomFramesThroughParser();
    void buildFrameRoundTrip_data();
    void buildFrameRoundTrip();
    void namesLiveInPrivateFolder();
    void userKeyFallsBackToLoginName();
    void splitMessageIsReassembled_data();
    void splitMessageIsReassembled();
    void receiverEndsConnection_data();
    void receiverEndsConnection();
    void largestMessageThroughSocket();
    void randomFramesThroughSockets();
    void forwardPathsReachesServer();
    void forwardPathsWithoutDelivery_data();
    void forwardPathsWithoutDelivery();
    void endpointAnswersOnlyForLiveOwner();
    void inboxRoundTrip();
    void inboxTwoFilesOneTickInNameOrder();
    void inboxEntriesThatStay_data();
    void inboxEntriesThatStay();
    void plantedInboxFolderIgnored_data();
    void plantedInboxFolderIgnored();

private:
    QString uniqueServerName(const char* tag) const;
};

QString TestInstanceEndpoint::uniqueServerName(const char* tag) const
{
    const QString name = QStringLiteral("test-%1-%2").arg(QLatin1String(tag)).arg(getpid());
    return QDir(Platform::privateUserDirectory()).filePath(name);
}

void TestInstanceEndpoint::parseFrame_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("paths");

    const int incomplete = int(FrameStatus::Incomplete);
    const int invalid = int(FrameStatus::Invalid);
    const int complete = int(FrameStatus::Complete);
    // clang-format off
    QTest::newRow("nothing yet")          << QByteArray()                     << incomplete << utf8({});
    QTest::newRow("3 header bytes")       << header(5).left(3)                << incomplete << utf8({});
    QTest::newRow("length 0")             << header(0)                        << complete   << utf8({});
    QTest::newRow("payload short by 1")   << header(4) + "/a/"                << incomplete << utf8({});
    QTest::newRow("one path")             << frameOf("/a/b.psd")              << complete   << utf8({"/a/b.psd"});
    QTest::newRow("two paths")            << frameOf("/a\n/b.psb")            << complete   << utf8({"/a", "/b.psb"});
    QTest::newRow("trailing bytes")       << frameOf("/a") + "\n/x.psd"       << complete   << utf8({"/a"});
    QTest::newRow("empty lines dropped")  << frameOf("\n\n/a\n\n/b\n")        << complete   << utf8({"/a", "/b"});
    QTest::newRow("CR LF keeps the CR")   << frameOf("/a\r\n/b\r\n")          << complete   << utf8({"/a\r", "/b\r"});
    QTest::newRow("UTF-8 path")           << frameOf("/图层/文件.psd")        << complete   << utf8({"/图层/文件.psd"});
    QTest::newRow("negative length")      << header(0xFFFFFFFFu) + "abc"      << invalid    << utf8({});
    QTest::newRow("length 0x80000000")    << header(0x80000000u)              << invalid    << utf8({});
    QTest::newRow("16 MiB + 1")           << header(0x1000001u) + "x"         << invalid    << utf8({});
    QTest::newRow("16 MiB, more to come") << header(0x1000000u) + "x"         << incomplete << utf8({});
    QTest::newRow("garbage header")       << QByteArray("GET / HTTP/1.1\r\n") << invalid    << utf8({});
    QTest::newRow("invalid UTF-8")        << frameOf("\xff\xfe")              << complete   << utf8({"\xff\xfe"});
    QTest::newRow("repeated entries")     << frameOf("/a\n/b\n/a\n/a/\n/b") << complete   << utf8({"/a", "/b"});
    QTest::newRow("same folder, 3 ways")  << frameOf("/d/\n/d\n/d/./")     << complete   << utf8({"/d/"});
    // clang-format on
}

void TestInstanceEndpoint::parseFrame()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QStringList, paths);
    const Frame frame = InstanceEndpoint::parseFrame(bytes);
    QCOMPARE(int(frame.status), status);
    QCOMPARE(frame.paths, paths);
}

void TestInstanceEndpoint::parseExactlyTheCap()
{
    // The largest accepted payload: one path of exactly 16 MiB.
    QByteArray payload(kMaxPayloadBytes, 'p');
    payload[0] = '/';
    const Frame frame = InstanceEndpoint::parseFrame(frameOf(payload));
    QCOMPARE(int(frame.status), int(FrameStatus::Complete));
    QCOMPARE(frame.paths.size(), 1);
    QCOMPARE(frame.paths.first().size(), qsizetype(kMaxPayloadBytes));

    payload.append('p');
    QCOMPARE(int(InstanceEndpoint::parseFrame(frameOf(payload)).status), int(FrameStatus::Invalid));
}

void TestInstanceEndpoint::randomFramesThroughParser()
{
    // Seeded, so a failure names a frame that can be rebuilt.
    QRandomGenerator random(20261208);
    const int frames = 4000;
    int complete = 0;
    for (int i = 0; i < frames; ++i) {
        QByteArray bytes(int(random.bounded(64)), Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        const int shape = int(random.bounded(4));
        QStringList expected;
        bool expectComplete = false;
        if (shape == 1) { // a well-formed message with random paths and random trailing bytes
            const int count = int(random.bounded(5));
            for (int p = 0; p < count; ++p)
                expected.append(QStringLiteral("/r%1/%2.psd").arg(i).arg(random.generate()));
            const QByteArray frame = buildFrame(expected);
            QVERIFY(!frame.isEmpty());
            bytes.prepend(frame);
            expectComplete = true;
        } else if (shape == 2) { // a random length that may or may not be covered by the bytes that follow
            bytes.prepend(header(random.generate()));
        } else if (shape == 3) { // a prefix of a well-formed message
            const QByteArray frame = buildFrame({QStringLiteral("/cut/%1.psd").arg(i)});
            bytes = frame.left(int(random.bounded(frame.size())));
        }
        const Frame frame = InstanceEndpoint::parseFrame(bytes);
        if (expectComplete) {
            QVERIFY2(frame.status == FrameStatus::Complete, qPrintable(QString::number(i)));
            QCOMPARE(frame.paths, expected);
        }
        if (shape == 3)
            QVERIFY2(frame.status == FrameStatus::Incomplete, qPrintable(QString::number(i)));
        if (frame.status == FrameStatus::Complete) {
            ++complete;
            const quint32 length = bytes.size() >= 4 ? qFromBigEndian<quint32>(bytes.constData()) : 0;
            QVERIFY(length <= kMaxPayloadBytes && qsizetype(length) <= bytes.size() - 4);
        }
    }
    qInfo("random frames through the parser: %d, complete: %d", frames, complete);
}

void TestInstanceEndpoint::buildFrameRoundTrip_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("arrive"); // empty: as given
    QTest::newRow("one") << QStringList{u"/x/a.psd"_s} << QStringList();
    QTest::newRow("spaces and CJK") << QStringList{QStringLiteral("/x y/图 层.psb"), u"/z.psd"_s} << QStringList();
    QTest::newRow("tab inside a path") << QStringList{u"/a\tb.psd"_s} << QStringList();
    // Joined by LF, the folder would arrive as "/shared/photos" and the user's own "/home/u/docs".
    QTest::newRow("line feed inside a path")
        << QStringList{u"/x/chosen.psd"_s, u"/shared/photos\n/home/u/docs"_s, u"/y.psd"_s}
        << QStringList{u"/x/chosen.psd"_s, u"/y.psd"_s};
}

void TestInstanceEndpoint::buildFrameRoundTrip()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, arrive);
    if (arrive.isEmpty())
        arrive = paths;
    const QByteArray frame = buildFrame(paths);
    QCOMPARE(qFromBigEndian<qint32>(frame.constData()), qint32(frame.size() - 4));
    QVERIFY(!frame.endsWith('\n'));
    QCOMPARE(InstanceEndpoint::parseFrame(frame).paths, arrive);

    // The inbox file carries the same payload.
    const QString folder = toolInboxDirectory(QStringLiteral("roundtrip-frame"));
    QDir(folder).removeRecursively();
    QVERIFY(writeInboxFile(folder, paths));
    QList<QStringList> received;
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 1);
    QCOMPARE(received, QList<QStringList>{arrive});
}

void TestInstanceEndpoint::namesLiveInPrivateFolder()
{
    const QString privateFolder = Platform::privateUserDirectory();
    QVERIFY(!privateFolder.isEmpty());
#ifdef Q_OS_WIN
    // A named pipe of the session, and the inbox in the user's own temporary folder.
    QCOMPARE(toolServerName(QStringLiteral("psd-slim")), QStringLiteral("app.lumora.Lumora.psd-slim.") + userKey());
    QCOMPARE(QFileInfo(toolInboxDirectory(QStringLiteral("psd/slim"))).absolutePath().toLower(),
             QDir::tempPath().toLower());
    return;
#else
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(privateFolder).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0);
#endif
    const QString server = toolServerName(QStringLiteral("psd-slim"));
    QCOMPARE(QFileInfo(server).absolutePath(), privateFolder);
    QCOMPARE(QFileInfo(server).fileName(), QStringLiteral("Lumora.psd-slim.") + userKey());
    const QString inbox = toolInboxDirectory(QStringLiteral("psd/slim"));
    QCOMPARE(QFileInfo(inbox).absolutePath(), privateFolder);
    QCOMPARE(QFileInfo(inbox).fileName(),
             QStringLiteral("Lumora-psd_slim-%1-inbox").arg(Platform::userName().toLower()));
}

void TestInstanceEndpoint::userKeyFallsBackToLoginName()
{
    const QByteArray saved = qgetenv("USERNAME");
    qputenv("USERNAME", "  Alice ");
    QCOMPARE(userKey(), QStringLiteral("alice"));
    // A separator in the variable cannot lead the socket or the inbox out of their folder.
    qputenv("USERNAME", "../../../tmp/x");
    const QString privateFolder = Platform::privateUserDirectory();
    if (!HostSystem::isWindows)
        QCOMPARE(QFileInfo(toolServerName(u"psd-slim"_s)).absolutePath(), privateFolder);
    QCOMPARE(QFileInfo(toolInboxDirectory(u"psd-slim"_s)).absolutePath(),
             HostSystem::isWindows ? QDir::tempPath() : privateFolder);
    QCOMPARE(userKey(), u".._.._.._tmp_x"_s);
    qunsetenv("USERNAME");
    // Unset, the key is the login name, so two users never share "default-user".
    QVERIFY(!userKey().isEmpty());
    QVERIFY(userKey() != QStringLiteral("default-user"));
    QVERIFY(!toolInboxDirectory(QStringLiteral("psd-slim")).contains(QStringLiteral("--inbox")));
    if (saved.isNull())
        qunsetenv("USERNAME");
    else
        qputenv("USERNAME", saved);
}

void TestInstanceEndpoint::splitMessageIsReassembled_data()
{
    QTest::addColumn<QList<int>>("cuts");
    QTest::newRow("whole") << QList<int>{};
    QTest::newRow("inside the header") << QList<int>{2};
    QTest::newRow("after the header") << QList<int>{4};
    QTest::newRow("inside the payload") << QList<int>{9};
    QTest::newRow("byte by byte") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}

void TestInstanceEndpoint::splitMessageIsReassembled()
{
    QFETCH(QList<int>, cuts);
    Receiver receiver;
    const QString name = uniqueServerName("split");
    QVERIFY(receiver.listen(name));

    const QStringList paths{u"/a/one.psd"_s, u"/b/two.psb"_s};
    const QByteArray message = buildFrame(paths);
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(kSettleTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.server.findChild<QLocalSocket*>(), kSettleTimeoutMs);
    QLocalSocket* accepted = receiver.server.findChild<QLocalSocket*>();
    int from = 0;
    for (int cut : cuts) {
        client.write(message.mid(from, cut - from));
        client.flush();
        from = cut;
        // Each piece is read and kept in the socket's buffer before the next one is sent.
        QTRY_COMPARE_WITH_TIMEOUT(accepted->property("lumoraPayload").toByteArray(), message.left(cut),
                                  kSettleTimeoutMs);
        QVERIFY(receiver.received.isEmpty());
    }
    client.write(message.mid(from));
    client.flush();
    QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 1, kSettleTimeoutMs);
    QCOMPARE(receiver.received.first(), paths);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, kSettleTimeoutMs);
    QCOMPARE(receiver.received.size(), 1);
    // The receiver answered the decoded message with its one byte.
    QCOMPARE(client.readAll(), QByteArray(1, '\x06'));
}

void TestInstanceEndpoint::receiverEndsConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("othersOpen"); // connections opened before, each stalled inside its message
    QTest::newRow("length beyond the cap") << header(0x1000001u) + QByteArray(4096, 'a') << 0;
    // Nothing more comes: the buffer must not be kept for as long as the sender keeps the connection.
    QTest::newRow("stalled inside the header") << header(5).left(2) << 0;
    QTest::newRow("stalled inside a 16 MiB payload") << header(0x1000000u) + QByteArray(65536, 'a') << 0;
    QTest::newRow("one more than may be open") << header(64) + "/a" << 8;
}

void TestInstanceEndpoint::receiverEndsConnection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, othersOpen);
    Receiver receiver;
    const QString name = uniqueServerName("ends");
    QVERIFY(receiver.listen(name));
    std::vector<std::unique_ptr<QLocalSocket>> others;
    for (int i = 0; i < othersOpen; ++i) {
        others.push_back(std::make_unique<QLocalSocket>());
        others.back()->connectToServer(name);
        QVERIFY(others.back()->waitForConnected(kSettleTimeoutMs));
        others.back()->write(header(64) + "/stalled");
        others.back()->flush();
        QTRY_COMPARE_WITH_TIMEOUT(receiver.server.findChildren<QLocalSocket*>().size(), i + 1, kSettleTimeoutMs);
    }

    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(kSettleTimeoutMs));
    client.write(bytes);
    client.flush();
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 15000);
    QVERIFY(receiver.received.isEmpty());
    QCOMPARE(client.readAll(), QByteArray()); // no acknowledgement: the sender falls back to the inbox
    // The one over the limit was turned away at once, not when the others' time ran out.
    for (const auto& other : others)
        QCOMPARE(other->state(), QLocalSocket::ConnectedState);
}

void TestInstanceEndpoint::largestMessageThroughSocket()
{
    Receiver receiver;
    const QString name = uniqueServerName("largest");
    QVERIFY(receiver.listen(name));
    // Two paths filling exactly 16 MiB of payload, arriving in many reads.
    const QString first = u"/"_s + QString(kMaxPayloadBytes / 2 - 1, QLatin1Char('a'));
    const QString second = u"/"_s + QString(kMaxPayloadBytes / 2 - 2, QLatin1Char('b'));
    const QByteArray message = buildFrame({first, second});
    QCOMPARE(message.size(), kMaxPayloadBytes + 4);
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(kSettleTimeoutMs));
    client.write(message);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 1, 20000);
    QCOMPARE(receiver.received.first(), (QStringList{first, second}));
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, kSettleTimeoutMs);
}

void TestInstanceEndpoint::randomFramesThroughSockets()
{
    Receiver receiver;
    const QString name = uniqueServerName("random");
    QVERIFY(receiver.listen(name));

    QRandomGenerator random(8122026);
    QList<QStringList> expected;
    const int frames = 300;
    for (int i = 0; i < frames; ++i) {
        QByteArray bytes;
        const int shape = int(random.bounded(5));
        bool serverCloses = true;
        if (shape == 0) { // well-formed
            QStringList paths;
            const int count = 1 + int(random.bounded(3));
            for (int p = 0; p < count; ++p)
                paths.append(QStringLiteral("/s%1/%2.psd").arg(i).arg(p));
            expected.append(paths);
            bytes = buildFrame(paths) + QByteArray(int(random.bounded(8)), 'x');
        } else if (shape == 1) { // length beyond the cap
            bytes = header(0x1000001u + random.bounded(0x7000000u)) + "abc";
        } else if (shape == 2) { // cut short: the sender gives up
            const QByteArray frame = buildFrame({QStringLiteral("/never/%1.psd").arg(i)});
            bytes = frame.left(int(random.bounded(frame.size())));
            serverCloses = false;
        } else if (shape == 3) { // header only
            bytes = header(0);
        } else { // noise with a small length that the noise covers
            bytes = header(random.bounded(16u)) + QByteArray(16, char(random.bounded(256)));
            const Frame frame = InstanceEndpoint::parseFrame(bytes);
            if (!frame.paths.isEmpty())
                expected.append(frame.paths);
        }

        QLocalSocket client;
        client.connectToServer(name);
        QVERIFY(client.waitForConnected(kSettleTimeoutMs));
        int from = 0;
        while (from < bytes.size()) {
            const int piece = 1 + int(random.bounded(quint32(bytes.size() - from)));
            client.write(bytes.mid(from, piece));
            client.flush();
            from += piece;
            QCoreApplication::processEvents();
        }
        if (serverCloses) {
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(client.bytesToWrite() == 0, kSettleTimeoutMs);
            client.disconnectFromServer();
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(receiver.server.findChildren<QLocalSocket*>().size(), 0, kSettleTimeoutMs);
    QCOMPARE(receiver.received, expected);
    qInfo("random frames through sockets: %d, queued messages: %lld", frames, qlonglong(expected.size()));
}

void TestInstanceEndpoint::forwardPathsReachesServer()
{
    Receiver receiver;
    const QString name = uniqueServerName("forward");
    QVERIFY(receiver.listen(name));
    const QStringList paths{u"/one.psd"_s, QStringLiteral("/二.psb")};
    QVERIFY(forwardFromThread(name, paths));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 1, kSettleTimeoutMs);
    QCOMPARE(receiver.received.first(), paths);

    // Nothing to say: success without a connection. The next message is the second connection ever made.
    QSignalSpy connections(&receiver.server, &QLocalServer::newConnection);
    QVERIFY(forwardPaths(name, {}));
    QVERIFY(forwardFromThread(name, {u"/three.psd"_s}));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 2, kSettleTimeoutMs);
    QCOMPARE(connections.size(), 1);
}

void TestInstanceEndpoint::forwardPathsWithoutDelivery_data()
{
    QTest::addColumn<QString>("receiver"); // none, silent
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("nobody listens") << u"none"_s << QStringList{u"/a.psd"_s};
    // Too large for any receiver: refused at once instead of sent and dropped.
    QTest::newRow("too large for a receiver") << u"none"_s << QStringList{QString(kMaxPayloadBytes + 1, u'a')};
    QTest::newRow("no server name") << u"nameless"_s << QStringList{u"/a.psd"_s};
    // A window that is stopped or dies before reading: the bytes reach the socket buffer, and no more.
    QTest::newRow("listener never reads") << u"silent"_s << QStringList{u"/a.psd"_s};
}

void TestInstanceEndpoint::forwardPathsWithoutDelivery()
{
    QFETCH(QString, receiver);
    QFETCH(QStringList, paths);
    QString name = uniqueServerName("nobody");
    QLocalServer::removeServer(name);
    QLocalServer silent; // listens, but this thread is inside forwardPaths and never reads
    if (receiver == u"silent"_s)
        QVERIFY(silent.listen(name));
    else if (receiver == u"nameless"_s)
        name.clear();
    QVERIFY(!forwardPaths(name, paths));
}

void TestInstanceEndpoint::endpointAnswersOnlyForLiveOwner()
{
    const QString name = uniqueServerName("stale");
    QLocalServer::removeServer(name);
    QVERIFY(!endpointAnswers(name));

    QLocalServer server;
#ifdef Q_OS_UNIX
    // A socket file nobody listens on, as a killed instance leaves it behind (a pipe leaves nothing).
    QVERIFY(plantStaleSocket(name));
    QVERIFY(QFileInfo::exists(name));
    QVERIFY(!server.listen(name));
    QVERIFY(!endpointAnswers(name));
    QVERIFY(!forwardPaths(name, {QStringLiteral("/a.psd")}));
#endif

    QLocalServer::removeServer(name);
    QVERIFY(server.listen(name));
    QVERIFY(endpointAnswers(name));
}

void TestInstanceEndpoint::inboxRoundTrip()
{
    const QString folder = toolInboxDirectory(QStringLiteral("roundtrip"));
    QDir(folder).removeRecursively();
    QVERIFY(!writeInboxFile(folder, {}));
    QVERIFY(writeInboxFile(folder, {u"/a.psd"_s, u"/b.psb"_s}));
    if (!HostSystem::isWindows)
        QCOMPARE(QFileInfo(folder).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.paths")}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QFile file(QDir(folder).filePath(files.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("/a.psd\n/b.psb"));
    file.close();

    QList<QStringList> received;
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 1);
    QCOMPARE(received, (QList<QStringList>{{u"/a.psd"_s, u"/b.psb"_s}}));
    QVERIFY(QDir(folder).entryList({QStringLiteral("*.paths")}, QDir::Files).isEmpty());
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 0);
}

void TestInstanceEndpoint::inboxTwoFilesOneTickInNameOrder()
{
    const QString folder = toolInboxDirectory(QStringLiteral("order"));
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(writeBytes(QDir(folder).filePath(QStringLiteral("b.paths")), "/second.psd"));
    QVERIFY(writeBytes(QDir(folder).filePath(QStringLiteral("a.paths")), "/first.psd\r\n\n/first2.psd"));
    QVERIFY(writeBytes(QDir(folder).filePath(QStringLiteral("c.txt")), "/not-an-inbox-file.psd"));
    QList<QStringList> received;
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 2);
    QCOMPARE(received, (QList<QStringList>{{u"/first.psd\r"_s, u"/first2.psd"_s}, {u"/second.psd"_s}}));
    QVERIFY(QFile::exists(QDir(folder).filePath(QStringLiteral("c.txt"))));
}

void TestInstanceEndpoint::inboxEntriesThatStay_data()
{
    QTest::addColumn<QString>("kind");
    // Ours, but never a path in it: renamed out of the pattern once instead of read on every tick.
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("no path in it") << u"empty"_s << true;
    QTest::newRow("only line feeds") << u"newlines"_s << true;
    QTest::newRow("symbolic link to a good file") << u"symlink"_s << false;
    QTest::newRow("named pipe") << u"fifo"_s << false;
    QTest::newRow("owned by another user") << u"foreign"_s << false;
    QTest::newRow("larger than a message may be") << u"oversize"_s << true;
    QTest::newRow("unreadable") << u"unreadable"_s << false;
}

void TestInstanceEndpoint::inboxEntriesThatStay()
{
    QFETCH(QString, kind);
    QFETCH(bool, movedAside);
    if (HostSystem::isWindows && (kind == u"symlink"_s || kind == u"fifo"_s || kind == u"foreign"_s ||
                                  kind == u"unreadable"_s))
        QSKIP("links, pipes in folders, owners and modes are Unix's");
    const QString folder = toolInboxDirectory(QStringLiteral("stay"));
    QDir(folder).removeRecursively();
    QVERIFY(writeInboxFile(folder, {QStringLiteral("/good.psd")}));
    const QString entry = QDir(folder).filePath(QStringLiteral("0-entry.paths"));
    const QString outside = QDir(Platform::privateUserDirectory()).filePath(QStringLiteral("outside.txt"));

    if (kind == QLatin1String("empty")) {
        QVERIFY(writeBytes(entry, QByteArray()));
    } else if (kind == QLatin1String("newlines")) {
        QVERIFY(writeBytes(entry, "\n\n\n"));
    } else if (kind == QLatin1String("symlink")) {
        QVERIFY(writeBytes(outside, "/linked.psd"));
        QVERIFY(QFile::link(outside, entry));
    } else if (kind == QLatin1String("fifo")) {
#ifdef Q_OS_UNIX
        QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0600), 0);
#endif
    } else if (kind == QLatin1String("foreign")) {
        if (FileState::currentUser() != 0)
            QSKIP("giving a file to another user needs root");
        QVERIFY(writeBytes(entry, "/foreign.psd"));
        QVERIFY(FileState::setOwner(entry, 65534));
    } else if (kind == QLatin1String("oversize")) {
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("/big.psd\n") > 0);
        QVERIFY(file.resize(kMaxPayloadBytes + 1));
    } else if (kind == QLatin1String("unreadable")) {
        if (FileState::currentUser() == 0)
            QSKIP("root reads any file; the other rows cover refused entries");
        QVERIFY(writeBytes(entry, "/locked.psd"));
        QVERIFY(QFile::setPermissions(entry, QFile::WriteOwner));
    }

    QList<QStringList> received;
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 1);
    QCOMPARE(received, (QList<QStringList>{{u"/good.psd"_s}}));
    const QString aside = entry + u".ignored"_s;
    if (movedAside) {
        QVERIFY(!QFileInfo::exists(entry));
        QVERIFY(QFileInfo(aside).isFile());
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.paths")}, QDir::Files), QStringList());
    } else {
        QVERIFY(QFileInfo(entry).exists() || QFileInfo(entry).isSymLink());
        QVERIFY(!QFileInfo(aside).exists());
    }
    // Still refused on the next tick, and still there (or aside).
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 0);
    QVERIFY(QFileInfo(movedAside ? aside : entry).exists() || QFileInfo(entry).isSymLink());
    QFile::remove(outside);
}

void TestInstanceEndpoint::plantedInboxFolderIgnored_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("writable by others") << u"world-writable"_s;
    QTest::newRow("writable by the group") << u"group-writable"_s;
    QTest::newRow("owned by another user") << u"foreign"_s;
    QTest::newRow("symbolic link to a good folder") << u"symlink"_s;
}

void TestInstanceEndpoint::plantedInboxFolderIgnored()
{
    QFETCH(QString, kind);
    if (HostSystem::isWindows)
        QSKIP("the inbox folder lies in the user's own profile; modes, owners and links are Unix's");
    const QString folder = toolInboxDirectory(QStringLiteral("planted"));
    const QString real = folder + QStringLiteral("-real");
    QFile::remove(folder);
    QDir(folder).removeRecursively();
    QDir(real).removeRecursively();

    QString holder = folder;
    if (kind == QLatin1String("symlink")) {
        QVERIFY(writeInboxFile(real, {QStringLiteral("/through-link.psd")}));
        QVERIFY(QFile::link(real, folder));
        holder = real;
    } else {
        QVERIFY(writeInboxFile(folder, {QStringLiteral("/planted.psd")}));
        if (kind == QLatin1String("world-writable")) {
            QVERIFY(FileState::setMode(folder, 0777));
        } else if (kind == QLatin1String("group-writable")) {
            QVERIFY(FileState::setMode(folder, 0770));
        } else {
            if (FileState::currentUser() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(FileState::setOwner(folder, 65534));
        }
    }

    QVERIFY(!isTrustedInboxFolder(folder));
    QList<QStringList> received;
    QCOMPARE(drainInbox(folder, [&](const QStringList& p) { received.append(p); }), 0);
    QVERIFY(received.isEmpty());
    QCOMPARE(QDir(holder).entryList({QStringLiteral("*.paths")}, QDir::Files).size(), 1);
    // Nor does a later launch write its paths there.
    QVERIFY(!writeInboxFile(folder, {QStringLiteral("/more.psd")}));

    QFile::remove(folder);
    QDir(folder).removeRecursively();
    QDir(real).removeRecursively();
}

QTEST_GUILESS_MAIN(TestInstanceEndpoint)
#include "TestInstanceEndpoint.moc"
