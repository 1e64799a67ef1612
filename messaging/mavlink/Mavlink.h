// Everything of the MAVLink framing: records, checksum, table, parser and serialiser.
#pragma once

#include "messaging/mavlink/MavlinkCrc.h"
#include "messaging/mavlink/MavlinkMessageTable.h"
#include "messaging/mavlink/MavlinkParser.h"
#include "messaging/mavlink/MavlinkSerializer.h"
#include "messaging/mavlink/MavlinkTypes.h"
