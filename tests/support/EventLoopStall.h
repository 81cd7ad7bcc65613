// How long the event loop goes without a turn while a scenario runs: a 1 ms
// timer ticks on the loop, and the longest gap between two ticks (or between
// the last tick and the end) is the longest time the program could not have
// answered the window, a socket or a timer. Work the test body calls directly,
// outside the loop, counts too: the window would wait for it all the same.
//
//     EventLoopStall stall;
//     stall.Start();
//     ... drive the scenario, waiting with WaitUntil ...
//     EXPECT_LT(stall.Stop(), 50);
//
// Sections name the parts of a longer scenario, each with its own longest gap
// (Section("dialling") ends the previous section and starts this one).
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>

namespace qv::test {

class EventLoopStall final : public QObject
{
public:
    EventLoopStall();

    void Start();
    // Ends the current section, if any, and begins `name`.
    void Section(const QString& name);
    // Stops measuring; the longest gap of the whole run, in milliseconds.
    double Stop();

    double LongestMs() const { return m_longestNs / 1e6; }
    // The longest gap of each section, in milliseconds.
    const std::map<QString, double>& Sections() const { return m_sections; }
    // "activation 3.1 ms, dialling 2.0 ms", for the test's output.
    QString Report() const;

private:
    void Tick();

    QTimer m_timer;
    QElapsedTimer m_clock;
    std::int64_t m_lastNs = 0;
    std::int64_t m_longestNs = 0;
    std::int64_t m_sectionLongestNs = 0;
    QString m_section;
    std::map<QString, double> m_sections;
};

} // namespace qv::test
