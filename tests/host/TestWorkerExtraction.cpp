#include "platform/Platform.h"
#include "tools/IntegratedTools.h"
#include "tools/WorkerExtraction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "support/FileState.h"
#include "support/HostSystem.h"

namespace {

const QString kTestResource = QStringLiteral(":/test-helper/LeanfoldWorker.exe");
const QByteArray kOtherBytes = "#!/bin/sh\necho \"some other program\"\n";
constexpr quint32 kOtherUser = 65534; // nobody

// What lies at the first candidate before the extraction runs.
enum class Setup {
    Nothing,
    ZeroByteFile,
    OwnCopy,
    ForeignOwner,
    GroupWritable,
    NotRunnable,
    SymlinkToFile,
    DanglingSymlink,
    DirectoryInPlace,
    FolderOpenToOthers,
    FolderOpenToOthersEmpty,
    FolderOfAnotherUser,
    ParentOpenToOthers,
    StickyParentOfRoot,
    CandidateIsAFile,
    ExactCopy,
    LeftOpenByUmask,
    SwappedAfterCheck,
    LinkRepointedAfterCheck,
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes, QFileDevice::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.setPermissions(permissions);
}

constexpr QFileDevice::Permissions kRunnable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

QByteArray outputOf(const QString& program)
{
    QProcess process;
    process.start(program, {});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return QByteArray();
    return process.readAllStandardOutput();
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestWorkerExtraction : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstCallWritesSecondCallReuses();
    void candidates_data();
    void candidates();
    void noCandidateWorks();
    void missingResourceTrustsNoCopy();
    void matchesEmbeddedCopy();
    void candidateFoldersAvoidTheSharedTemporaryFolder();
    void embeddedWorkerRuns();

private:
    QString root;
    QTemporaryDir scratch;
};

void TestWorkerExtraction::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.36"));
    QVERIFY(scratch.isValid());
    root = scratch.path();
    QVERIFY(QFile::exists(kTestResource));
}

void TestWorkerExtraction::firstCallWritesSecondCallReuses()
{
    const QString base = root + QStringLiteral("/reuse");
    const QStringList folders{base + QStringLiteral("/one/components/2.36"), base + QStringLiteral("/two")};

    const QString first = WorkerExtraction::extractWorker(folders, kTestResource);
    const QString written0 = folders.at(0) + QStringLiteral("/LeanfoldWorker.exe");
    QVERIFY(FileState::sameFile(first, written0));
    QCOMPARE(readAll(first), readAll(kTestResource));
    // The worker's folder joined with its file name is the path started, as the runs build it.
    QCOMPARE(QDir(QFileInfo(first).path()).filePath(QStringLiteral("LeanfoldWorker.exe")), first);
    const FileState::Info written = FileState::of(written0);
    QVERIFY(written.regular);
    if (!HostSystem::isWindows)
        QCOMPARE(written.mode, quint32(0755));

    // Reused, not rewritten: the file and its modification time stay.
    const QByteArray before = FileState::identity(written0);
    QVERIFY(!before.isEmpty());
    QVERIFY(FileState::sameFile(WorkerExtraction::extractWorker(folders, kTestResource), written0));
    QCOMPARE(FileState::identity(written0), before);
    QVERIFY(!QFileInfo::exists(folders.at(1)));

    // The copy is runnable as it stands.
    QProcess process;
    process.start(first, {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("embedded test worker"));
}

void TestWorkerExtraction::candidates_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("chosen");       // index of the candidate whose worker is returned
    QTest::addColumn<bool>("keptAsFound"); // the chosen file is what was there before, not a fresh copy
    QTest::addColumn<bool>("needsRoot");
    QTest::addColumn<bool>("ownFolders"); // one/components/2.36 are the program's own (the base is the row's folder)
    QTest::addColumn<int>("mask");        // umask while extracting; -1 leaves it as it is

    // clang-format off
    QTest::newRow("nothing there") << Setup::Nothing << 0 << false << false << false << -1;
    QTest::newRow("zero-byte file is written over") << Setup::ZeroByteFile << 0 << false << false << false << -1;
    QTest::newRow("own file with other bytes replaced") << Setup::OwnCopy << 0 << false << false << false << -1;
    QTest::newRow("own exact copy kept") << Setup::ExactCopy << 0 << true << false << false << -1;
    QTest::newRow("file of another user replaced") << Setup::ForeignOwner << 0 << false << true << false << -1;
    QTest::newRow("group-writable file replaced") << Setup::GroupWritable << 0 << false << false << false << -1;
    QTest::newRow("file without run permission") << Setup::NotRunnable << 0 << false << false << false << -1;
    QTest::newRow("symbolic link replaced, not followed") << Setup::SymlinkToFile << 0 << false << false << false << -1;
    QTest::newRow("dangling symbolic link replaced") << Setup::DanglingSymlink << 0 << false << false << false << -1;
    QTest::newRow("directory in the worker's place") << Setup::DirectoryInPlace << 1 << false << false << false << -1;
    QTest::newRow("planted in a folder open to others")
        << Setup::FolderOpenToOthers << 1 << false << false << false << -1;
    QTest::newRow("nothing written into a folder open to others")
        << Setup::FolderOpenToOthersEmpty << 1 << false << false << false << -1;
    QTest::newRow("folder of another user") << Setup::FolderOfAnotherUser << 1 << false << true << false << -1;
    QTest::newRow("a parent open to others") << Setup::ParentOpenToOthers << 1 << false << false << false << -1;
    QTest::newRow("sticky parent of root, like /tmp") << Setup::StickyParentOfRoot << 0 << false << true << false << -1;
    QTest::newRow("candidate folder cannot be made") << Setup::CandidateIsAFile << 1 << false << false << false << -1;
    QTest::newRow("folders made under umask 002") << Setup::Nothing << 0 << false << false << true << 002;
    QTest::newRow("own folders an umask 002 run left open")
        << Setup::LeftOpenByUmask << 0 << false << false << true << 022;
    QTest::newRow("file swapped after the check") << Setup::SwappedAfterCheck << 0 << false << false << false << -1;
    QTest::newRow("link on the way re-pointed after the check")
        << Setup::LinkRepointedAfterCheck << 0 << false << false << false << -1;
    // clang-format on
}

void TestWorkerExtraction::candidates()
{
    QFETCH(Setup, setup);
    QFETCH(int, chosen);
    QFETCH(bool, keptAsFound);
    QFETCH(bool, needsRoot);
    QFETCH(bool, ownFolders);
    QFETCH(int, mask);
    if (needsRoot && FileState::currentUser() != 0)
        QSKIP("changing owners needs root");
    // Modes, owners, links and the creation mask are Unix's; a Windows copy is judged by its bytes alone.
    const bool windowsRow = setup == Setup::Nothing || setup == Setup::ZeroByteFile || setup == Setup::OwnCopy ||
                            setup == Setup::ExactCopy || setup == Setup::DirectoryInPlace ||
                            setup == Setup::CandidateIsAFile;
    if (HostSystem::isWindows && (!windowsRow || ownFolders || mask >= 0))
        QSKIP("the row sets Unix modes, owners, links or the creation mask");

    const QString base = root + QStringLiteral("/") + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_');
    // Reached through a link for the row that re-points it; the same folder otherwise.
    const QString parent = base + QLatin1String(setup == Setup::LinkRepointedAfterCheck ? "/link" : "/one");
    const QStringList folders{parent + QStringLiteral("/components/2.36"),
                              base + QStringLiteral("/two/components/2.36")};
    const QString target = folders.at(0) + QStringLiteral("/LeanfoldWorker.exe");
    const QString elsewhere = base + QStringLiteral("/elsewhere.sh");
    QVERIFY(QDir().mkpath(base));
    if (setup == Setup::LinkRepointedAfterCheck) {
        QVERIFY(QDir().mkpath(base + QStringLiteral("/one")));
        QVERIFY(QFile::link(base + QStringLiteral("/one"), parent));
    }
    if (ownFolders) {
        QVERIFY(QDir(base).exists());
        QVERIFY(FileState::setMode(base, 0700));
    } else {
        QVERIFY(QDir().mkpath(folders.at(0)));
    }

    switch (setup) {
    case Setup::Nothing:
        break;
    case Setup::ZeroByteFile:
        QVERIFY(writeFile(target, QByteArray(), kRunnable));
        break;
    case Setup::OwnCopy:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        break;
    case Setup::ForeignOwner:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        QVERIFY(FileState::setOwner(target, kOtherUser));
        break;
    case Setup::GroupWritable:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable | QFileDevice::WriteGroup));
        break;
    case Setup::NotRunnable:
        QVERIFY(writeFile(target, kOtherBytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        break;
    case Setup::SymlinkToFile:
        QVERIFY(writeFile(elsewhere, kOtherBytes, kRunnable));
        QVERIFY(QFile::link(elsewhere, target));
        break;
    case Setup::DanglingSymlink:
        QVERIFY(QFile::link(base + QStringLiteral("/missing"), target));
        break;
    case Setup::DirectoryInPlace:
        QVERIFY(QDir().mkpath(target));
        QVERIFY(writeFile(target + QStringLiteral("/inside"), kOtherBytes, kRunnable));
        break;
    case Setup::FolderOpenToOthers:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        QVERIFY(FileState::setMode(folders.at(0), 0777));
        break;
    case Setup::FolderOpenToOthersEmpty:
        QVERIFY(FileState::setMode(folders.at(0), 0777));
        break;
    case Setup::FolderOfAnotherUser:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        QVERIFY(FileState::setOwner(folders.at(0), kOtherUser));
        break;
    case Setup::ParentOpenToOthers:
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        QVERIFY(FileState::setMode(parent, 0777));
        break;
    case Setup::StickyParentOfRoot:
        QVERIFY(FileState::setMode(parent, 01777));
        break;
    case Setup::CandidateIsAFile:
        QVERIFY(QDir(folders.at(0)).removeRecursively());
        QVERIFY(writeFile(parent + QStringLiteral("/components/2.36"), kOtherBytes, kRunnable));
        break;
    case Setup::ExactCopy:
        QVERIFY(writeFile(target, readAll(kTestResource), kRunnable));
        break;
    case Setup::LeftOpenByUmask:
        // What mkpath made under umask 002, with a copy of an older build of the same version in it.
        QVERIFY(QDir().mkpath(folders.at(0)));
        for (const char* folder : {"/one", "/one/components", "/one/components/2.36"})
            QVERIFY(FileState::setMode(base + QLatin1String(folder), 0775));
        QVERIFY(writeFile(target, kOtherBytes, kRunnable));
        break;
    case Setup::SwappedAfterCheck:
    case Setup::LinkRepointedAfterCheck:
        break;
    }
    const QByteArray elsewhereBefore = readAll(elsewhere);
    const QByteArray before = FileState::identity(target);

    const quint32 savedMask = mask >= 0 ? FileState::setCreationMask(quint32(mask)) : 0;
    const QString result =
        ownFolders
            ? WorkerExtraction::extractWorker(
                  QList<WorkerExtraction::Candidate>{{base, folders.at(0)}, {base, folders.at(1)}}, kTestResource)
            : WorkerExtraction::extractWorker(folders, kTestResource);
    if (mask >= 0)
        FileState::setCreationMask(savedMask);
    const QString chosenFile = folders.at(chosen) + QStringLiteral("/LeanfoldWorker.exe");
    QVERIFY2(FileState::sameFile(result, chosenFile), qPrintable(result));
    // The worker's folder joined with its file name is what the runs start.
    QCOMPARE(QDir(QFileInfo(result).path()).filePath(QStringLiteral("LeanfoldWorker.exe")), result);
    if (keptAsFound) {
        QVERIFY(!before.isEmpty());
        QCOMPARE(FileState::identity(chosenFile), before);
    }
    if (ownFolders) {
        for (const char* folder : {"/one", "/one/components", "/one/components/2.36"})
            QCOMPARE(FileState::of(base + QLatin1String(folder)).mode, quint32(0700));
    }

    // Whatever happens to the candidate afterwards, what starts is the file that was checked.
    if (setup == Setup::SwappedAfterCheck) {
        QVERIFY(writeFile(base + QStringLiteral("/swap"), kOtherBytes, kRunnable));
        QCOMPARE(::rename(QFile::encodeName(base + QStringLiteral("/swap")).constData(),
                          QFile::encodeName(target).constData()),
                 0);
    }
    if (setup == Setup::LinkRepointedAfterCheck) {
        QVERIFY(QDir().mkpath(base + QStringLiteral("/other/components/2.36")));
        QVERIFY(writeFile(base + QStringLiteral("/other/components/2.36/LeanfoldWorker.exe"), kOtherBytes, kRunnable));
        QVERIFY(QFile::remove(parent));
        QVERIFY(QFile::link(base + QStringLiteral("/other"), parent));
    }
    QCOMPARE(outputOf(result).trimmed(), QByteArray("embedded test worker"));
    if (setup == Setup::SwappedAfterCheck || setup == Setup::LinkRepointedAfterCheck)
        return;

    const FileState::Info found = FileState::of(chosenFile);
    QVERIFY(found.regular);
    if (!HostSystem::isWindows) {
        QCOMPARE(found.owner, FileState::currentUser());
        QVERIFY(found.mode & 0100);    // its owner may run it
        QVERIFY((found.mode & 022) == 0); // nobody else may write it
    }
    QCOMPARE(readAll(result), readAll(kTestResource));

    // A candidate that was passed over keeps what it had; a link's target is never written through.
    if (chosen != 0 && setup != Setup::CandidateIsAFile && setup != Setup::FolderOpenToOthersEmpty &&
        setup != Setup::DirectoryInPlace) {
        QCOMPARE(readAll(target), kOtherBytes);
    }
    if (setup == Setup::FolderOpenToOthersEmpty)
        QVERIFY(!QFileInfo::exists(target));
    if (setup == Setup::DirectoryInPlace)
        QVERIFY(QFileInfo(target).isDir());
    QCOMPARE(readAll(elsewhere), elsewhereBefore);
}

void TestWorkerExtraction::noCandidateWorks()
{
    const QString base = root + QStringLiteral("/none");
    QVERIFY(QDir().mkpath(base));
    QVERIFY(writeFile(base + QStringLiteral("/blocker"), kOtherBytes, kRunnable));
    const QStringList folders{base + QStringLiteral("/blocker/a"), base + QStringLiteral("/blocker/b")};
    QCOMPARE(WorkerExtraction::extractWorker(folders, kTestResource), QString());
    QCOMPARE(WorkerExtraction::extractWorker(QStringList(), kTestResource), QString());
}

void TestWorkerExtraction::missingResourceTrustsNoCopy()
{
    const QString base = root + QStringLiteral("/noresource");
    const QStringList folders{base + QStringLiteral("/one"), base + QStringLiteral("/two")};
    const QString missing = QStringLiteral(":/test-helper/absent.exe");
    QCOMPARE(WorkerExtraction::extractWorker(folders, missing), QString());
    QVERIFY(!QFileInfo::exists(folders.at(0)) || QDir(folders.at(0)).isEmpty());

    QVERIFY(QDir().mkpath(folders.at(1)));
    // Without the embedded bytes to compare with, no copy on disk can be shown to be ours.
    QVERIFY(writeFile(folders.at(1) + QStringLiteral("/LeanfoldWorker.exe"), kOtherBytes, kRunnable));
    QCOMPARE(WorkerExtraction::extractWorker(folders, missing), QString());
    QCOMPARE(readAll(folders.at(1) + QStringLiteral("/LeanfoldWorker.exe")), kOtherBytes);
}

void TestWorkerExtraction::matchesEmbeddedCopy()
{
    const QString base = root + QStringLiteral("/hash");
    QVERIFY(QDir().mkpath(base));
    const QString same = base + QStringLiteral("/same");
    const QString other = base + QStringLiteral("/other");
    const QString longer = base + QStringLiteral("/longer");
    QVERIFY(writeFile(same, readAll(kTestResource), kRunnable));
    QVERIFY(writeFile(other, kOtherBytes, kRunnable));
    QVERIFY(writeFile(longer, readAll(kTestResource) + '\n', kRunnable));
    QVERIFY(WorkerExtraction::matchesEmbeddedCopy(same, kTestResource));
    QVERIFY(!WorkerExtraction::matchesEmbeddedCopy(other, kTestResource));
    QVERIFY(!WorkerExtraction::matchesEmbeddedCopy(longer, kTestResource));
    QVERIFY(!WorkerExtraction::matchesEmbeddedCopy(base + QStringLiteral("/absent"), kTestResource));
    QVERIFY(!WorkerExtraction::matchesEmbeddedCopy(same, QStringLiteral(":/test-helper/absent.exe")));
}

void TestWorkerExtraction::candidateFoldersAvoidTheSharedTemporaryFolder()
{
    const QStringList folders = WorkerExtraction::candidateFolders();
    QCOMPARE(folders.size(), 3);
    QCOMPARE(folders.at(0), QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
                                .filePath(QStringLiteral("components/2.36")));
    QCOMPARE(folders.at(1), QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("components/2.36")));
    QCOMPARE(folders.at(2), QDir(Platform::privateUserDirectory()).filePath(QStringLiteral("components/2.36")));
    // Unix's temporary folder is shared by every user; a Windows user's lies in the profile and is the last resort.
    if (!HostSystem::isWindows)
        QVERIFY(!folders.contains(QDir(QDir::tempPath()).filePath(QStringLiteral("Lumora/components/2.36"))));
}

void TestWorkerExtraction::embeddedWorkerRuns()
{
    if (!QFile::exists(QLatin1String(WorkerExtraction::kWorkerResource)))
        QSKIP("this build embeds no PSD slim worker");
    QVERIFY(QFileInfo(QLatin1String(WorkerExtraction::kWorkerResource)).size() > 0);

    // A copy left in this test's home by an earlier build would be reused as it is: start from none.
    QFile::remove(WorkerExtraction::candidateFolders().at(0) + QStringLiteral("/LeanfoldWorker.exe"));
    // Through the catalogue, as the runs and the self-test ask for it.
    const QString path = IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim);
    QVERIFY(FileState::sameFile(path, WorkerExtraction::candidateFolders().at(0) + QStringLiteral("/LeanfoldWorker.exe")));
    QVERIFY(WorkerExtraction::matchesEmbeddedCopy(path, QLatin1String(WorkerExtraction::kWorkerResource)));

    // A job without files is the worker's own usage error path: one ERROR line and exit code 2.
    const QString job = root + QStringLiteral("/empty-job.json");
    QVERIFY(writeFile(job, "{\"files\":[]}", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QProcess worker;
    worker.start(path, {QStringLiteral("--job"), job});
    QVERIFY(worker.waitForFinished(30000));
    QCOMPARE(worker.exitStatus(), QProcess::NormalExit);
    QCOMPARE(worker.exitCode(), 2);
    QVERIFY(worker.readAllStandardOutput().startsWith("ERROR\t"));
}

QTEST_GUILESS_MAIN(TestWorkerExtraction)
#include "TestWorkerExtraction.moc"
