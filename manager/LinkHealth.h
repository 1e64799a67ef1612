// The link's health for the operator: the published link counters, refreshed once a second
// while the link runs, with the manager's phase and port state folded into one link state.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include "messaging/LinkCounters.h"

class LinkHealth : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY updated)
    // The state's name ("Relaying", ...), for QML, which does not see the enum unregistered.
    Q_PROPERTY(QString stateName READ stateName NOTIFY updated)
    Q_PROPERTY(int silentSeconds READ silentSeconds NOTIFY updated)
    Q_PROPERTY(double recordsSent READ recordsSent NOTIFY updated)
    Q_PROPERTY(double recordsAccepted READ recordsAccepted NOTIFY updated)
    Q_PROPERTY(double refusedReplay READ refusedReplay NOTIFY updated)
    Q_PROPERTY(double refusedMac READ refusedMac NOTIFY updated)
    Q_PROPERTY(double refusedLimit READ refusedLimit NOTIFY updated)
    Q_PROPERTY(double refusedReflected READ refusedReflected NOTIFY updated)
    Q_PROPERTY(double mavlinkDropped READ mavlinkDropped NOTIFY updated)
    Q_PROPERTY(double bytesToAircraft READ bytesToAircraft NOTIFY updated)
    Q_PROPERTY(double bytesFromAircraft READ bytesFromAircraft NOTIFY updated)
    Q_PROPERTY(double rateToAircraft READ rateToAircraft NOTIFY updated)
    Q_PROPERTY(double rateFromAircraft READ rateFromAircraft NOTIFY updated)
    Q_PROPERTY(double sendEpoch READ sendEpoch NOTIFY updated)
    Q_PROPERTY(double receiveEpoch READ receiveEpoch NOTIFY updated)
    Q_PROPERTY(double bytesBeforeRekey READ bytesBeforeRekey NOTIFY updated)
    Q_PROPERTY(double msSinceAircraft READ msSinceAircraft NOTIFY updated)
    Q_PROPERTY(int handshakes READ handshakes NOTIFY updated)

public:
    enum State {
        Stopped, Authenticating, ConfiguringModem, Relaying, AircraftSilent, ModemPortLost,
        GroundPortLost
    };
    Q_ENUM(State)
    // What the manager is doing; the link state adds silence and a lost port to it.
    enum Phase { Idle, Authentication, ModemRoutine, Relay };

    // No record from the aircraft for this long while relaying counts as silence: it sends a
    // HEARTBEAT every second.
    static constexpr int kSilenceMs = 3000;

    explicit LinkHealth(QObject *parent = nullptr);

    void setPhase(Phase phase);
    void setModemPortLost(bool lost);
    void setGroundPortLost(bool lost);
    void countHandshake();
    // Takes the newest published counters now; the timer calls it once a second.
    void refresh();
    // As refresh, from given counters at the given time (steadyClockMs()); for tests.
    void apply(const LinkCounters &counters, uint64_t nowMs);
    // One line of JSON with the statistics keys, without a line break.
    QByteArray statsJson() const;

    State state() const;
    QString stateName() const;
    int silentSeconds() const;
    double recordsSent() const { return double(m_counters.recordsSent); }
    double recordsAccepted() const { return double(m_counters.recordsAccepted); }
    double refusedReplay() const { return double(m_counters.refusedReplay); }
    double refusedMac() const { return double(m_counters.refusedMac); }
    double refusedLimit() const { return double(m_counters.refusedLimit); }
    double refusedReflected() const { return double(m_counters.refusedReflected); }
    double mavlinkDropped() const;
    double bytesToAircraft() const { return double(m_counters.bytesToAircraft); }
    double bytesFromAircraft() const { return double(m_counters.bytesFromAircraft); }
    double rateToAircraft() const { return m_rateToAircraft; }
    double rateFromAircraft() const { return m_rateFromAircraft; }
    double sendEpoch() const { return double(m_counters.sendEpoch); }
    double receiveEpoch() const { return double(m_counters.receiveEpoch); }
    double bytesBeforeRekey() const { return double(m_counters.bytesBeforeRekey); }
    // -1 before the first record from the aircraft.
    double msSinceAircraft() const { return double(m_msSinceAircraft); }
    int handshakes() const { return m_handshakes; }

signals:
    void updated();

private:
    QTimer m_timer;
    LinkCounters m_counters{};
    uint64_t m_nowMs = 0;
    uint64_t m_relayStartMs = 0;
    int64_t m_msSinceAircraft = -1;
    double m_rateToAircraft = 0;
    double m_rateFromAircraft = 0;
    Phase m_phase = Idle;
    bool m_modemPortLost = false;
    bool m_groundPortLost = false;
    int m_handshakes = 0;
};
