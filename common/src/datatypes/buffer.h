// CBuffer: a growable byte array with a read cursor and a write cursor, the
// unit of received and queued bytes, file images and message bodies.
// Owns its block (OS_Realloc/OS_Free); no lock: the owner serialises access.
// Integers are stored in host byte order (little-endian on the target).
#ifndef NB_COMMON_DATATYPES_BUFFER_H
#define NB_COMMON_DATATYPES_BUFFER_H

#include <cstring>

#include "common/src/heap.h"
#include "common/src/linux/platform.h"

class CBuffer {
public:
    CBuffer() : m_pBuffer(nullptr), m_pRead(nullptr), m_pWrite(nullptr), m_TotalLength(0), m_CurrentLength(0) {}
    CBuffer(const CBuffer& buff) : CBuffer() { *this = buff; }
    virtual ~CBuffer() { OS_Free(m_pBuffer); }

    // Copies content and cursor offsets; the block is enlarged to buff's
    // capacity when smaller, never shrunk.
    CBuffer& operator=(const CBuffer& buff) {
        if (&buff == this) return *this;
        if (buff.m_CurrentLength == 0) {
            Empty();
            return *this;
        }
        if (m_TotalLength < buff.m_TotalLength) Reallocate(buff.m_TotalLength);
        memcpy(m_pBuffer, buff.m_pBuffer, static_cast<size_t>(buff.m_CurrentLength));
        m_CurrentLength = buff.m_CurrentLength;
        m_pWrite = m_pBuffer + m_CurrentLength;
        m_pRead = m_pBuffer + (buff.m_pRead - buff.m_pBuffer);
        return *this;
    }

    // The read cursor.
    void* Ptr() const { return m_pRead; }
    int Length() const { return m_CurrentLength; }
    int RemainingLength() const { return m_CurrentLength - static_cast<int>(m_pRead - m_pBuffer); }
    int Capacity() const { return m_TotalLength; }
    // Start of the block (content from offset 0), null before the first write.
    void* Data() const { return m_pBuffer; }

    // Advances the read cursor, clamped to the end of the content.
    void* IncrementPtr(int length) {
        if (length > RemainingLength()) length = RemainingLength();
        if (length > 0) m_pRead += length;
        return m_pRead;
    }
    void ResetPtr() { m_pRead = m_pBuffer; }
    // Drops the content but keeps the block, so a reused buffer does not
    // reallocate.
    void Empty() {
        m_pRead = m_pWrite = m_pBuffer;
        m_CurrentLength = 0;
    }
    // Capacity becomes exactly length (the content must fit); read cursor to
    // the start. Nothing happens for 0 or less.
    void Resize(int length) {
        if (length <= 0) return;
        OS_ASSERTMSG(length >= m_CurrentLength, "Resize(%d) below content of %d bytes", length, m_CurrentLength);
        Reallocate(length);
        m_pRead = m_pBuffer;
    }
    // Makes room for length more bytes: capacity doubles, or becomes twice
    // length when empty or when doubling is still too small.
    void CheckSize(int length) {
        OS_ASSERTMSG(length >= 0, "CheckSize(%d)", length);
        long long needed = static_cast<long long>(m_CurrentLength) + length;
        if (needed <= m_TotalLength) return;
        long long capacity = 2LL * m_TotalLength;
        if (m_TotalLength == 0 || capacity < needed) capacity = 2LL * length;
        if (capacity < needed) capacity = needed;
        // Blocks stay addressable by int offsets.
        if (capacity > 0x7FFFFFFF) capacity = 0x7FFFFFFF;
        OS_ASSERTMSG(needed <= capacity, "CBuffer larger than 2 GiB");
        Reallocate(static_cast<int>(capacity));
    }

    void WriteByte(unsigned char data) { WriteData(&data, 1); }
    void WriteInt(int data) { WriteData(&data, 4); }
    void WriteData(const void* data, int length) {
        if (length <= 0) return;
        CheckSize(length);
        memcpy(m_pWrite, data, static_cast<size_t>(length));
        m_pWrite += length;
        m_CurrentLength += length;
    }
    // Reserves length uninitialised bytes at the end; the address is valid
    // until the next growth.
    void* LazyWrite(int length) {
        CheckSize(length);
        void* p = m_pWrite;
        m_pWrite += length;
        m_CurrentLength += length;
        return p;
    }
    // Appends zero bytes until the content length is a multiple of alignment.
    void Align(int alignment) {
        OS_ASSERT(alignment > 0);
        int pad = (alignment - m_CurrentLength % alignment) % alignment;
        if (pad == 0) return;
        memset(LazyWrite(pad), 0, static_cast<size_t>(pad));
    }

    // 0 without moving when fewer than 4 bytes are unread.
    int ReadInt() {
        int v = 0;
        if (RemainingLength() < 4) return 0;
        memcpy(&v, m_pRead, 4);
        m_pRead += 4;
        return v;
    }
    unsigned char ReadByte() {
        if (RemainingLength() < 1) return 0;
        return static_cast<unsigned char>(*m_pRead++);
    }
    // Short of data: fills with zeros and moves the cursor to the end.
    void ReadData(void* data, int length) {
        if (length <= 0) return;
        if (RemainingLength() >= length) {
            memcpy(data, m_pRead, static_cast<size_t>(length));
            m_pRead += length;
        } else {
            memset(data, 0, static_cast<size_t>(length));
            m_pRead = m_pWrite;
        }
    }

    // Removes the last length bytes; nothing when the content is shorter.
    void EraseData(int length) {
        if (length <= 0 || length > m_CurrentLength) return;
        m_CurrentLength -= length;
        m_pWrite -= length;
        if (m_pRead > m_pWrite) m_pRead = m_pWrite;
    }
    // Removes length bytes at pos; later bytes move down. The read cursor
    // keeps its offset (clamped to the new end).
    void EraseData(int pos, int length) {
        OS_ASSERTMSG(pos >= 0 && length >= 0 && static_cast<long long>(pos) + length <= m_CurrentLength,
                     "EraseData(%d, %d) beyond %d bytes", pos, length, m_CurrentLength);
        if (length == 0) return;
        memmove(m_pBuffer + pos, m_pBuffer + pos + length, static_cast<size_t>(m_CurrentLength - pos - length));
        m_CurrentLength -= length;
        m_pWrite -= length;
        if (m_pRead > m_pWrite) m_pRead = m_pWrite;
    }
    // Discards what was read: the unread bytes move to the block start.
    void EraseDataRead() {
        int read = static_cast<int>(m_pRead - m_pBuffer);
        if (read == 0) return;
        memmove(m_pBuffer, m_pRead, static_cast<size_t>(m_CurrentLength - read));
        m_CurrentLength -= read;
        m_pWrite -= read;
        m_pRead = m_pBuffer;
    }

    // Reads one serialised buffer (length, read offset, content) into buff.
    // False, with buff emptied, when it is incomplete or inconsistent.
    virtual bool operator>>(CBuffer& buff) {
        if (RemainingLength() < 8) {
            buff.Empty();
            return false;
        }
        int length = ReadInt();
        int offset = ReadInt();
        if (length < 0 || offset < 0 || RemainingLength() < length || offset > length) {
            buff.Empty();
            return false;
        }
        buff.Empty();
        buff.WriteData(m_pRead, length);
        m_pRead += length;
        buff.m_pRead = buff.m_pBuffer + offset;
        return true;
    }
    // Appends the serialised form of buff: its length, its read offset and
    // its whole content (bytes already read included).
    virtual void operator<<(const CBuffer& buff) {
        WriteInt(buff.m_CurrentLength);
        WriteInt(static_cast<int>(buff.m_pRead - buff.m_pBuffer));
        WriteData(buff.m_pBuffer, buff.m_CurrentLength);
    }

private:
    void Reallocate(int capacity) {
        int readOffset = static_cast<int>(m_pRead - m_pBuffer);
        m_pBuffer = static_cast<char*>(OS_Realloc(m_pBuffer, static_cast<unsigned int>(capacity)));
        m_TotalLength = capacity;
        m_pRead = m_pBuffer + readOffset;
        m_pWrite = m_pBuffer + m_CurrentLength;
    }

    char* m_pBuffer;      // owned block, null until the first write
    char* m_pRead;        // next byte to read
    char* m_pWrite;       // one past the content
    int m_TotalLength;    // capacity
    int m_CurrentLength;  // content bytes
};

#endif
