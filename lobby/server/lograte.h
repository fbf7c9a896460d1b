// CLogRate: keeps lines that a peer can cause from flooding the log. Each
// kind of line is written at most once per interval; the rest are counted,
// and the next line written of that kind says how many it stands for.
// A plain value owned by whatever the lines are about (one per client), and
// guarded by its owner's lock.
#ifndef NB_LOBBY_SERVER_LOGRATE_H
#define NB_LOBBY_SERVER_LOGRATE_H

#include <cstdint>

template <int KINDS>
class CLogRate {
public:
    // now is a tick value (OS_GetTickCount). True when the line of this kind
    // may be written now; *pMore is then the number of lines of the kind
    // held back since the last one written.
    bool Allow(int kind, unsigned int now, int* pMore) {
        Kind_t& k = m_Kinds[kind];
        if (k.bWritten && now - k.lastTick < kIntervalMs) {
            if (k.held < INT32_MAX) k.held++;
            return false;
        }
        *pMore = k.held;
        k.bWritten = true;
        k.lastTick = now;
        k.held = 0;
        return true;
    }
    // Lines held back and not yet accounted for by a later line, all kinds.
    int HeldBack() const {
        int64_t total = 0;
        for (const Kind_t& k : m_Kinds) total += k.held;
        return total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
    }

    static const unsigned int kIntervalMs = 1000;

private:
    struct Kind_t {
        unsigned int lastTick = 0;  // when a line of this kind was last written
        int32_t held = 0;           // lines of this kind held back since then
        bool bWritten = false;      // one has been written at all
    };
    Kind_t m_Kinds[KINDS];
};

#endif
