#include "common/FileList.h"

#include "common/ErrorCodes.h"

#include <QFile>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace qv {

namespace {

bool IsSeparator(QChar c)
{
    return c == u'|' || c == u'\r' || c == u'\n';
}

// Index of the first `target` not preceded by an escaping backslash, or -1.
qsizetype FindUnescaped(const QString& text, QChar target)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\')
            ++i;
        else if (text[i] == target)
            return i;
    }
    return -1;
}

bool HasWildcard(const QString& pattern)
{
    return FindUnescaped(pattern, u'*') >= 0 || FindUnescaped(pattern, u'?') >= 0;
}

QString Unescape(const QString& text)
{
    QString plain;
    plain.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A backslash at the very end has nothing to escape and is itself.
        if (text[i] == u'\\' && i + 1 < text.size())
            ++i;
        plain += text[i];
    }
    return plain;
}

// A pattern as a sequence of code points, where "*" and "?" that were not
// escaped become the markers below (outside the Unicode range).
constexpr char32_t kAnyRun = 0x110000;
constexpr char32_t kAnyOne = 0x110001;

std::vector<char32_t> CompilePattern(const QString& pattern)
{
    std::vector<char32_t> compiled;
    const QList<uint> points = pattern.toUcs4();
    for (qsizetype i = 0; i < points.size(); ++i) {
        if (points[i] == '\\' && i + 1 < points.size())
            compiled.push_back(points[++i]);
        else if (points[i] == '*')
            compiled.push_back(kAnyRun);
        else if (points[i] == '?')
            compiled.push_back(kAnyOne);
        else
            compiled.push_back(points[i]);
    }
    return compiled;
}

// Wildcard match with one remembered "*": on a mismatch the last "*" takes
// one more character. Linear in practice, never recursive.
bool Matches(const std::vector<char32_t>& pattern, const QString& name)
{
    const QList<uint> text = name.toUcs4();
    size_t p = 0;
    qsizetype t = 0;
    size_t starP = std::numeric_limits<size_t>::max();
    qsizetype starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == kAnyOne || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == kAnyRun) {
            starP = p++;
            starT = t;
        } else if (starP != std::numeric_limits<size_t>::max()) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == kAnyRun)
        ++p;
    return p == pattern.size();
}

QString DecodeName(const QByteArray& bytes, bool useWideApi)
{
    return useWideApi ? QFile::decodeName(bytes) : QString::fromLocal8Bit(bytes);
}

QByteArray EncodeFound(const QString& name, bool useWideApi)
{
    return useWideApi ? QFile::encodeName(name) : name.toLocal8Bit();
}

struct Found
{
    QString name;
    qint64 size;
};

struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The regular files that `pattern` names inside `folder` (already unescaped).
// An unreadable folder or a name that cannot be encoded finds nothing, as a
// failed search would.
std::vector<Found> Search(const QString& folder, const QString& pattern, bool useWideApi)
{
    std::vector<Found> found;
    struct stat st
    {
    };
    if (!HasWildcard(pattern)) {
        const QString name = Unescape(pattern);
        QByteArray path;
        if (!name.isEmpty() && EncodeFileName(folder + name, useWideApi, path) &&
            ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back({name, qint64(st.st_size)});
        return found;
    }

    QByteArray dirPath;
    if (!EncodeFileName(folder.isEmpty() ? QStringLiteral(".") : folder, useWideApi, dirPath))
        return found;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(dirPath.constData()));
    if (!dir)
        return found;
    const std::vector<char32_t> compiled = CompilePattern(pattern);
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray bytes(entry->d_name);
        if (bytes == "." || bytes == "..")
            continue;
        const QString name = DecodeName(bytes, useWideApi);
        // A name that does not survive the round trip through QString would
        // be listed under bytes that open a different file, or none.
        if (EncodeFound(name, useWideApi) != bytes || !Matches(compiled, name))
            continue;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
            found.push_back({name, qint64(st.st_size)});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
    return found;
}

// The count after ">": digits only, at most MaxFileListRepeat.
bool ParseRepeat(const QString& text, int& count)
{
    if (text.isEmpty())
        return false;
    count = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        count = count * 10 + (c.unicode() - u'0');
        if (count > MaxFileListRepeat)
            return false;
    }
    return true;
}

class ListBuilder
{
public:
    ListBuilder(TDynamicFileList& files, bool strict, bool useWideApi, bool allowRepeat,
                QList<TFileListOmission>* omitted = nullptr)
        : m_files(files), m_strict(strict), m_wide(useWideApi), m_allowRepeat(allowRepeat), m_omitted(omitted)
    {}

    // 0 to go on, or the code that ends the parse.
    int AddItem(QString item)
    {
        int count = 1;
        if (m_allowRepeat) {
            const qsizetype mark = FindUnescaped(item, u'>');
            if (mark >= 0) {
                if (!ParseRepeat(item.mid(mark + 1), count))
                    return err::InvalidArgument;
                item.truncate(mark);
            }
        }

        QString folder = ExtractFolder(item);
        if (m_firstItem) {
            m_listFolder = folder;
            m_firstItem = false;
        } else if (folder.isEmpty()) {
            folder = m_listFolder;
            item.prepend(m_listFolder);
        }

        const QString realFolder = Unescape(folder);
        const std::vector<Found> found = Search(realFolder, item.mid(folder.size()), m_wide);
        if (found.empty()) {
            // An empty item (two separators in a row) names nothing to miss.
            if (m_omitted && item.size() > folder.size())
                m_omitted->append({Unescape(item), err::NotFound});
            return m_strict ? err::NotFound : err::Success;
        }
        for (const Found& file : found) {
            const bool tooLarge = file.size > std::numeric_limits<qint32>::max();
            if (tooLarge || (file.size == 0 && !m_omitted)) {
                if (m_strict)
                    return file.size == 0 ? err::NoData : err::InvalidArgument;
                if (m_omitted)
                    m_omitted->append({realFolder + file.name, err::InvalidArgument});
                continue;
            }
            const TFileList entry{realFolder + file.name, qint32(file.size)};
            for (int i = 0; i < count; ++i)
                m_files.append(entry);
        }
        return err::Success;
    }

private:
    TDynamicFileList& m_files;
    const bool m_strict;
    const bool m_wide;
    const bool m_allowRepeat;
    QList<TFileListOmission>* m_omitted; // set when parsing for a sender
    bool m_firstItem = true;
    QString m_listFolder;
};

} // namespace

QString ExtractFolder(const QString& path)
{
    return path.left(path.lastIndexOf(u'/') + 1);
}

namespace {

int ParseList(const QString& list, TDynamicFileList& files, ListBuilder& builder)
{
    files.clear();
    if (list.isEmpty() || IsSeparator(list.front()))
        return err::InvalidArgument;
    QString text = list;
    if (!IsSeparator(text.back()))
        text += u'|';

    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!IsSeparator(text[i]))
            continue;
        if (text[i] == u'\n' && text[i - 1] == u'\r' && start == i) {
            start = i + 1;
            continue;
        }
        const int code = builder.AddItem(text.mid(start, i - start));
        start = i + 1;
        if (code != err::Success) {
            files.clear();
            return code;
        }
    }
    return files.isEmpty() ? err::NotFound : err::Success;
}

} // namespace

int BuildFileList(const QString& list, TDynamicFileList& files, bool strict, bool useWideApi,
                  bool allowRepeat)
{
    ListBuilder builder(files, strict, useWideApi, allowRepeat);
    return ParseList(list, files, builder);
}

int BuildSendFileList(const QString& list, TDynamicFileList& files, QList<TFileListOmission>& omitted,
                      bool useWideApi)
{
    omitted.clear();
    ListBuilder builder(files, false, useWideApi, false, &omitted);
    const int code = ParseList(list, files, builder);
    if (code == err::InvalidArgument)
        omitted.clear();
    return code;
}

QString EscapeFileListName(const QString& name)
{
    QString escaped;
    escaped.reserve(name.size());
    for (const QChar c : name) {
        if (c == u'\\' || c == u'*' || c == u'?' || c == u'>')
            escaped += u'\\';
        escaped += c;
    }
    return escaped;
}

bool HasFileListSeparator(const QString& name)
{
    return std::any_of(name.begin(), name.end(), IsSeparator);
}

} // namespace qv
