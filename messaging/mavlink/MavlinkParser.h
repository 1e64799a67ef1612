// Byte-at-a-time MAVLink frame parser over process-wide channels (0 and 1).
// A channel keeps its partial frame from one call to the next and has no lock: each channel
// belongs to one thread at a time.
#pragma once

#include "messaging/mavlink/MavlinkTypes.h"

// Feeds one byte to channel chan. Returns any mavlink_framing_t value; after FRAMING_OK and
// FRAMING_BAD_CRC *msg holds the assembled message, after every byte msg->len the current length.
// A channel out of range returns FRAMING_INCOMPLETE and touches nothing.
uint8_t mavlink_frame_char(uint8_t chan, uint8_t c, mavlink_message_t *msg);

// As mavlink_frame_char, but a failed frame (bad checksum or signature) comes back as 0 and the
// channel is ready for the next frame; a 0xFD that ended a failed frame starts the next one.
// Returns MAVLINK_FRAMING_OK exactly when *msg holds a complete, valid message.
uint8_t mavlink_parse_char(uint8_t chan, uint8_t c, mavlink_message_t *msg);

// The channel's state and assembly buffer, or nullptr for a channel out of range.
// Zeroing the status puts the channel back to its start state.
mavlink_status_t *mavlink_get_channel_status(uint8_t chan);
mavlink_message_t *mavlink_get_channel_buffer(uint8_t chan);
