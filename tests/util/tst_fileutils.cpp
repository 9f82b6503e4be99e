// copyFile, delDir and getFileList on real trees in a temporary area. Every test works in its own
// area, a folder holding a file ("keep.txt") that nothing may remove, inside a temporary folder
// holding another one ("guard.txt"). Every link a test makes points into its area. delDir's upward
// removal of empty parents therefore stops at the area, and even an implementation that followed
// links or removed the area itself would stop at the guard: nothing outside is ever at risk.
#include <TUKCloudUtils/TUKFileUtils.h>

#include <QDirIterator>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool makeLink(const QString& target, const QString& link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Every entry below `dir` (hidden and special ones included, links not followed) as a sorted
// list of "relative/path" for files and links ("-> target" appended) and "relative/path/" for
// folders, with the content of each regular file.
QStringList snapshot(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        const QString rel = QDir(dir).relativeFilePath(fi.filePath());
        if (fi.isSymLink())
            out << rel + QStringLiteral(" -> ") + fi.symLinkTarget();
        else if (fi.isDir())
            out << rel + QLatin1Char('/');
        else if (!fi.isFile())
            out << rel + QStringLiteral(" (special)");
        else
            out << rel + QLatin1Char('=') + QString::fromUtf8(readFile(fi.filePath()));
    }
    out.sort();
    return out;
}

QStringList names(const QList<QFileInfo>& list)
{
    QStringList out;
    for (const QFileInfo& fi : list)
        out << fi.fileName();
    return out;
}

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void copyReplacesAndMakesFolders();
    void copyThatCannotBeMadeLeavesTargetUntouched();
    void copyThatDoesNotFitLeavesTargetUntouched();

    void delDirEmptyMissingAndNotAFolder();
    void delDirRemovesTreeAndEmptyParentsUpwards();
    void delDirKeepsHiddenEntries();
    void delDirNeverFollowsLinks();

    void getFileListOrderAndPaths();
    void getFileListHiddenAndMissing();
    void getFileListLinksStayInsideAndEnd();

private:
    QString area() const { return m_outer->path() + QStringLiteral("/area"); }
    QString p(const QString& rel) const { return area() + QLatin1Char('/') + rel; }

    std::unique_ptr<QTemporaryDir> m_outer;
};

void TestFileUtils::init()
{
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY(m_outer->isValid());
    QVERIFY(writeFile(m_outer->path() + QStringLiteral("/guard.txt"), "guard"));
    QVERIFY(writeFile(p(QStringLiteral("keep.txt")), "sentinel"));
}

void TestFileUtils::cleanup()
{
    // Whatever a test did, the area and both sentinels must have survived.
    QCOMPARE(readFile(m_outer->path() + QStringLiteral("/guard.txt")), QByteArray("guard"));
    QCOMPARE(readFile(p(QStringLiteral("keep.txt"))), QByteArray("sentinel"));
    m_outer.reset();
}

void TestFileUtils::copyReplacesAndMakesFolders()
{
    const QString src = p(QStringLiteral("src.bin"));
    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 4096);
    QVERIFY(writeFile(src, big));
    QVERIFY(QFile::setPermissions(src, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadGroup));

    // Onto an existing, longer target: replaced by exactly the source, with its permissions.
    const QString dst = p(QStringLiteral("out/dst.bin"));
    QVERIFY(writeFile(dst, QByteArray(5 * 1024 * 1024, 'o')));
    copyFile(src, dst);
    QCOMPARE(readFile(dst), big);
    QCOMPARE(QFileInfo(dst).permissions(), QFileInfo(src).permissions());

    // Onto a path whose folders do not exist yet.
    const QString deep = p(QStringLiteral("x/y/z/deep.bin"));
    copyFile(src, deep);
    QCOMPARE(readFile(deep), big);

    // A target that is a link: the link is replaced by the copy, the file it pointed to stays.
    QVERIFY(writeFile(p(QStringLiteral("pointee.txt")), "pointee"));
    QVERIFY(makeLink(p(QStringLiteral("pointee.txt")), p(QStringLiteral("link.txt"))));
    QVERIFY(writeFile(p(QStringLiteral("small.txt")), "small"));
    copyFile(p(QStringLiteral("small.txt")), p(QStringLiteral("link.txt")));
    QVERIFY(!QFileInfo(p(QStringLiteral("link.txt"))).isSymLink());
    QCOMPARE(readFile(p(QStringLiteral("link.txt"))), QByteArray("small"));
    QCOMPARE(readFile(p(QStringLiteral("pointee.txt"))), QByteArray("pointee"));

    // An empty source makes an empty target; no temporary file is left anywhere.
    QVERIFY(writeFile(p(QStringLiteral("empty")), QByteArray()));
    copyFile(p(QStringLiteral("empty")), dst);
    QCOMPARE(QFileInfo(dst).size(), 0);
    for (const QString& entry : snapshot(area()))
        QVERIFY2(!entry.contains(QLatin1String(".tukcopy")), qPrintable(entry));
}

void TestFileUtils::copyThatCannotBeMadeLeavesTargetUntouched()
{
    QVERIFY(writeFile(p(QStringLiteral("target.txt")), "precious"));
    QVERIFY(writeFile(p(QStringLiteral("source.txt")), "source"));
    QVERIFY(QDir().mkpath(p(QStringLiteral("folder/inner"))));
    QVERIFY(makeLink(p(QStringLiteral("target.txt")), p(QStringLiteral("alias.txt"))));
    QVERIFY(::link(QFile::encodeName(p(QStringLiteral("target.txt"))).constData(),
                   QFile::encodeName(p(QStringLiteral("hard.txt"))).constData()) == 0);
    QCOMPARE(::mkfifo(QFile::encodeName(p(QStringLiteral("fifo"))).constData(), 0600), 0);
    const QString target = p(QStringLiteral("target.txt"));
    const ino_t inode = inodeOf(target);
    const QStringList before = snapshot(area());

    const QList<QPair<QString, QString>> attempts = {
        {p(QStringLiteral("missing.txt")), target},                             // no source
        {p(QStringLiteral("missing.txt")), p(QStringLiteral("new/dir/t.txt"))}, // no folder made
        {p(QStringLiteral("folder")), target},                        // source is a folder
        {p(QStringLiteral("fifo")), target},                          // would block on open
        {p(QStringLiteral("source.txt")), p(QStringLiteral("fifo"))}, // target is a FIFO
        {target, target},                                             // same path
        {p(QStringLiteral("alias.txt")), target},                     // same file through a link
        {p(QStringLiteral("hard.txt")), target},                      // same file, other hard link
        {target, p(QStringLiteral("alias.txt"))},                     // same file, link as target
        {p(QStringLiteral("source.txt")), p(QStringLiteral("folder"))}, // target is a folder
        {QString(), target},
        {p(QStringLiteral("source.txt")), QString()},
    };
    for (const auto& attempt : attempts) {
        copyFile(attempt.first, attempt.second);
        QCOMPARE(snapshot(area()), before);
        QCOMPARE(inodeOf(target), inode);
    }

    // A source nobody may read (root reads everything, so only checked for other users).
    if (::geteuid() != 0) {
        QVERIFY(QFile::setPermissions(p(QStringLiteral("source.txt")), QFileDevice::WriteOwner));
        copyFile(p(QStringLiteral("source.txt")), target);
        QCOMPARE(readFile(target), QByteArray("precious"));
        QCOMPARE(inodeOf(target), inode);
    }
}

void TestFileUtils::copyThatDoesNotFitLeavesTargetUntouched()
{
    // "No space", made real with a file size limit: writes past 64 KiB fail with EFBIG.
    const QString src = p(QStringLiteral("big.bin"));
    QVERIFY(writeFile(src, QByteArray(1024 * 1024, 'b')));
    QVERIFY(writeFile(p(QStringLiteral("t/target.bin")), "precious"));
    const QStringList before = snapshot(area());

    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    copyFile(src, p(QStringLiteral("t/target.bin")));
    copyFile(src, p(QStringLiteral("t/new.bin")));
    copyFile(src, p(QStringLiteral("t/made/for/it.bin"))); // the folders made go again
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(snapshot(area()), before);
    // With the limit gone, the same copy works.
    copyFile(src, p(QStringLiteral("t/target.bin")));
    QCOMPARE(QFileInfo(p(QStringLiteral("t/target.bin"))).size(), 1024 * 1024);
}

void TestFileUtils::delDirEmptyMissingAndNotAFolder()
{
    const QStringList before = snapshot(area());
    QCOMPARE(delDir(QString()), false);
    QCOMPARE(delDir(p(QStringLiteral("missing"))), true);
    QCOMPARE(delDir(p(QStringLiteral("keep.txt"))), true); // not a folder: nothing to remove
    QCOMPARE(snapshot(area()), before);
}

void TestFileUtils::delDirRemovesTreeAndEmptyParentsUpwards()
{
    // up/ holds a file, so the upward removal must stop there: p1 and p2 go, up stays.
    QVERIFY(writeFile(p(QStringLiteral("up/other.txt")), "other"));
    const QString target = p(QStringLiteral("up/p1/p2/target"));
    for (const char* rel : {"a.txt", "B.txt", "sub/b.txt", "sub/deeper/c.txt", "Zlast/z.txt"})
        QVERIFY(writeFile(target + QLatin1Char('/') + QLatin1String(rel), rel));
    QVERIFY(QDir().mkpath(target + QStringLiteral("/emptydir/empty2")));

    QCOMPARE(delDir(target), true);
    QCOMPARE(snapshot(area()),
             QStringList({QStringLiteral("keep.txt=sentinel"), QStringLiteral("up/"),
                          QStringLiteral("up/other.txt=other")}));

    // A folder whose last entry is a subfolder (the subfolder's removal empties it first).
    const QString last = p(QStringLiteral("up/last"));
    QVERIFY(writeFile(last + QStringLiteral("/only/file.txt"), "x"));
    QCOMPARE(delDir(last + QLatin1Char('/')), true);
    QVERIFY(!QFileInfo::exists(last));
    QVERIFY(QFileInfo::exists(p(QStringLiteral("up/other.txt"))));
}

void TestFileUtils::delDirKeepsHiddenEntries()
{
    const QString h = p(QStringLiteral("h"));
    QVERIFY(writeFile(h + QStringLiteral("/.hidden"), "hidden"));
    QVERIFY(writeFile(h + QStringLiteral("/normal.txt"), "n"));
    QVERIFY(writeFile(h + QStringLiteral("/sub/.inner/x.txt"), "x"));
    QVERIFY(writeFile(h + QStringLiteral("/sub/y.txt"), "y"));
    QVERIFY(writeFile(h + QStringLiteral("/gone/z.txt"), "z"));
    // A broken link is one of the special entries that are not listed, so it stays too.
    QVERIFY(writeFile(p(QStringLiteral("b/x.txt")), "x"));
    QVERIFY(makeLink(QStringLiteral("nowhere"), p(QStringLiteral("b/broken"))));

    QCOMPARE(delDir(h), false);
    QCOMPARE(delDir(p(QStringLiteral("b"))), false);
    // Everything that could go is gone; the hidden entries and the folders holding them stay.
    QCOMPARE(
        snapshot(area()),
        QStringList({QStringLiteral("b/"), QStringLiteral("b/broken -> ") + p("b/nowhere"),
                     QStringLiteral("h/"), QStringLiteral("h/.hidden=hidden"),
                     QStringLiteral("h/sub/"), QStringLiteral("h/sub/.inner/"),
                     QStringLiteral("h/sub/.inner/x.txt=x"), QStringLiteral("keep.txt=sentinel")}));
}

void TestFileUtils::delDirNeverFollowsLinks()
{
    QVERIFY(writeFile(p(QStringLiteral("outside/precious.txt")), "P"));
    QVERIFY(writeFile(p(QStringLiteral("outside/dir/inner.txt")), "I"));
    QVERIFY(writeFile(p(QStringLiteral("outside/dir/nested/n.txt")), "N"));
    const QString t = p(QStringLiteral("keepparent/t"));
    QVERIFY(writeFile(p(QStringLiteral("keepparent/stay.txt")), "S"));
    QVERIFY(writeFile(t + QStringLiteral("/f.txt"), "f"));
    QVERIFY(writeFile(t + QStringLiteral("/sub/g.txt"), "g"));
    QVERIFY(makeLink(QStringLiteral("../../outside/precious.txt"), t + QStringLiteral("/toFile")));
    QVERIFY(makeLink(QStringLiteral("../../outside/dir"), t + QStringLiteral("/toDir")));
    QVERIFY(makeLink(p(QStringLiteral("outside/dir")), t + QStringLiteral("/toDirAbsolute")));
    QVERIFY(makeLink(QStringLiteral("."), t + QStringLiteral("/self")));         // cycle
    QVERIFY(makeLink(QStringLiteral(".."), t + QStringLiteral("/sub/up")));      // cycle
    QVERIFY(makeLink(QStringLiteral("../.."), t + QStringLiteral("/sub/area"))); // above the tree
    const QStringList outsideBefore = snapshot(p(QStringLiteral("outside")));

    QCOMPARE(delDir(t), true);
    QVERIFY(!QFileInfo::exists(t));
    QCOMPARE(snapshot(p(QStringLiteral("outside"))), outsideBefore);
    QCOMPARE(readFile(p(QStringLiteral("keepparent/stay.txt"))), QByteArray("S"));

    // The folder given is itself a link (with and without a trailing separator): only the link
    // goes; its parent, although left empty, and everything it leads to stay.
    for (const QString& suffix : {QString(), QStringLiteral("/")}) {
        QVERIFY(QDir().mkpath(p(QStringLiteral("linkparent"))));
        QVERIFY(makeLink(p(QStringLiteral("outside/dir")), p(QStringLiteral("linkparent/L"))));
        QCOMPARE(delDir(p(QStringLiteral("linkparent/L")) + suffix), true);
        QVERIFY(!QFileInfo(p(QStringLiteral("linkparent/L"))).isSymLink());
        QVERIFY(QFileInfo(p(QStringLiteral("linkparent"))).isDir());
        QCOMPARE(snapshot(p(QStringLiteral("outside"))), outsideBefore);
    }
}

void TestFileUtils::getFileListOrderAndPaths()
{
    QVERIFY(writeFile(p(QStringLiteral("a/x.txt")), "x"));
    QVERIFY(writeFile(p(QStringLiteral("a/B/y.txt")), "y"));
    QVERIFY(writeFile(p(QStringLiteral("a/c/z.txt")), "z"));

    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(area()));
    const QList<QFileInfo> relative = getFileList(QStringLiteral("a"));
    QVERIFY(QDir::setCurrent(p(QStringLiteral("a"))));
    const QList<QFileInfo> current = getFileList(QString());
    QVERIFY(QDir::setCurrent(saved));

    QCOMPARE(names(relative), QStringList({"x.txt", "y.txt", "z.txt"}));
    // The top folder's entries keep the path as given; deeper ones are absolute.
    QCOMPARE(relative.at(0).filePath(), QStringLiteral("a/x.txt"));
    QCOMPARE(relative.at(1).filePath(), p(QStringLiteral("a/B/y.txt")));
    QCOMPARE(relative.at(2).filePath(), p(QStringLiteral("a/c/z.txt")));
    // An empty path lists the current folder.
    QCOMPARE(names(current), QStringList({"x.txt", "y.txt", "z.txt"}));
}

void TestFileUtils::getFileListHiddenAndMissing()
{
    const QString h = p(QStringLiteral("h"));
    for (const char* rel : {".dot.txt", "b.txt", "A.txt", ".hdir/in.txt", "sub/.s.txt", "sub/C"})
        QVERIFY(writeFile(h + QLatin1Char('/') + QLatin1String(rel), rel));
    QVERIFY(makeLink(h + QStringLiteral("/b.txt"), h + QStringLiteral("/linkToFile")));

    QCOMPARE(names(getFileList(h)), QStringList({".dot.txt", "A.txt", "b.txt", ".s.txt", "C"}));
    QVERIFY(getFileList(p(QStringLiteral("missing"))).isEmpty());
    QVERIFY(getFileList(p(QStringLiteral("keep.txt"))).isEmpty());
}

void TestFileUtils::getFileListLinksStayInsideAndEnd()
{
    QVERIFY(writeFile(p(QStringLiteral("outside/dir/secret.txt")), "s"));
    const QString r = p(QStringLiteral("r"));
    QVERIFY(writeFile(r + QStringLiteral("/f.txt"), "f"));
    QVERIFY(writeFile(r + QStringLiteral("/in/g.txt"), "g"));
    QVERIFY(writeFile(r + QStringLiteral("/.hid/h.txt"), "h"));
    QVERIFY(makeLink(QStringLiteral("in"), r + QStringLiteral("/aa")));      // before "in" itself
    QVERIFY(makeLink(QStringLiteral(".hid"), r + QStringLiteral("/zz")));    // hidden, inside
    QVERIFY(makeLink(QStringLiteral(".."), r + QStringLiteral("/in/back"))); // cycle
    QVERIFY(makeLink(QStringLiteral("."), r + QStringLiteral("/loop")));     // cycle
    QVERIFY(makeLink(QStringLiteral("../outside/dir"), r + QStringLiteral("/out")));
    QVERIFY(makeLink(p(QStringLiteral("outside")), r + QStringLiteral("/outAbsolute")));
    QVERIFY(makeLink(QStringLiteral(".."), r + QStringLiteral("/parent")));

    const QList<QFileInfo> list = getFileList(r);
    // Each folder once: "in" through the link that comes first, the hidden folder through its
    // link, nothing outside the tree, and no endless loop.
    QCOMPARE(names(list), QStringList({"f.txt", "g.txt", "h.txt"}));
    QCOMPARE(list.at(1).filePath(), r + QStringLiteral("/aa/g.txt"));
    QCOMPARE(list.at(2).filePath(), r + QStringLiteral("/zz/h.txt"));

    // Listing from inside a link cycle still ends and stays in the tree it was given.
    QCOMPARE(names(getFileList(r + QStringLiteral("/in/back/loop/in"))), QStringList({"g.txt"}));
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
