#include "ChildProcess.h"

#include <QElapsedTimer>

namespace testkit {

ChildProcess::ChildProcess() {
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { ReadLines(); });
}

ChildProcess::~ChildProcess() {
    Stop(3000);
}

bool ChildProcess::Start(const QString& path, const QStringList& args) {
    m_process.start(path, args);
    return m_process.waitForStarted();
}

void ChildProcess::ReadLines() {
    (m_onLine ? m_partial : m_output) += m_process.readAllStandardOutput();
    if (!m_onLine) {
        return;
    }
    qsizetype start = 0;
    for (qsizetype nl; (nl = m_partial.indexOf('\n', start)) >= 0; start = nl + 1) {
        m_onLine(m_partial.mid(start, nl - start));
    }
    m_partial.remove(0, start);
}

std::optional<QByteArray> ChildProcess::WaitForLine(const QByteArray& marker, int deadlineMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        for (qsizetype nl; (nl = m_output.indexOf('\n', m_scanned)) >= 0;) {
            const QByteArray line = m_output.mid(m_scanned, nl - m_scanned);
            m_scanned = nl + 1;
            if (line.contains(marker)) {
                return line;
            }
        }
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0 || !m_process.waitForReadyRead(static_cast<int>(left))) {
            return std::nullopt;
        }
    }
}

void ChildProcess::OnLine(std::function<void(const QByteArray&)> onLine) {
    m_onLine = std::move(onLine);
    m_partial = m_output.mid(m_scanned);
    m_output.clear();
    m_scanned = 0;
    ReadLines();  // the lines already read
}

void ChildProcess::Kill() {
    m_process.kill();
    m_process.waitForFinished(-1);
}

QByteArray ChildProcess::Stop(int graceMs, int* exitCode) {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(graceMs)) {
            m_process.kill();
            m_process.waitForFinished(-1);
        }
    }
    if (exitCode != nullptr) {
        *exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    return m_process.readAllStandardError();
}

bool StartModule(ChildProcess& module, const QString& path, int com, const QStringList& args,
                 QString* error) {
    const QByteArray ready = "COM" + QByteArray::number(com) + " -> ";
    if (module.Start(path, QStringList{"--com", QString::number(com)} + args) &&
        module.WaitForLine(ready, 10000)) {
        return true;
    }
    const QByteArray said = module.Stop(1000);
    if (error != nullptr) {
        *error = "varnel-module did not publish COM" + QString::number(com) + ": " +
                 QString::fromLocal8Bit(said);
    }
    return false;
}

}  // namespace testkit
