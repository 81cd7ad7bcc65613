#include "tests/support/EventLoopStall.h"

#include <QStringList>

#include <algorithm>

namespace qv::test {

EventLoopStall::EventLoopStall()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
}

void EventLoopStall::Start()
{
    m_sections.clear();
    m_section.clear();
    m_longestNs = 0;
    m_sectionLongestNs = 0;
    m_clock.start();
    m_lastNs = 0;
    m_timer.start();
}

void EventLoopStall::Tick()
{
    const std::int64_t now = m_clock.nsecsElapsed();
    const std::int64_t gap = now - m_lastNs;
    m_lastNs = now;
    m_longestNs = std::max(m_longestNs, gap);
    m_sectionLongestNs = std::max(m_sectionLongestNs, gap);
}

void EventLoopStall::Section(const QString& name)
{
    Tick();
    if (!m_section.isEmpty())
        m_sections[m_section] = std::max(m_sections[m_section], m_sectionLongestNs / 1e6);
    m_section = name;
    m_sectionLongestNs = 0;
}

double EventLoopStall::Stop()
{
    Section(QString());
    m_timer.stop();
    return LongestMs();
}

QString EventLoopStall::Report() const
{
    QStringList parts;
    for (const auto& [name, ms] : m_sections)
        parts << QStringLiteral("%1 %2 ms").arg(name).arg(ms, 0, 'f', 1);
    parts << QStringLiteral("longest %1 ms").arg(LongestMs(), 0, 'f', 1);
    return parts.join(QStringLiteral(", "));
}

} // namespace qv::test
