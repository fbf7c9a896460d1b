// CRemoteBuffer: moves the contents of a CBuffer to the peer of a connection
// as type-2 messages, optionally throttled, and fills a buffer on the
// receiving side until the announced total has arrived. Two buffers bound on
// different connections forward a transfer without storing it.
//
// Ownership: an RB_LOCAL buffer (AddRemoteBuffer) belongs to its creator; an
// RB_REMOTE one (CreateRemoteBuffer) to the RMI manager. No lock: used on the
// thread that dispatches the RMI manager.
#ifndef NB_COMMON_NETWORK_REMOTEBUFFER_H
#define NB_COMMON_NETWORK_REMOTEBUFFER_H

#include <memory>

#include "common/src/network/iremoteobject.h"
#include "common/src/network/rmimanager.h"
#include "common/src/timers.h"

enum RBState_t {
    RB_RECEIVED = 0,  // a transfer has been received completely
    RB_SENT = 1,      // everything has been sent
    RB_TIMEOUT = 2,   // time-out, disconnect or broken binding
    RB_PENDING = 3,   // set up and waiting
};

enum RBType_t {
    RB_NONE = 0,    // not set up
    RB_LOCAL = 1,   // the owner's buffer; reference isRemote 0
    RB_REMOTE = 2,  // stands for the peer's buffer; reference isRemote 1
};

enum RBTransmit_t {
    RB_TRANSMIT = 0,  // sending the own buffer
    RB_RECV = 1,      // receiving into the own buffer
    RB_FORWARD = 2,   // bound: passing traffic on
    RB_SOURCE = 3,    // sending raw data with Send
    RB_IDLE = 4,
};

// Data bytes one type-2 message carries at most (the message limit less the
// reference and the total).
const int RB_MAX_CHUNK = 10485744;
// Default limit of an incoming transfer's announced total.
const DWORD RB_DEFAULT_MAX_TRANSFER = 268435456;
// Room made for an announced transfer before its data comes; a larger one
// grows as it arrives.
const int RB_RECV_RESERVE = 33554432;

class CRemoteBuffer;

class IRemoteBufferCallback {
public:
    virtual void RemoteBufferStart(CRemoteBuffer* pBuffer, DWORD total, DWORD received) = 0;
    virtual void RemoteBufferState(CRemoteBuffer* pBuffer, RBState_t state) = 0;
    virtual void RemoteBufferProgress(CRemoteBuffer* pBuffer, DWORD received, DWORD total) = 0;

protected:
    ~IRemoteBufferCallback() {}
};

class CRemoteBuffer : public IRemoteObject {
public:
    // timeOut in seconds.
    explicit CRemoteBuffer(int timeOut);
    ~CRemoteBuffer() override;

    CString GetClassName() override { return "CRemoteBuffer"; }
    bool ReceivedMessage(HConnection hConnection, CMessage& message) override;

    // Called by the RMI manager. An RB_REMOTE buffer is set up once only.
    void Setup(HConnection hConnection, CRMIManager* pRMIManager, CTimerManager* pTimerManager, DWORD id,
               bool isRemote);
    // Sends the whole buffer from its start; dataRate in bytes per second,
    // 0 for all at once, else at least 11.
    void Transmit(int dataRate);
    void TransmitChunk(int sendSize, bool firstPacket);
    // Sends buffer from its read position as one message (forwarding).
    void Send(CBuffer& buffer);
    void Bind(CRemoteBuffer* pBuffer);
    // Blocks, pumping the connection manager, until the buffer leaves
    // RB_PENDING. Never from inside a callback of the connection manager.
    void WaitForData();
    // During a transfer only marks the buffer: it is removed when the
    // transfer ends. Otherwise as Remove.
    void Close();
    // Drops the binding (a pending buffer times out), then Remove.
    void CloseBind();
    // Unlinks and removes a bound partner, leaves the manager (which deletes
    // an RB_REMOTE buffer), then Clear.
    void Remove();
    void Clear();
    void Dispatch();

    DWORD GetID() const { return m_ObjRef.instanceID; }
    RBState_t GetState() const { return m_State; }
    void SetState(RBState_t state) { m_State = state; }
    RBType_t GetType() const { return m_Type; }
    RBTransmit_t GetTransmitState() const { return m_TransmitState; }
    CBuffer* GetBuffer() { return m_pBuffer; }
    void SetBuffer(const CBuffer& buffer) { *m_pBuffer = buffer; }
    void SetCallback(IRemoteBufferCallback* pCallback) { m_pCallback = pCallback; }
    IRemoteBufferCallback* GetCallback() const { return m_pCallback; }
    void SetTimeout(int seconds);
    // Largest total an incoming transfer may announce; a larger one is
    // refused at its first message, before anything is stored.
    // (A buffer holds at most 2 GiB: larger limits are taken as that.)
    void SetMaxTransferSize(DWORD bytes) { m_MaxTransfer = bytes < 0x7FFFFFFFu ? bytes : 0x7FFFFFFFu; }

private:
    void FinishTransmit();
    void Unlink();
    void DestroyTimer();

    int m_Timeout;
    bool m_CleanAfter;
    CBuffer* m_pBuffer;  // owned
    DWORD m_RecvTotal;
    double m_DataRate;
    unsigned int m_Ticks;
    DWORD m_RecvSize;
    CTimerManager* m_pTimerManager;
    HConnection m_hConnection;
    IRemoteBufferCallback* m_pCallback;
    RBType_t m_Type;
    RBState_t m_State;
    RBTransmit_t m_TransmitState;
    CTimer* m_pTimer;
    bool m_bBound;
    CRemoteBuffer* m_pOtherBuffer;
    DWORD m_MaxTransfer;
    // Set false by the destructor: code that calls out (owner callbacks,
    // WaitForData's pumping) learns that the buffer went away meanwhile.
    std::shared_ptr<bool> m_pAlive;
};

#endif
