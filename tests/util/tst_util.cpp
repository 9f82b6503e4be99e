// copyFile, delDir and getFileList on real trees; executeURL and the URL opener behind it. The
// file tests work in an area holding "keep.txt" inside a temporary folder holding "guard.txt";
// links point into the area, so nothing outside it is ever at risk.
#include <TUKCloudUtils/TUKFileUtils.h>

#include "TestSupport.h"
#include "platform/TUKUrlOpener_p.h"

#include <QDesktopServices>

#include <fcntl.h>
#include <sys/stat.h>

using tuktest::readFile;

namespace {

// Every entry below dir, links not followed: "path=content" ("path=#size" when large),
// "path->target", "path/", "path?".
QString tree(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo fi(it.next());
        const QString rel = QDir(dir).relativeFilePath(fi.filePath());
        out << (fi.isSymLink()   ? rel + "->" + QDir(dir).relativeFilePath(fi.symLinkTarget())
                : fi.isDir()     ? rel + "/"
                : fi.size() > 64 ? rel + "=#" + QString::number(fi.size())
                : fi.isFile()    ? rel + "=" + readFile(fi.filePath())
                                 : rel + "?");
    }
    out.sort();
    return out.join(' ');
}

QString files(const QList<QFileInfo>& list, const QString& base)
{
    QStringList out;
    for (const QFileInfo& fi : list)
        out << QString(fi.filePath()).replace(base, "~");
    return out.join(' ');
}

// Starts the opener directly with that PATH.
bool startWith(const QString& path, const std::string& text)
{
    const QByteArray saved = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(path));
    const bool started = tuk::platform::startUrlOpener(text);
    qputenv("PATH", saved);
    return started;
}

} // namespace

class TestUtil : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_outer;
    QTemporaryDir m_bin, m_calls; // a stand-in "xdg-open", and a file per call it records

    QString p(const QString& rel = QString()) const { return m_outer->path() + "/area/" + rel; }
    // Makes the space-separated entries in the area: "path=content", "path->target", "path/".
    bool make(const QString& entries) const
    {
        for (const QString& e : entries.split(' ')) {
            const QStringList link = e.split("->"), file = e.split('=');
            if (link.size() == 2
                    ? ::symlink(QFile::encodeName(link[1]), QFile::encodeName(p(link[0])))
                : file.size() == 2 ? !tuktest::writeFile(p(file[0]), file[1].toUtf8())
                                   : !QDir().mkpath(p(e)))
                return false;
        }
        return true;
    }
    // The calls of the stand-in, each "<pid> <parent> <session> <inherited a file?>|<args>".
    QStringList calls() const
    {
        QStringList out;
        for (const QString& name : QDir(m_calls.path()).entryList({"*.call"}))
            out << readFile(m_calls.filePath(name)).replace('\n', '|').replace('\0', ' ').trimmed();
        return out;
    }

public slots:
    void open(const QUrl&) {} // the desktop's handler: were it asked, the URL would be open

private slots:
    void initTestCase()
    {
        QVERIFY(tuktest::writeFile(m_bin.filePath("xdg-open"),
                                   "#!/bin/sh\nrec='" + QFile::encodeName(m_calls.path()) + R"('
leak=no; for f in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$f ] && leak=yes; done
read -r stat < /proc/$$/stat
info() { echo "$$ $PPID $6 $leak"; }
{ info $stat; printf '%s\0' "$@"; } > "$rec/$$.tmp" && /bin/mv "$rec/$$.tmp" "$rec/$$.call"
)"));
        QVERIFY(
            QFile::setPermissions(m_bin.filePath("xdg-open"), QFile::ReadOwner | QFile::ExeOwner));
    }
    void init()
    {
        m_outer = std::make_unique<QTemporaryDir>();
        QVERIFY(tuktest::writeFile(m_outer->path() + "/guard.txt", "guard") && make("keep.txt=k"));
    }
    void cleanup()
    {
        QCOMPARE(readFile(m_outer->path() + "/guard.txt") + readFile(p("keep.txt")), "guardk");
    }

    // Onto a longer file, into missing folders, onto a link (which is replaced, its file left):
    // the copy is exact, with the source's permissions, and leaves no temporary file.
    void copyFileReplacesTheTarget()
    {
        const QByteArray big = tuktest::pattern(3 * 1024 * 1024 + 17); // more than one buffer
        QVERIFY(tuktest::writeFile(p("src"), big) &&
                tuktest::writeFile(p("dst"), QByteArray(5 << 20, 'o')));
        QVERIFY(make("p=P s=s empty= link->p") &&
                QFile::setPermissions(p("src"), QFile::ReadOwner));
        copyFile(p("src"), p("dst"));
        copyFile(p("src"), p("x/y/deep"));
        copyFile(p("s"), p("link"));
        QVERIFY(readFile(p("dst")) == big && readFile(p("x/y/deep")) == big);
        QCOMPARE(QFileInfo(p("dst")).permissions(), QFileInfo(p("src")).permissions());
        copyFile(p("empty"), p("dst"));
        QCOMPARE(tree(p()),
                 "dst= empty= keep.txt=k link=s p=P s=s src=#3145745 x/ x/y/ x/y/deep=#3145745");
    }

    // When the copy cannot be made, the target keeps its content, no folder is made and nothing
    // is left behind.
    void copyFileThatCannotBeMade()
    {
        const QString t = p("target");
        QVERIFY(make("target=precious src=source alias->target folder/in/"));
        QCOMPARE(::link(QFile::encodeName(t), QFile::encodeName(p("hard"))), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(p("fifo")), 0600), 0);
        const QString all = tree(p());
        const QStringList attempts{"missing", "target", "missing", "new/t",  "folder", "target",
                                   "fifo",    "target", "src",     "fifo",   "target", "target",
                                   "alias",   "target", "hard",    "target", "target", "alias",
                                   "src",     "folder", "",        "target", "src",    ""};
        for (int i = 0; i < attempts.size(); i += 2)
            copyFile(attempts[i].isEmpty() ? "" : p(attempts[i]),
                     attempts[i + 1].isEmpty() ? "" : p(attempts[i + 1]));
        QCOMPARE(tree(p()), all);
    }

    // The tree and the parents it leaves empty go, up to one that holds something. Hidden and
    // special entries stay, and so do the folders holding them. Links are removed themselves,
    // never followed; a folder given as a link loses the link alone.
    void delDirRemovesTrees()
    {
        QCOMPARE(delDir(""), false);
        QCOMPARE(delDir(p("missing")) && delDir(p("keep.txt")), true);
        QVERIFY(make("up/o=o up/a/b/t/f=f up/a/b/t/sub/g=g up/a/b/t/e/ h/.h=h h/n=n h/s/.in/x=x "
                     "b/x=x b/broken->nowhere out/file=F out/dir/in=I l/s=s l/t/f=f l/t/self->. "
                     "l/t/toFile->../../out/file l/t/toDir->../../out/dir l/t/up->.. ln/"));
        QCOMPARE(::symlink(QFile::encodeName(p("out/dir")), QFile::encodeName(p("ln/L"))), 0);
        QCOMPARE(delDir(p("up/a/b/t")), true);
        QCOMPARE(delDir(p("h")) || delDir(p("b")), false);
        QCOMPARE(delDir(p("l/t")) && delDir(p("ln/L/")), true);
        QCOMPARE(tree(p()), "b/ b/broken->b/nowhere h/ h/.h=h h/s/ h/s/.in/ h/s/.in/x=x keep.txt=k "
                            "l/ l/s=s ln/ out/ out/dir/ out/dir/in=I out/file=F up/ up/o=o");
    }

    // Depth first, by name ignoring case, files before subfolders; top-level entries keep the
    // path as given, deeper ones are absolute. Hidden files are listed, links to files, hidden
    // folders and folders outside the tree are not; a folder reached by a link into the tree is
    // listed there, once; the walk ends.
    void getFileListWalksTheTree()
    {
        QVERIFY(make("out/secret=s r/x=x r/C=C r/.dot=d r/B/y=y r/c/z=z r/.h/in=i r/lf->x r/in/g=g "
                     "r/aa->in r/zz->.h r/in/back->.. r/loop->. r/out->../out"));
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(p()));
        const QList<QFileInfo> relative = getFileList("r");
        QVERIFY(QDir::setCurrent(saved));
        QCOMPARE(files(relative, p()), "r/.dot r/C r/x ~r/aa/g ~r/B/y ~r/c/z ~r/zz/in");
        QCOMPARE(files(getFileList(p("r/in/back/loop/in")), p()), "~r/in/back/loop/in/g");
        QVERIFY(getFileList(p("missing")).isEmpty() && getFileList(p("keep.txt")).isEmpty());
    }

    // Without a QGuiApplication the desktop (and its handler for "tukx:") is never asked: the text
    // goes whole to the first "xdg-open" on PATH, in a session of its own, not our child, without
    // our file 3, open meanwhile. A PATH entry that is not executable, a folder or relative is
    // passed over; an opener that cannot be executed, or a text holding a NUL, is refused.
    void urlOpener()
    {
        QDesktopServices::setUrlHandler("tukx", this, "open");
        const QString text = "tukx:a b?q=\u00fc&x='\"$(touch x)`id`;*";
        const int flags = ::fcntl(3, F_GETFD);
        QVERIFY(flags >= 0 || ::open("/dev/null", O_RDONLY) == 3);
        ::fcntl(3, F_SETFD, 0);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_bin.path() + "/"));
        executeURL(text);
        qputenv("PATH", path);
        ::fcntl(3, F_SETFD, flags < 0 ? FD_CLOEXEC : flags);
        QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
        const QStringList call = calls().first().section('|', 0, 0).split(' ');
        QCOMPARE(call.mid(2) << calls().first().section('|', 1),
                 QStringList({call[0], "no", text}));
        QVERIFY(call[1].toLongLong() != ::getpid());
        const QString base = p();
        QVERIFY(make("folder/xdg-open/ relative/xdg-open=#!/bin/sh broken/xdg-open=#!/none "
                     "noexec/xdg-open=#!/bin/sh"));
        QVERIFY(QFile::setPermissions(p("relative/xdg-open"), QFile::ExeOwner | QFile::ReadOwner) &&
                QFile::setPermissions(p("broken/xdg-open"), QFile::ExeOwner | QFile::ReadOwner));
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(base));
        const QString skipped = base + "noexec::" + base + "folder:relative:";
        QCOMPARE(startWith(skipped, "b") || startWith(base + "broken:" + m_bin.path(), "c") ||
                     startWith(m_bin.path(), std::string("d\0e", 3)),
                 false);
        QVERIFY(startWith(skipped + m_bin.path(), "f"));
        QVERIFY(QDir::setCurrent(saved));
        QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 2, 20000);
        QStringList args;
        for (const QString& c : calls())
            args << c.section('|', 1);
        args.sort();
        QCOMPARE(args, QStringList({"f", text}));
    }
};

QTEST_GUILESS_MAIN(TestUtil)
#include "tst_util.moc"
