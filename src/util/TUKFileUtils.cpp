#include <TUKCloudUtils/TUKFileUtils.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

namespace {

// File names reach the system as UTF-16 on Windows and as UTF-8 bytes elsewhere (the encoding Qt
// uses for file names under any UTF-8 locale).
std::filesystem::path toFsPath(const QString& path)
{
    return std::filesystem::u8path(path.toStdString()); // QString::toStdString() is UTF-8
}

bool sameFile(const QString& a, const QString& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(toFsPath(a), toFsPath(b), ec) && !ec;
}

// Removes each of the folders, in the order given, as long as it is empty.
void removeEmptyFolders(const QStringList& folders)
{
    for (const QString& f : folders)
        if (!QDir().rmdir(f))
            return;
}

bool isLink(const QFileInfo& entry)
{
    return entry.isSymLink() || entry.isJunction();
}

// Copies everything `in` reads into `out`; false on any read or write failure.
bool copyData(QFile& in, QFile& out)
{
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (out.write(buffer.constData(), got) != got)
            return false;
    }
}

// Removes the entries of `dir` that the listing shows: files and links themselves, folders with
// their content. Links are never followed.
void removeContent(QDir dir)
{
    dir.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QFileInfoList entries = dir.entryInfoList();
    for (const QFileInfo& entry : entries) {
        if (isLink(entry)) {
            // A link to a folder is a directory entry of its own on Windows.
            if (!dir.remove(entry.fileName()))
                dir.rmdir(entry.fileName());
        } else if (entry.isFile()) {
            entry.dir().remove(entry.fileName());
        } else {
            removeContent(QDir(entry.absoluteFilePath()));
            dir.rmdir(entry.fileName());
        }
    }
}

// Both paths are canonical, so they spell every name as the file system stores it and a plain
// comparison holds on case-insensitive file systems too.
bool isInside(const QString& canonicalPath, const QString& canonicalRoot)
{
    if (canonicalPath == canonicalRoot)
        return true;
    const QString prefix =
        canonicalRoot.endsWith(QLatin1Char('/')) ? canonicalRoot : canonicalRoot + QLatin1Char('/');
    return canonicalPath.startsWith(prefix);
}

void collectFiles(const QString& path, const QString& root, QSet<QString>& listed,
                  QList<QFileInfo>& result)
{
    const QDir dir(path);
    result += dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    const QFileInfoList folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& folder : folders) {
        const QString canonical = folder.canonicalFilePath();
        if (canonical.isEmpty() || listed.contains(canonical))
            continue;
        if (isLink(folder) && !isInside(canonical, root))
            continue;
        listed.insert(canonical);
        collectFiles(folder.absoluteFilePath(), root, listed, result);
    }
}

} // namespace

void copyFile(const QString& srcPath, const QString& dstPath)
{
    if (srcPath.isEmpty() || dstPath.isEmpty())
        return;
    // Only regular files (or links to them) are copied, and only a regular file or a link is
    // replaced: no folder, FIFO, socket or device on either side.
    const QFileInfo src(srcPath);
    if (!src.isFile())
        return;
    const QFileInfo dst(dstPath);
    if (dst.exists() && !dst.isFile() && !isLink(dst))
        return;
    if (dst.exists() && sameFile(srcPath, dstPath))
        return;

    QFile in(srcPath);
    if (!in.open(QIODevice::ReadOnly))
        return;
    const QString folder = dst.absolutePath();
    // The folders this call makes, deepest first, so that a failed copy can take them back.
    QStringList made;
    for (QString f = folder; !QFileInfo::exists(f) && !QDir(f).isRoot();
         f = QFileInfo(f).absolutePath())
        made << f;
    if (!made.isEmpty() && !QDir().mkpath(folder)) {
        removeEmptyFolders(made);
        return;
    }

    {
        QTemporaryFile out(folder + QStringLiteral("/.tukcopy-XXXXXX"));
        if (out.open() && copyData(in, out) && out.flush()) {
            // The owner's bits only: Qt's "user" bits describe whoever runs this (root may
            // write anything) and would turn into owner bits of the copy.
            out.setPermissions(src.permissions() &
                               ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser));
            out.close();
            std::error_code ec;
            if (out.error() == QFileDevice::NoError) {
                // Replaces the target in one step (a link is replaced, not followed).
                std::filesystem::rename(toFsPath(out.fileName()), toFsPath(dst.absoluteFilePath()),
                                        ec);
                if (!ec) {
                    out.setAutoRemove(false);
                    return;
                }
            }
        }
    } // the temporary file is removed here
    removeEmptyFolders(made);
}

bool delDir(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Without a trailing separator, so that a link is seen as the link and not as its target.
    const QFileInfo top(QDir::cleanPath(path));
    QDir dir(path);
    if (!dir.exists())
        return true;
    if (isLink(top)) {
        const QString link = top.absoluteFilePath();
        if (!QFile::remove(link))
            QDir().rmdir(link);
        return !QFileInfo(link).isSymLink() && !QFileInfo::exists(link);
    }
    removeContent(dir);
    return dir.rmpath(dir.absolutePath());
}

QList<QFileInfo> getFileList(const QString& path)
{
    QList<QFileInfo> result;
    const QString root = QDir(path).canonicalPath();
    if (root.isEmpty())
        return result;
    QSet<QString> listed{root};
    collectFiles(path, root, listed, result);
    return result;
}
