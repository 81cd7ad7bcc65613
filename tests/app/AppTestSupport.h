// Shared pieces of the window tests: captured message boxes, a settings
// folder of the test's own, and finding controls by their form names.
#pragma once

#include "app/MessageBox.h"
#include "app/Settings.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

namespace vh::test {

// Captures every message box for the lifetime of the object instead of
// showing it.
class MessageBoxCapture
{
public:
    MessageBoxCapture()
    {
        SetMessageBoxHandler([this](QWidget*, const QString& text) { m_texts << text; });
    }
    ~MessageBoxCapture() { SetMessageBoxHandler(nullptr); }
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

    const QStringList& Texts() const { return m_texts; }
    void Clear() { m_texts.clear(); }

private:
    QStringList m_texts;
};

// A settings folder that lives as long as the test.
class SettingsFolder
{
public:
    QString Path() const { return m_dir.path() + QLatin1Char('/'); }
    SettingsStore Store() const { return SettingsStore(Path()); }
    void Put(const QString& name, const QByteArray& content) const
    {
        QFile file(Path() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray Get(const QString& name) const
    {
        QFile file(Path() + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool Has(const QString& name) const { return QFile::exists(Path() + name); }

private:
    QTemporaryDir m_dir;
};

// The child named `name`; fails the test when there is none.
template <class W> W* Control(QWidget* form, const char* name)
{
    W* widget = form->findChild<W*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << "no control " << name;
    return widget;
}

} // namespace vh::test
