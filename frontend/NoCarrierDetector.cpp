#include "frontend/NoCarrierDetector.h"

namespace vh {

const QByteArray& NoCarrierDetector::Pattern()
{
    static const QByteArray pattern("NO CARRIER");
    return pattern;
}

bool NoCarrierDetector::Feed(const char* data, int size)
{
    if (!data || size <= 0)
        return false;
    const qsizetype keep = Pattern().size() - 1;
    QByteArray window = m_tail;
    window.append(data, size);
    const bool found = window.contains(Pattern());
    if (found) {
        // The report has been acted on; what followed it may still begin a
        // new one, but never the same one again.
        const qsizetype after = window.lastIndexOf(Pattern()) + Pattern().size();
        window = window.mid(after);
    }
    m_tail = window.right(keep);
    return found;
}

} // namespace vh
