// Test helper standing in for the relay's MAVLink path: reads a byte stream on stdin, parses it
// on channel 0 and writes every message that parses, serialised again, to stdout.
#include <cstdio>

#include "messaging/mavlink/Mavlink.h"

int main()
{
    uint8_t in[4096];
    uint8_t out[MAVLINK_MAX_PACKET_LEN];
    mavlink_message_t msg;
    size_t n;
    while ((n = std::fread(in, 1, sizeof(in), stdin)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            if (mavlink_parse_char(0, in[i], &msg) != MAVLINK_FRAMING_OK)
                continue;
            const uint16_t len = mavlink_msg_to_send_buffer(out, &msg);
            if (std::fwrite(out, 1, len, stdout) != len)
                return 1;
        }
    }
    return std::ferror(stdin) || std::fflush(stdout) != 0 ? 1 : 0;
}
