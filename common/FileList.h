// The list of files to send: a text of names and wildcard patterns turned
// into existing files with their sizes.
//
// List text. Items are separated by "|", CR or LF; CR LF counts as one
// separator. An item may end in ">N" (when repeats are allowed) to stand for
// N copies of each of its files, N from 0 to MaxFileListRepeat.
//
// Folders. "/" separates folders; an item's folder part is everything up to
// its last "/". The first item's folder part is the list folder: a later item
// without a folder part is taken from that folder. Relative folders are
// relative to the working directory.
//
// Patterns. In an item's last part "*" matches any run of characters and "?"
// exactly one character (not one byte: Persian names match as they read).
// "[" and every other character stand for themselves. A backslash makes the
// next character literal ("\*", "\?", "\>", "\\"); EscapeFileListName does
// this for a name that must not be read as a pattern. Matching is case
// sensitive, and "*" also matches names that begin with a dot (hidden files
// are files). Names whose bytes are not valid in the file-name encoding
// cannot be carried in a QString unchanged and are passed over.
//
// What counts. Only regular files (or links to them) are listed; directories,
// devices, FIFOs and sockets never are. Files are listed in name order.
#pragma once

#include "common/FileStream.h"

#include <QList>
#include <QString>

namespace qv {

struct TFileList
{
    QString FileName; // full name: the item's folder part and the name found
    qint32 FileSize = 0;
};

// Owned by the caller; BuildFileList empties it before filling it.
using TDynamicFileList = QList<TFileList>;

// The largest repeat count an item may carry.
constexpr int MaxFileListRepeat = 1000;

// The folder part of `path`: everything up to and including the last "/";
// empty when there is none. ":" is an ordinary name character here (there are
// no drive letters to split off), so it never ends a folder part.
QString ExtractFolder(const QString& path);

// Turns `list` into `files`. Returns
//   0    files found (`files` holds them);
//  -10   the list is empty or starts with a separator, a repeat count is
//        empty, not all digits or above MaxFileListRepeat, or (strict) a
//        matching file is 2 GiB or larger, which sizes of 32 bits cannot
//        carry;
//  -88   (strict) a matching file is empty;
//  -97   (strict) an item matches no file; or no file was found at all.
// When not strict, empty files, files of 2 GiB or more and items without
// matches are passed over. On any failure `files` is left empty. With
// `useWideApi` false the names go through the code page (see FileStream.h).
int BuildFileList(const QString& list, TDynamicFileList& files, bool strict, bool useWideApi,
                  bool allowRepeat);

// What a parse for sending passed over, one row per name: an item that
// matches no file (-97) or a file of 2 GiB or more (-10).
struct TFileListOmission
{
    QString FileName;
    int Code = 0;
};

// The list a sender works from: BuildFileList without strictness or
// repeats, except that empty files are listed (an empty file is a file to
// send) and that what is passed over is reported in `omitted`, so that no
// file the operator named goes missing unnoticed.
int BuildSendFileList(const QString& list, TDynamicFileList& files, QList<TFileListOmission>& omitted,
                      bool useWideApi);

// `name` with "\", "*", "?" and ">" escaped, so that an item built from it
// names exactly that file. Separators cannot be escaped: refuse names for
// which HasFileListSeparator holds.
QString EscapeFileListName(const QString& name);
bool HasFileListSeparator(const QString& name);

} // namespace qv
