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

    void delDirRemovesTreeAndEmptyParentsUpwards();
    void delDirKeepsHiddenEntries();
    void delDirNeverFollowsLinks();

    void getFileListOrderPathsHiddenAndMissing();
    void getFileListLinksStayInsideAndEnd();

private:
    QString area() const { return m_outer->path() + QStringLiteral("/area"); }
    QString p(const char* rel) const { return area() + QLatin1Char('/') + QLatin1String(rel); }
    // Makes the space-separated entries below `base`: "path=content" a file, "path->target" a
    // link.
    bool make(const QString& base, const char* entries)
    {
        for (const QString& e : QString::fromLatin1(entries).split(QLatin1Char(' '))) {
            const bool link = e.contains(QLatin1String("->"));
            const QStringList parts = e.split(link ? QStringLiteral("->") : QStringLiteral("="));
            const QString path = base + QLatin1Char('/') + parts.at(0);
            if (!(link ? makeLink(parts.at(1), path) : writeFile(path, parts.at(1).toLatin1())))
                return false;
        }
        return true;
    }

    std::unique_ptr<QTemporaryDir> m_outer;
};

void TestFileUtils::init()
{
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY(m_outer->isValid());
    QVERIFY(writeFile(m_outer->path() + QStringLiteral("/guard.txt"), "guard"));
    QVERIFY(writeFile(p("keep.txt"), "sentinel"));
}

void TestFileUtils::cleanup()
{
    // Whatever a test did, the area and both sentinels must have survived.
    QCOMPARE(readFile(m_outer->path() + QStringLiteral("/guard.txt")), QByteArray("guard"));
    QCOMPARE(readFile(p("keep.txt")), QByteArray("sentinel"));
    m_outer.reset();
}

void TestFileUtils::copyReplacesAndMakesFolders()
{
    const QString src = p("src.bin");
    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 4096);
    QVERIFY(writeFile(src, big));
    QVERIFY(QFile::setPermissions(src, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadGroup));

    // Onto an existing, longer target: replaced by exactly the source, with its permissions.
    const QString dst = p("out/dst.bin");
    QVERIFY(writeFile(dst, QByteArray(5 * 1024 * 1024, 'o')));
    copyFile(src, dst);
    QCOMPARE(readFile(dst), big);
    QCOMPARE(QFileInfo(dst).permissions(), QFileInfo(src).permissions());

    // Onto a path whose folders do not exist yet.
    copyFile(src, p("x/y/z/deep.bin"));
    QCOMPARE(readFile(p("x/y/z/deep.bin")), big);

    // A target that is a link: the link is replaced by the copy, the file it pointed to stays.
    QVERIFY(make(area(), "pointee.txt=pointee small.txt=small empty= link.txt->pointee.txt"));
    copyFile(p("small.txt"), p("link.txt"));
    QVERIFY(!QFileInfo(p("link.txt")).isSymLink());
    QCOMPARE(readFile(p("link.txt")), QByteArray("small"));
    QCOMPARE(readFile(p("pointee.txt")), QByteArray("pointee"));

    // An empty source makes an empty target; no temporary file is left anywhere.
    copyFile(p("empty"), dst);
    QCOMPARE(QFileInfo(dst).size(), 0);
    for (const QString& entry : snapshot(area()))
        QVERIFY2(!entry.contains(QLatin1String(".tukcopy")), qPrintable(entry));
}

void TestFileUtils::copyThatCannotBeMadeLeavesTargetUntouched()
{
    const QString target = p("target.txt");
    QVERIFY(make(area(), "target.txt=precious source.txt=source alias.txt->target.txt"));
    QVERIFY(QDir().mkpath(p("folder/inner")));
    QVERIFY(::link(QFile::encodeName(target).constData(),
                   QFile::encodeName(p("hard.txt")).constData()) == 0);
    QCOMPARE(::mkfifo(QFile::encodeName(p("fifo")).constData(), 0600), 0);
    const ino_t inode = inodeOf(target);
    const QStringList before = snapshot(area());

    // No source; no folder made for a missing one; source a folder, or a FIFO that would block on
    // open; target a FIFO; the same file by path, through a link (either side) or another hard
    // link; target a folder; empty paths.
    const QList<QPair<QString, QString>> attempts = {
        {p("missing.txt"), target},   {p("missing.txt"), p("new/dir/t.txt")},
        {p("folder"), target},        {p("fifo"), target},
        {p("source.txt"), p("fifo")}, {target, target},
        {p("alias.txt"), target},     {p("hard.txt"), target},
        {target, p("alias.txt")},     {p("source.txt"), p("folder")},
        {QString(), target},          {p("source.txt"), QString()}};
    for (const auto& attempt : attempts) {
        copyFile(attempt.first, attempt.second);
        QCOMPARE(snapshot(area()), before);
        QCOMPARE(inodeOf(target), inode);
    }

    // A source nobody may read (root reads everything, so only checked for other users).
    if (::geteuid() != 0) {
        QVERIFY(QFile::setPermissions(p("source.txt"), QFileDevice::WriteOwner));
        copyFile(p("source.txt"), target);
        QCOMPARE(readFile(target), QByteArray("precious"));
        QCOMPARE(inodeOf(target), inode);
    }
}

void TestFileUtils::copyThatDoesNotFitLeavesTargetUntouched()
{
    // "No space", made real with a file size limit: writes past 64 KiB fail with EFBIG.
    const QString src = p("big.bin");
    QVERIFY(writeFile(src, QByteArray(1024 * 1024, 'b')));
    QVERIFY(writeFile(p("t/target.bin"), "precious"));
    const QStringList before = snapshot(area());

    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (const char* dst : {"t/target.bin", "t/new.bin", "t/made/for/it.bin"}) // folders made go
        copyFile(src, p(dst));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(snapshot(area()), before);
    // With the limit gone, the same copy works.
    copyFile(src, p("t/target.bin"));
    QCOMPARE(QFileInfo(p("t/target.bin")).size(), 1024 * 1024);
}

void TestFileUtils::delDirRemovesTreeAndEmptyParentsUpwards()
{
    // Nothing to remove: no path, a missing one, one that is not a folder.
    QCOMPARE(delDir(QString()), false);
    QCOMPARE(delDir(p("missing")), true);
    QCOMPARE(delDir(p("keep.txt")), true);

    // up/ holds a file, so the upward removal must stop there: p1 and p2 go, up stays.
    QVERIFY(writeFile(p("up/other.txt"), "other"));
    const QString target = p("up/p1/p2/target");
    QVERIFY(make(target, "a.txt=a B.txt=B sub/b.txt=b sub/deeper/c.txt=c Zlast/z.txt=z"));
    QVERIFY(QDir().mkpath(target + QStringLiteral("/emptydir/empty2")));

    QCOMPARE(delDir(target), true);
    QCOMPARE(snapshot(area()),
             QStringLiteral("keep.txt=sentinel up/ up/other.txt=other").split(' '));

    // A folder whose last entry is a subfolder (the subfolder's removal empties it first).
    QVERIFY(writeFile(p("up/last/only/file.txt"), "x"));
    QCOMPARE(delDir(p("up/last/")), true);
    QVERIFY(!QFileInfo::exists(p("up/last")));
    QVERIFY(QFileInfo::exists(p("up/other.txt")));
}

void TestFileUtils::delDirKeepsHiddenEntries()
{
    // A broken link is one of the special entries that are not listed, so it stays too.
    QVERIFY(make(area(), "h/.hidden=hidden h/normal.txt=n h/sub/.inner/x.txt=x h/sub/y.txt=y "
                         "h/gone/z.txt=z b/x.txt=x b/broken->nowhere"));

    QCOMPARE(delDir(p("h")), false);
    QCOMPARE(delDir(p("b")), false);
    // Everything that could go is gone; the hidden entries and the folders holding them stay.
    QCOMPARE(snapshot(area()),
             QStringLiteral("b/|b/broken -> %1|h/|h/.hidden=hidden|h/sub/|h/sub/.inner/|"
                            "h/sub/.inner/x.txt=x|keep.txt=sentinel")
                 .arg(p("b/nowhere"))
                 .split(QLatin1Char('|')));
}

void TestFileUtils::delDirNeverFollowsLinks()
{
    const QString t = p("keepparent/t");
    QVERIFY(make(area(), "outside/precious.txt=P outside/dir/inner.txt=I "
                         "outside/dir/nested/n.txt=N keepparent/stay.txt=S"));
    // Two cycles (self, sub/up) and a link above the tree (sub/area).
    QVERIFY(make(t,
                 "f.txt=f sub/g.txt=g toFile->../../outside/precious.txt toDir->../../outside/dir "
                 "self->. sub/up->.. sub/area->../.."));
    QVERIFY(makeLink(p("outside/dir"), t + QStringLiteral("/toDirAbsolute")));
    const QStringList outsideBefore = snapshot(p("outside"));

    QCOMPARE(delDir(t), true);
    QVERIFY(!QFileInfo::exists(t));
    QCOMPARE(snapshot(p("outside")), outsideBefore);
    QCOMPARE(readFile(p("keepparent/stay.txt")), QByteArray("S"));

    // The folder given is itself a link (with and without a trailing separator): only the link
    // goes; its parent, although left empty, and everything it leads to stay.
    for (const QString& suffix : {QString(), QStringLiteral("/")}) {
        QVERIFY(QDir().mkpath(p("linkparent")));
        QVERIFY(makeLink(p("outside/dir"), p("linkparent/L")));
        QCOMPARE(delDir(p("linkparent/L") + suffix), true);
        QVERIFY(!QFileInfo(p("linkparent/L")).isSymLink());
        QVERIFY(QFileInfo(p("linkparent")).isDir());
        QCOMPARE(snapshot(p("outside")), outsideBefore);
    }
}

void TestFileUtils::getFileListOrderPathsHiddenAndMissing()
{
    QVERIFY(make(area(), "a/x.txt=x a/B/y.txt=y a/c/z.txt=z"));
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(area()));
    const QList<QFileInfo> relative = getFileList(QStringLiteral("a"));
    QVERIFY(QDir::setCurrent(p("a")));
    const QList<QFileInfo> current = getFileList(QString());
    QVERIFY(QDir::setCurrent(saved));

    // The top folder's entries keep the path as given; deeper ones are absolute.
    QCOMPARE(names(relative), QStringList({"x.txt", "y.txt", "z.txt"}));
    QCOMPARE(relative.at(0).filePath(), QStringLiteral("a/x.txt"));
    QCOMPARE(relative.at(1).filePath(), p("a/B/y.txt"));
    QCOMPARE(relative.at(2).filePath(), p("a/c/z.txt"));
    // An empty path lists the current folder.
    QCOMPARE(names(current), QStringList({"x.txt", "y.txt", "z.txt"}));

    // Hidden entries are listed, links to files are not; a missing path or a file lists nothing.
    QVERIFY(make(p("h"), ".dot.txt=1 b.txt=2 A.txt=3 .hdir/in.txt=4 sub/.s.txt=5 sub/C=6"));
    QVERIFY(makeLink(p("h/b.txt"), p("h/linkToFile")));

    QCOMPARE(names(getFileList(p("h"))),
             QStringList({".dot.txt", "A.txt", "b.txt", ".s.txt", "C"}));
    QVERIFY(getFileList(p("missing")).isEmpty());
    QVERIFY(getFileList(p("keep.txt")).isEmpty());
}

void TestFileUtils::getFileListLinksStayInsideAndEnd()
{
    const QString r = p("r");
    QVERIFY(writeFile(p("outside/dir/secret.txt"), "s"));
    // "aa" comes before "in" itself, "zz" leads to a hidden folder, "in/back" and "loop" are
    // cycles.
    QVERIFY(make(r, "f.txt=f in/g.txt=g .hid/h.txt=h aa->in zz->.hid in/back->.. loop->. "
                    "out->../outside/dir parent->.."));
    QVERIFY(makeLink(p("outside"), r + QStringLiteral("/outAbsolute")));

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
