#include "store/database.h"
#include "store/imagequeue.h"
#include "store/user.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestDatabase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void firstStartCreatesFolderFileAndTables();
    void reopeningKeepsRows();
    void unusableFolderFallsBackToUserDataLocation();
    void selectByUsernameNeedsExactlyOneRow();
    void updatePasswordTouchesOnlyThatUser();
    void imageQueueRoundTrip();
    void imageQueueMissingIdsAreHarmless();
    void imageQueueFailuresAreLogged();
    void writeAheadLogLetsAnotherCopyReadAccounts();

private:
    static QStringList tables();
    QScopedPointer<QTemporaryDir> dir;
};

void TestDatabase::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestDatabase::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

QStringList TestDatabase::tables()
{
    QStringList names = QSqlDatabase::database().tables();
    names.sort();
    return names;
}

void TestDatabase::firstStartCreatesFolderFileAndTables()
{
    openDatabase(dir->path());

    QVERIFY(QFile::exists(dir->filePath(QStringLiteral("data/zam.dat"))));
    QCOMPARE(QSqlDatabase::database().databaseName(), dir->filePath(QStringLiteral("data/zam.dat")));
    QCOMPARE(tables(), (QStringList{QStringLiteral("image"), QStringLiteral("user")}));
    QVERIFY(User::selectAll().isEmpty());
}

void TestDatabase::reopeningKeepsRows()
{
    openDatabase(dir->path());
    QCOMPARE((User{QStringLiteral("张三"), QStringLiteral("0123456789abcdef0123456789abcdef")}.insert()), 1);

    openDatabase(dir->path());
    const QList<User> users = User::selectAll();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.first().username, QStringLiteral("张三"));
    QCOMPARE(users.first().password, QStringLiteral("0123456789abcdef0123456789abcdef"));
}

void TestDatabase::unusableFolderFallsBackToUserDataLocation()
{
    // A plain file where the data folder should be: the folder cannot be made
    // (this holds even for root, unlike a read-only folder).
    QFile blocker(dir->filePath(QStringLiteral("data")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^When try open database: QSqlError")));
    openDatabase(dir->path());

    const QString fallback = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/zam.dat");
    QCOMPARE(QSqlDatabase::database().databaseName(), fallback);
    QVERIFY(QSqlDatabase::database().isOpen());
    QVERIFY(tables().contains(QStringLiteral("user")));
    QVERIFY(insertImage(1, QStringLiteral("图.jpg"), QStringLiteral("/x/图.jpg")));
    QVERIFY(clearImages());
}

void TestDatabase::selectByUsernameNeedsExactlyOneRow()
{
    openDatabase(dir->path());
    QVERIFY(User::selectByUsername(QStringLiteral("alice")).username.isEmpty());

    User{QStringLiteral("alice"), QStringLiteral("a1")}.insert();
    QCOMPARE(User::selectByUsername(QStringLiteral("alice")).password, QStringLiteral("a1"));
    QVERIFY(User::selectByUsername(QStringLiteral("Alice")).username.isEmpty());

    User{QStringLiteral("alice"), QStringLiteral("a2")}.insert();
    const User twice = User::selectByUsername(QStringLiteral("alice"));
    QVERIFY(twice.username.isEmpty());
    QVERIFY(twice.password.isEmpty());
}

void TestDatabase::updatePasswordTouchesOnlyThatUser()
{
    openDatabase(dir->path());
    User{QStringLiteral("alice"), QStringLiteral("a1")}.insert();
    User{QStringLiteral("bob"), QStringLiteral("b1")}.insert();

    QCOMPARE((User{QStringLiteral("alice"), QStringLiteral("a2")}.updatePassword()), 1);
    QCOMPARE((User{QStringLiteral("nobody"), QStringLiteral("x")}.updatePassword()), 1);

    const QList<User> users = User::selectAll();
    QCOMPARE(users.size(), 2);
    QCOMPARE(users.at(0).username, QStringLiteral("alice"));
    QCOMPARE(users.at(0).password, QStringLiteral("a2"));
    QCOMPARE(users.at(1).password, QStringLiteral("b1"));
}

void TestDatabase::imageQueueRoundTrip()
{
    openDatabase(dir->path());
    QVERIFY(insertImage(1, QStringLiteral("一.jpg"), QStringLiteral("/p/一.jpg")));
    QVERIFY(insertImage(2, QStringLiteral("二.png"), QStringLiteral("/p/二.png")));

    ImageRecord record = findImageById(2);
    QCOMPARE(record.id, 2);
    QCOMPARE(record.name, QStringLiteral("二.png"));
    QCOMPARE(record.path, QStringLiteral("/p/二.png"));
    QCOMPARE(record.status, QStringLiteral("准备上传"));

    QVERIFY(updateImageStatus(2, STATUS_UPLOADED));
    QCOMPARE(findImageById(2).status, QStringLiteral("上传成功"));
    QCOMPARE(findImageById(1).status, STATUS_READY);

    QVERIFY(clearImages());
    QVERIFY(findImageById(1).path.isEmpty());
}

void TestDatabase::imageQueueMissingIdsAreHarmless()
{
    openDatabase(dir->path());
    QVERIFY(updateImageStatus(7, STATUS_EXISTS));
    const ImageRecord missing = findImageById(7);
    QVERIFY(missing.name.isEmpty());
    QVERIFY(missing.path.isEmpty());
    QVERIFY(missing.status.isEmpty());
}

void TestDatabase::imageQueueFailuresAreLogged()
{
    openDatabase(dir->path());
    QSqlQuery().exec(QStringLiteral("drop table image"));

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^When append image: QSqlError")));
    QVERIFY(!clearImages());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^When append image: QSqlError")));
    QVERIFY(!insertImage(1, QStringLiteral("a"), QStringLiteral("b")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^When update design record by id: QSqlError")));
    QVERIFY(!updateImageStatus(1, STATUS_EXISTS));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^When find image record by isUpload: QSqlError")));
    QVERIFY(findImageById(1).path.isEmpty());

    // The next start recreates the missing table.
    openDatabase(dir->path());
    QVERIFY(insertImage(1, QStringLiteral("a"), QStringLiteral("b")));
}

void TestDatabase::writeAheadLogLetsAnotherCopyReadAccounts()
{
    openDatabase(dir->path());
    QSqlQuery pragma;
    QVERIFY(pragma.exec(QStringLiteral("PRAGMA journal_mode")) && pragma.next());
    QCOMPARE(pragma.value(0).toString(), QStringLiteral("wal"));
    QVERIFY(pragma.exec(QStringLiteral("PRAGMA synchronous")) && pragma.next());
    QCOMPARE(pragma.value(0).toInt(), 1); // NORMAL: commits are not forced to disk one by one
    QCOMPARE((User{QStringLiteral("张三"), QStringLiteral("0123456789abcdef0123456789abcdef")}.insert()), 1);
    // Writing an account leaves the connection as it was.
    QVERIFY(pragma.exec(QStringLiteral("PRAGMA synchronous")) && pragma.next());
    QCOMPARE(pragma.value(0).toInt(), 1);
    QVERIFY(insertImage(1, QStringLiteral("一.png"), QStringLiteral("/p/一.png")));

    // A second copy of the program opens the same file while this one has it
    // open, and reads the remembered account and the queue.
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("second copy"));
        other.setDatabaseName(dir->filePath(QStringLiteral("data/zam.dat")));
        QVERIFY(other.open());
        QSqlQuery users(other);
        QVERIFY(users.exec(QStringLiteral("select username, password from user")));
        QVERIFY(users.next());
        QCOMPARE(users.value(0).toString(), QStringLiteral("张三"));
        QVERIFY(!users.next());
        QSqlQuery queue(other);
        QVERIFY(queue.exec(QStringLiteral("select count(*) from image")) && queue.next());
        QCOMPARE(queue.value(0).toInt(), 1);
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("second copy"));
}

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
