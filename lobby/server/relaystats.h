// RelayStats_t: the relay's running figures, written by the relay's threads
// and read by the status server's thread. Every field is an atomic the hot
// path bumps with a relaxed add; readers take each figure on its own (a
// scrape is a set of figures, not one consistent snapshot).
//
// Names on the status server's /metrics page (prefix "natbridge_"; counters
// end in "_total"):
//   connections_open, clients_logged_in, buffered_bytes        (gauges)
//   registrations_total, authentications_total,
//   authentication_failures_total, packets_relayed_total,
//   bytes_relayed_total, echoes_total,
//   packets_dropped_total{cause="unknown_destination"|"not_logged_in"},
//   connections_condemned_total{cause="bad_header_size"|"buffer_overflow"|
//     "send_queue_overflow"|"login_timeout"|"packet_timeout"|"memory_budget"},
//   connections_refused_total{cause="per_address"}
// and, read from the process at scrape time: uptime_seconds,
// resident_memory_bytes, open_fds.
#ifndef NB_LOBBY_SERVER_RELAYSTATS_H
#define NB_LOBBY_SERVER_RELAYSTATS_H

#include <atomic>
#include <cstdint>

enum RelayDropCause_t {
    RELAY_DROP_UNKNOWN_DESTINATION = 0,  // addressed to no logged-in client
    RELAY_DROP_NOT_LOGGED_IN,            // data from a client not logged in
    RELAY_DROP_CAUSES
};

enum RelayCondemnCause_t {
    RELAY_CONDEMN_BAD_HEADER_SIZE = 0,  // a size field outside 12..1048575
    RELAY_CONDEMN_BUFFER_OVERFLOW,      // more unconsumed input than a packet can hold
    RELAY_CONDEMN_SEND_QUEUE_OVERFLOW,  // a destination whose queue broke the queue rule
    RELAY_CONDEMN_LOGIN_TIMEOUT,        // neither registered nor authenticated in time
    RELAY_CONDEMN_PACKET_TIMEOUT,       // an incomplete packet did not complete in time
    RELAY_CONDEMN_MEMORY_BUDGET,        // dropped to keep the relay within MaxMemory
    RELAY_CONDEMN_CAUSES
};

struct RelayStats_t {
    // Gauges.
    std::atomic<int64_t> connectionsOpen{0};
    std::atomic<int64_t> clientsLoggedIn{0};
    std::atomic<int64_t> bufferedBytes{0};  // buffered input plus queued output, all connections
    std::atomic<bool> listening{false};     // the relay's port is open
    // Counters.
    std::atomic<uint64_t> registrations{0};
    std::atomic<uint64_t> authentications{0};
    std::atomic<uint64_t> authenticationFailures{0};
    std::atomic<uint64_t> packetsRelayed{0};
    std::atomic<uint64_t> bytesRelayed{0};
    std::atomic<uint64_t> echoes{0};
    std::atomic<uint64_t> dropped[RELAY_DROP_CAUSES] = {};
    std::atomic<uint64_t> condemned[RELAY_CONDEMN_CAUSES] = {};
    std::atomic<uint64_t> refusedPerAddress{0};

    void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }
    void Add(std::atomic<int64_t>& gauge, int64_t n) { gauge.fetch_add(n, std::memory_order_relaxed); }
};

#endif
