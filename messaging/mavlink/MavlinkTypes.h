// MAVLink message and channel records, their constants and the framing results.
// Field names follow the MAVLink C library so that code written against it reads the same.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t MAVLINK_STX = 0xFD;           // version 2 start byte
constexpr uint8_t MAVLINK_STX_MAVLINK1 = 0xFE;  // version 1 start byte

constexpr uint8_t MAVLINK_IFLAG_SIGNED = 0x01;
// Every incompatibility flag this parser understands; a frame with any other bit is abandoned.
constexpr uint8_t MAVLINK_IFLAG_MASK = 0x01;

constexpr uint8_t MAVLINK_STATUS_FLAG_IN_MAVLINK1 = 0x01;

constexpr size_t MAVLINK_CORE_HEADER_LEN = 9;          // v2 header after the start byte
constexpr size_t MAVLINK_CORE_HEADER_MAVLINK1_LEN = 5; // v1 header after the start byte
constexpr size_t MAVLINK_NUM_CHECKSUM_BYTES = 2;
constexpr size_t MAVLINK_SIGNATURE_BLOCK_LEN = 13;
constexpr size_t MAVLINK_MAX_PAYLOAD_LEN = 255;
// 10 header bytes, 255 payload bytes, 2 checksum bytes, 13 signature bytes.
constexpr size_t MAVLINK_MAX_PACKET_LEN = 280;

// Channel 0 carries the ground-control stream, channel 1 the decrypted modem stream.
constexpr uint8_t MAVLINK_COMM_NUM_BUFFERS = 2;

// Values are positions and must not be reordered: tests and callers store them.
enum mavlink_parse_state_t : uint8_t {
    MAVLINK_PARSE_STATE_UNINIT = 0,
    MAVLINK_PARSE_STATE_IDLE,
    MAVLINK_PARSE_STATE_GOT_STX,
    MAVLINK_PARSE_STATE_GOT_LENGTH,
    MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS,
    MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS,
    MAVLINK_PARSE_STATE_GOT_SEQ,
    MAVLINK_PARSE_STATE_GOT_SYSID,
    MAVLINK_PARSE_STATE_GOT_COMPID,
    MAVLINK_PARSE_STATE_GOT_MSGID1,
    MAVLINK_PARSE_STATE_GOT_MSGID2,
    MAVLINK_PARSE_STATE_GOT_MSGID3,
    MAVLINK_PARSE_STATE_GOT_PAYLOAD,
    MAVLINK_PARSE_STATE_GOT_CRC1,
    MAVLINK_PARSE_STATE_GOT_BAD_CRC1,
    MAVLINK_PARSE_STATE_SIGNATURE_WAIT,
};

enum mavlink_framing_t : uint8_t {
    MAVLINK_FRAMING_INCOMPLETE = 0,
    MAVLINK_FRAMING_OK = 1,
    MAVLINK_FRAMING_BAD_CRC = 2,
    MAVLINK_FRAMING_BAD_SIGNATURE = 3,
};

struct mavlink_message_t {
    uint16_t checksum;  // running while a frame is assembled; the frame's checksum after it
    uint8_t magic;      // MAVLINK_STX or MAVLINK_STX_MAVLINK1
    uint8_t len;        // payload length as received
    uint8_t incompat_flags;
    uint8_t compat_flags;
    uint8_t seq;
    uint8_t sysid;
    uint8_t compid;
    uint32_t msgid : 24;
    uint64_t payload64[33];  // 255 payload bytes + 2 checksum bytes fit; read through mavlink_payload()
    uint8_t ck[2];           // checksum bytes as received, low byte first
    uint8_t signature[13];
};

struct mavlink_status_t {
    uint8_t msg_received;              // framing result of the last byte
    mavlink_parse_state_t parse_state;
    uint8_t packet_idx;                // payload bytes received so far
    uint8_t flags;                     // MAVLINK_STATUS_FLAG_IN_MAVLINK1 while in a v1 frame
    uint8_t signature_wait;            // signature bytes still expected
    // What mavlink_parse_char dropped on this channel, by reason.
    uint64_t drop_bad_crc;
    uint64_t drop_unknown_id;          // checksum failed under a message id not in the table
    uint64_t drop_signed;
    uint64_t skipped_bytes;            // bytes that began no frame
};

// One row of the CRC_EXTRA table. Only msgid, crc_extra and msg_len drive the framing;
// the target fields are kept because they belong to the row as published.
struct mavlink_msg_entry_t {
    uint32_t msgid;
    uint8_t crc_extra;
    uint8_t msg_len;  // payload length without extension fields; shorter payloads are zero-filled to it
    uint8_t flags;    // bit 0: has target_system, bit 1: has target_component
    uint8_t target_system_ofs;
    uint8_t target_component_ofs;
};

inline uint8_t *mavlink_payload(mavlink_message_t *msg)
{
    return reinterpret_cast<uint8_t *>(msg->payload64);
}

inline const uint8_t *mavlink_payload(const mavlink_message_t *msg)
{
    return reinterpret_cast<const uint8_t *>(msg->payload64);
}
