#include "app/EncryptorSettings.h"

#include <QSerialPortInfo>
#include <QUrl>

EncryptorSettings::EncryptorSettings(QObject *parent)
    : QObject(parent)
{
}

QStringList EncryptorSettings::outputPortList() const
{
    QStringList ports;
    const auto available = QSerialPortInfo::availablePorts();
    ports.reserve(available.size());
    // The full device path, because that is what the manager opens.
    for (const QSerialPortInfo &info : available)
        ports.append(info.systemLocation());
    return ports;
}

QString EncryptorSettings::outputPort() const
{
    return m_outputPort;
}

void EncryptorSettings::setOutputPort(QString outputPort)
{
    if (m_outputPort == outputPort)
        return;
    m_outputPort = outputPort;
    emit outputPortChanged();
}

QString EncryptorSettings::internalPort() const
{
    return m_internalPort;
}

void EncryptorSettings::setInternalPort(QString internalPort)
{
    if (m_internalPort == internalPort)
        return;
    m_internalPort = internalPort;
    emit internalPortChanged();
}

QString EncryptorSettings::keyFilename() const
{
    return m_keyFilename;
}

void EncryptorSettings::setKeyFilename(QString keyFilename)
{
    // Compare decoded paths, so the same file written another way is no change.
    const QString path = QUrl(keyFilename, QUrl::TolerantMode).path(QUrl::FullyDecoded);
    if (m_keyFilename == path)
        return;
    m_keyFilename = path;
    emit keyFilenameChanged();
}

QString EncryptorSettings::externalPort() const
{
    return m_externalPort;
}

void EncryptorSettings::setExternalPort(QString externalPort)
{
    if (m_externalPort == externalPort)
        return;
    m_externalPort = externalPort;
    emit externalPortChanged();
}

QString EncryptorSettings::uavKeyFilename() const
{
    return m_uavKeyFilename;
}

void EncryptorSettings::setUavKeyFilename(QString uavKeyFilename)
{
    if (m_uavKeyFilename == uavKeyFilename)
        return;
    m_uavKeyFilename = uavKeyFilename;
    emit uavKeyFilenameChanged();
}

void EncryptorSettings::update()
{
    emit outputPortListChanged();
    emit internalPortChanged();
    emit externalPortChanged();
}
