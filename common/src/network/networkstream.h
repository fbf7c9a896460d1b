// CNetworkStream: a stream node that is also a remote object. A source sends
// what it is given to the peer as type-3 messages (optionally throttled by a
// byte budget that grows with elapsed time) and its end as a type-4
// message; the matching sink on the peer turns them back into StreamData and
// StreamEnd on its own connected nodes. Created by CRMIManager::CreateStream.
#ifndef NB_COMMON_NETWORK_NETWORKSTREAM_H
#define NB_COMMON_NETWORK_NETWORKSTREAM_H

#include "common/src/datatypes/istreamnode.h"
#include "common/src/network/iremoteobject.h"
#include "common/src/network/rmimanager.h"

// Data bytes one type-3 message carries at most (the limit less the reference).
const int NST_MAX_CHUNK = 10485748;

class CNetworkStream : public IStreamNode, public IRemoteObject {
public:
    CNetworkStream(HConnection hConnection, CRemoteObjRef objRef, StreamType_t type, CRMIManager* pRMIManager);

    void StreamData(const CBuffer& buff) override;
    void StreamEnd(StreamState_t state) override;
    void StreamConnect(IStreamNode* pNode) override { m_ConnectedStreams.AddToTail(pNode); }
    StreamState_t GetState() override { return m_State; }
    void DeleteLater() override;
    CString GetClassName() override { return "CNetworkStream"; }
    bool ReceivedMessage(HConnection hConnection, CMessage& message) override;
    ~CNetworkStream() override;

    // Seconds a sink may stay pending after its creation.
    void SetTimeout(unsigned int timeout) { m_Timeout = timeout * 1000u; }
    // Sources only (fatal otherwise): bytes per second, 0 = unthrottled.
    void SetDataRate(unsigned int bytes);
    void Dispatch();
    void Disconnect();
    StreamType_t GetType() const { return m_Type; }
    HConnection GetConnection() const { return m_hConnection; }
    // Bytes a throttled source still holds.
    int GetQueuedBytes() const { return m_Buffer.RemainingLength(); }

private:
    void Transmit();
    void SendData(const char* data, int length);
    void SendEnd(StreamState_t state);
    // DeleteLater's effect once the stream is final.
    void DeleteNow();

    CVector<IStreamNode*> m_ConnectedStreams;  // not owned
    StreamType_t m_Type;
    StreamState_t m_State;
    HConnection m_hConnection;
    unsigned int m_Timeout;
    unsigned int m_StartTicks;
    unsigned int m_LastTicks;
    bool m_bDeleteLater;
    bool m_bConnected;
    bool m_bThrottled;
    bool m_bStreamEnded;
    double m_DataRate;     // bytes per millisecond (fractional: slow rates work)
    double m_DataPending;  // budget not yet spent
    CBuffer m_Buffer;      // queued by a throttled source
};

#endif
