#include "MessageBoxReporter.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <cstdio>

int MessageBoxReporter::m_showing = 0;

MessageBoxReporter::MessageBoxReporter(QObject* parent) : QObject(parent) {}

void MessageBoxReporter::ShowReport(const std::string& caption, const std::string& text) {
    // A QMessageBox needs a QApplication, not just a core application.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        WriteToStderr(caption, text);
        return;
    }
    if (QThread::currentThread() == thread()) {
        ShowBox(caption, text);
        return;
    }
    // The caller's strings outlive the blocking call, so the lambda may hold references. If the
    // reporter goes away first, Qt drops the call and releases this thread without a box.
    const bool handed = QMetaObject::invokeMethod(
        this, [&caption, &text] { ShowBox(caption, text); }, Qt::BlockingQueuedConnection);
    if (!handed) {
        WriteToStderr(caption, text);
    }
}

void MessageBoxReporter::ShowBox(const std::string& caption, const std::string& text) {
    // Reports are system-code-page text from errno; QString::fromLocal8Bit reads them so.
    QMessageBox box(QMessageBox::Critical, QString::fromLocal8Bit(caption.c_str()),
                    QString::fromLocal8Bit(text.c_str()), QMessageBox::Ok);
    box.setObjectName("ReportBox");
    ++m_showing;
    box.exec();
    --m_showing;
}

void MessageBoxReporter::WriteToStderr(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s", caption.c_str(), text.c_str());
    if (text.empty() || text.back() != '\n') {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}
