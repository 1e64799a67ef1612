// Writes a MAVLink message record back out as frame bytes.
#pragma once

#include "messaging/mavlink/MavlinkTypes.h"

// Writes msg into buf (room for MAVLINK_MAX_PACKET_LEN bytes) and returns the frame length.
// Version 1 (magic 0xFE) goes out with its full len. Any other magic is written as version 2
// with trailing zero payload bytes trimmed (never below one byte, a len of 0 stays 0). When
// trimming shortens the payload the checksum is recomputed over the bytes written, with the
// row's CRC_EXTRA (0 for an id without a row), so the frame still parses at the other end;
// otherwise msg->checksum is written unchanged.
// A signature is copied, never recomputed: trimming a signed frame would invalidate it.
// The parser never delivers a signed frame, so the relay never writes one.
uint16_t mavlink_msg_to_send_buffer(uint8_t *buf, const mavlink_message_t *msg);
