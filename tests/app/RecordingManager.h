// Stands in for EncryptorManager behind the context property "encryptorManager": the
// signals, properties and invokables the window uses, but it only records what it is asked.
#pragma once

#include "manager/LinkHealth.h"

#include <QObject>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <utility>

class RecordingManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool encryptionEnabled READ isEncryptionEnabled NOTIFY encryptionEnabledChanged)
    Q_PROPERTY(QString virtualPortPath READ virtualPortPath CONSTANT)
    Q_PROPERTY(bool modemRoutineRunning READ isModemRoutineRunning NOTIFY modemRoutineRunningChanged)
    Q_PROPERTY(LinkHealth *linkHealth READ linkHealth CONSTANT)

public:
    static QString offeredPort() { return QStringLiteral("/run/user/0/uav-link-gcs"); }
    QString virtualPortPath() const { return offeredPort(); }
    bool isEncryptionEnabled() const { return m_encryptionEnabled; }
    bool isModemRoutineRunning() const { return m_modemRoutineRunning; }
    void setModemRoutineRunning(bool running)
    {
        if (std::exchange(m_modemRoutineRunning, running) != running)
            emit modemRoutineRunningChanged();
    }
    // A real one, driven by the test through apply() and setPhase().
    LinkHealth *linkHealth() { return &health; }
    void setEncryptionEnabled(bool enabled)
    {
        if (std::exchange(m_encryptionEnabled, enabled) != enabled)
            emit encryptionEnabledChanged();
    }

    // Each call as "method(argument, ...)".
    QStringList calls;
    // Runs inside every recorded call, while the window is still blocked in it.
    std::function<void()> duringCall;

signals:
    void notification(QString message);
    void netIdChanged(int netId);
    void encryptionEnabledChanged();
    void modemRoutineRunningChanged();

public:
    Q_INVOKABLE void initialize(QString internalPort, QString externalPort, QString outputPort)
    {
        record("initialize", {internalPort, externalPort, outputPort});
    }
    Q_INVOKABLE void deinitialize() { record("deinitialize", {}); }
    Q_INVOKABLE void setNetworkId(QString modemPort, int netId)
    {
        record("setNetworkId", {modemPort, netId});
    }

private:
    void record(const char *method, const QVariantList &arguments)
    {
        QStringList texts;
        for (const QVariant &a : arguments)
            texts << a.toString();
        calls << QString("%1(%2)").arg(method, texts.join(", "));
        if (duringCall)
            duringCall();
    }

    bool m_encryptionEnabled = false;
    bool m_modemRoutineRunning = false;
    LinkHealth health;
};
