// Push pipelines of stream nodes: a node receives data and an end-of-stream
// notice and passes both on to the nodes connected behind it.
#ifndef NB_COMMON_DATATYPES_ISTREAMNODE_H
#define NB_COMMON_DATATYPES_ISTREAMNODE_H

#include "common/src/datatypes/buffer.h"

// How a stream stands; every state but SS_PENDING is final.
enum StreamState_t {
    SS_PENDING = 0,  // data may still come
    SS_TIMEOUT = 1,
    SS_ERROR = 2,
    SS_EOS = 3,      // regular end of stream
};

class IStreamNode {
public:
    virtual ~IStreamNode() {}
    // The bytes of buff from its read position to its end.
    virtual void StreamData(const CBuffer& buff) = 0;
    virtual void StreamEnd(StreamState_t state) = 0;
    // Appends pNode (not owned) to the nodes fed by this one.
    virtual void StreamConnect(IStreamNode* pNode) = 0;
    virtual StreamState_t GetState() = 0;
    // Deletes this node once its stream has ended (at once if it has).
    virtual void DeleteLater() = 0;
};

#endif
