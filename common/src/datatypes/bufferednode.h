// CBufferedNode: a stream node that keeps everything that passed through it
// and passes it on. Created with new when DeleteLater is to be used.
#ifndef NB_COMMON_DATATYPES_BUFFEREDNODE_H
#define NB_COMMON_DATATYPES_BUFFEREDNODE_H

#include "common/src/datatypes/istreamnode.h"
#include "common/src/datatypes/vector.h"

class CBufferedNode : public CBuffer, public IStreamNode {
public:
    CBufferedNode() : m_State(SS_PENDING), m_DeleteLater(false) {}
    ~CBufferedNode() override {}
    CBufferedNode(const CBufferedNode&) = delete;
    CBufferedNode& operator=(const CBufferedNode&) = delete;

    void StreamData(const CBuffer& buff) override {
        WriteData(buff.Ptr(), buff.RemainingLength());
        for (int i = 0; i < m_ConnectedStreams.Count(); i++) m_ConnectedStreams[i]->StreamData(buff);
    }
    void StreamEnd(StreamState_t state) override {
        m_State = state;
        for (int i = 0; i < m_ConnectedStreams.Count(); i++) m_ConnectedStreams[i]->StreamEnd(state);
        if (m_DeleteLater) delete this;
    }
    void StreamConnect(IStreamNode* pNode) override { m_ConnectedStreams.AddToTail(pNode); }
    StreamState_t GetState() override { return m_State; }
    void DeleteLater() override {
        m_DeleteLater = true;
        if (m_State != SS_PENDING) delete this;
    }

private:
    CVector<IStreamNode*> m_ConnectedStreams;  // not owned
    StreamState_t m_State;
    bool m_DeleteLater;
};

#endif
