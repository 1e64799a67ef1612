#include "manager/LinkHealth.h"

#include <QMetaEnum>

#include <utility>

namespace {

constexpr int kRefreshMs = 1000;

} // namespace

LinkHealth::LinkHealth(QObject *parent)
    : QObject(parent)
    , m_timer(this)
{
    // Runs only while the link does: an idle window is not woken for it.
    m_timer.setInterval(kRefreshMs);
    connect(&m_timer, &QTimer::timeout, this, &LinkHealth::refresh);
}

void LinkHealth::setPhase(Phase phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    if (phase == Relay)
        m_relayStartMs = steadyClockMs();
    if (phase == Idle)
        m_timer.stop();
    else if (!m_timer.isActive())
        m_timer.start();
    refresh();
}

void LinkHealth::setModemPortLost(bool lost)
{
    if (std::exchange(m_modemPortLost, lost) != lost)
        refresh();
}

void LinkHealth::setGroundPortLost(bool lost)
{
    if (std::exchange(m_groundPortLost, lost) != lost)
        refresh();
}

void LinkHealth::countHandshake()
{
    ++m_handshakes;
    refresh();
}

void LinkHealth::refresh()
{
    apply(linkCountersSnapshot(), steadyClockMs());
}

void LinkHealth::apply(const LinkCounters &counters, uint64_t nowMs)
{
    const auto rate = [&](uint64_t now, uint64_t before) {
        if (m_nowMs == 0 || nowMs <= m_nowMs || now < before)
            return 0.0;
        return double(now - before) * 1000.0 / double(nowMs - m_nowMs);
    };
    m_rateToAircraft = rate(counters.bytesToAircraft, m_counters.bytesToAircraft);
    m_rateFromAircraft = rate(counters.bytesFromAircraft, m_counters.bytesFromAircraft);
    m_counters = counters;
    m_nowMs = nowMs;
    m_msSinceAircraft = counters.lastAircraftRecordMs == 0 || counters.lastAircraftRecordMs > nowMs
                            ? -1
                            : int64_t(nowMs - counters.lastAircraftRecordMs);
    emit updated();
}

int LinkHealth::silentSeconds() const
{
    if (m_phase != Relay)
        return 0;
    // Silence counts from the start of this relay when the aircraft has sent nothing since.
    const bool heardSinceStart =
        m_msSinceAircraft >= 0 && m_counters.lastAircraftRecordMs >= m_relayStartMs;
    const uint64_t silentMs = heardSinceStart ? uint64_t(m_msSinceAircraft)
                              : m_nowMs > m_relayStartMs ? m_nowMs - m_relayStartMs
                                                         : 0;
    return int(silentMs / 1000);
}

LinkHealth::State LinkHealth::state() const
{
    switch (m_phase) {
    case Idle:
        return Stopped;
    case Authentication:
        return m_modemPortLost ? ModemPortLost : Authenticating;
    case ModemRoutine:
        return m_modemPortLost ? ModemPortLost : ConfiguringModem;
    case Relay:
        break;
    }
    if (m_modemPortLost)
        return ModemPortLost;
    if (m_groundPortLost)
        return GroundPortLost;
    return silentSeconds() * 1000 >= kSilenceMs ? AircraftSilent : Relaying;
}

QString LinkHealth::stateName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(state()));
}

double LinkHealth::mavlinkDropped() const
{
    return double(m_counters.droppedBadChecksum + m_counters.droppedUnknownId
                  + m_counters.droppedSigned + m_counters.droppedNotFrame);
}

QByteArray LinkHealth::statsJson() const
{
    const LinkCounters &c = m_counters;
    const auto number = [](uint64_t value) { return QByteArray::number(qulonglong(value)); };
    QByteArray line = "{";
    const auto add = [&line](const char *key, const QByteArray &value) {
        if (line.size() > 1)
            line += ',';
        line += '"';
        line += key;
        line += "\":";
        line += value;
    };
    add("state", '"' + stateName().toLatin1() + '"');
    add("records_sent", number(c.recordsSent));
    add("records_accepted", number(c.recordsAccepted));
    add("refused_replay", number(c.refusedReplay));
    add("refused_mac", number(c.refusedMac));
    add("refused_limit", number(c.refusedLimit));
    add("refused_reflected", number(c.refusedReflected));
    add("mavlink_dropped", number(c.droppedBadChecksum + c.droppedUnknownId + c.droppedSigned
                                  + c.droppedNotFrame));
    add("dropped_bad_checksum", number(c.droppedBadChecksum));
    add("dropped_unknown_id", number(c.droppedUnknownId));
    add("dropped_signed", number(c.droppedSigned));
    add("dropped_not_frame_bytes", number(c.droppedNotFrame));
    add("bytes_to_aircraft", number(c.bytesToAircraft));
    add("bytes_from_aircraft", number(c.bytesFromAircraft));
    add("send_epoch", number(c.sendEpoch));
    add("receive_epoch", number(c.receiveEpoch));
    add("bytes_before_rekey", number(c.bytesBeforeRekey));
    add("ms_since_aircraft", m_msSinceAircraft < 0 ? QByteArray("null")
                                                   : number(uint64_t(m_msSinceAircraft)));
    add("handshakes", QByteArray::number(m_handshakes));
    add("modem_port_lost", m_modemPortLost ? "true" : "false");
    add("ground_port_lost", m_groundPortLost ? "true" : "false");
    return line + '}';
}
