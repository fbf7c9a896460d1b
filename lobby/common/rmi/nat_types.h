// The relay's wire records. One TCP stream carries packets back to back, each
// starting with a ProxyHeader_t. Every integer is 32-bit signed little-endian
// (the target's own order; no byte swapping anywhere).
#ifndef NB_LOBBY_COMMON_RMI_NAT_TYPES_H
#define NB_LOBBY_COMMON_RMI_NAT_TYPES_H

#include <cstdint>

// Packet types. Any value not listed here is a data packet.
enum ProxyPacketType_t {
    PH_TYPE_AUTH = 2,        // log in with a key the lobby host deposited
    PH_TYPE_ECHO = 12,       // sent straight back, allowed before login
    PH_TYPE_REGISTER = 100,  // log in with a freshly assigned id
    PH_TYPE_DATA = 0,        // every other value is data too; 0 is what our own clients send
};

static const int kProxyHeaderSize = 12;
static const int kProxyMinPacket = 12;           // the header alone
static const int kProxyMaxPacket = 0xFFFFF;      // 1048575, header included
static const int kProxyFirstUserID = 1 << 30;    // first id handed out by registration

struct ProxyHeader_t {
    int32_t size;  // 0: total packet length, header included (12..1048575)
    int32_t uid;   // 4: destination (data), claimed id (auth), id assigned (reply)
    int32_t type;  // 8: a PH_TYPE_ value
};
static_assert(sizeof(ProxyHeader_t) == 12, "the header is 12 bytes on the wire");

// Authentication request and every reply of the relay (auth and registration).
struct ProxyAuth_t {
    ProxyHeader_t header;  // 0: size 16
    int32_t key;           // 12: the deposited key; 0 in replies
};
static_assert(sizeof(ProxyAuth_t) == 16, "the auth record is 16 bytes on the wire");

#endif
