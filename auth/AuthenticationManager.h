// Worker of the authentication thread: loads the keys from the smart card, then runs the
// handshake with the aircraft over the modem bytes and reports the agreed network id.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class AuthenticationManager : public QObject
{
    Q_OBJECT

public:
    explicit AuthenticationManager(QObject *parent = nullptr);
    ~AuthenticationManager() override;

    int currentAuthState() const { return authState; }

    // Modem bytes kept while nothing examines them (key loading, after success).
    static constexpr int kMaxPendingInput = 64 * 1024;

signals:
    void dataProcessed(QByteArray data);
    void authenticationSucceeded(int netId);
    void notification(QString message);
    // The start cannot go on: a primitive failed its self-test or the system's random
    // generator is unavailable. message is the text also sent as a notification.
    void startRefused(QString message);

public slots:
    void dataArrived(QByteArray data);
    void startAuthentication();
    void startKeyLoading();

private slots:
    void authLoop();
    void keyLoadLoop();

private:
    QTimer authTimer;
    QTimer keyLoadTimer;
    int authState = 0;
    QByteArray inputBuffer;
};
