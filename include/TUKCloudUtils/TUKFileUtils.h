#ifndef TUKCLOUDUTILS_TUKFILEUTILS_H
#define TUKCLOUDUTILS_TUKFILEUTILS_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QFileInfo>
#include <QList>
#include <QString>

/*!
 * \file TUKFileUtils.h
 * \brief Local file housekeeping (copy a file, remove or list a folder tree) and opening a URL.
 *
 * None of these functions throws or prints anything, and none touches state of the library.
 */

/*!
 * Makes \a dstPath a copy of \a srcPath, creating the target's missing folders first. Reports
 * nothing: check the target yourself when you need to know.
 *
 * The copy never loses data. It is written to a hidden temporary file (".tukcopy-XXXXXX") in the
 * target's folder, and only a complete copy is renamed over the target, in one step. When the
 * copy cannot be made, the target stays exactly as it was, no temporary file is left behind and
 * no folder is created. That is the case when:
 * - either path is empty, or the source is not a regular file (it does not exist, or it is a
 *   folder, a FIFO, a socket or a device; a link to a regular file is fine);
 * - source and target are the same file (same path, a link to it, or another hard link);
 * - the target exists and is neither a regular file nor a link (a folder, a FIFO, a device...);
 * - the source cannot be read, the target's folder cannot be made or written, or the copy does
 *   not fit on the disk.
 *
 * The copy gets the source's permissions. A target that is a link is replaced by the copy
 * itself; the file the link pointed to is not touched. The data is not explicitly flushed to the
 * storage device before the rename.
 */
TUKCLOUDUTILS_EXPORT void copyFile(const QString& srcPath, const QString& dstPath);

/*!
 * Removes the folder \a path with its content and returns whether the folder is gone.
 *
 * - An empty \a path returns false and touches nothing; a folder that does not exist (or a
 *   path that is not a folder) returns true.
 * - The content is listed without hidden entries and without the special entries QDir calls
 *   "system" (on Linux: FIFOs, sockets, device files and broken links). Those are left in place,
 *   so a folder holding one of them, or anything else that could not be removed, is kept and
 *   the result is false. Entries that cannot be removed are skipped; the rest is still removed.
 * - \b Upwards: like QDir::rmpath(), once the folder itself is removed, its parent is removed too
 *   when it is now empty, then that parent's parent, and so on along the absolute path, until a
 *   parent that cannot be removed (one that still holds anything, for example). Only empty
 *   folders are ever removed this way.
 *
 * Links are never followed. A link met inside the tree (to a file or to a folder, inside or
 * outside the tree) is removed itself; nothing it points to is touched. When \a path itself is
 * a link to a folder, the link alone is removed, its parents are left alone, and the result says
 * whether the link is gone.
 */
TUKCLOUDUTILS_EXPORT bool delDir(const QString& path);

/*!
 * Returns every file in the folder \a path and, recursively, in its subfolders: depth first, a
 * folder's own files in name order (ignoring case), then the complete list of each subfolder in
 * name order. Entries of the top folder carry paths built from \a path as given, deeper ones
 * absolute paths.
 *
 * Hidden files are listed; hidden folders are not entered. Links to files are not listed. A
 * folder that does not exist or cannot be read yields an empty list; an empty \a path lists
 * the current working folder.
 *
 * Links to folders: a link is entered only when the folder it leads to lies inside the listed
 * tree and has not been listed yet, so the walk never leaves the tree and always ends (link
 * cycles included). Every folder is listed at most once: when a link inside the tree leads to a
 * folder before the walk reaches it by its own name, its files are listed under the link's path
 * and the folder is not listed again.
 */
TUKCLOUDUTILS_EXPORT QList<QFileInfo> getFileList(const QString& path);

/*!
 * Opens \a url for the user; reports nothing.
 *
 * First the text is parsed as a URL in tolerant mode and handed to QDesktopServices::openUrl().
 * When that does not open it, the system's URL opener is started, detached, with the unchanged
 * text as its only argument: on Linux the first "xdg-open" found on PATH (the text is passed as
 * UTF-8), on Windows "IEXPLORE.EXE" through the shell. When no opener can be started either,
 * nothing happens.
 *
 * Without a QGuiApplication, QDesktopServices cannot open anything (Qt then prints a warning and
 * gives up; it does not crash), so the first step is skipped and the opener is started directly.
 * Handlers registered with QDesktopServices::setUrlHandler() are therefore only consulted in a
 * GUI application.
 */
TUKCLOUDUTILS_EXPORT void executeURL(const QString& url);

#endif // TUKCLOUDUTILS_TUKFILEUTILS_H
