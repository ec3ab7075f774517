// Pooled, reference-counted I/O buffers.
//
// A buffer and its data area are one allocation. Whoever holds a reference
// may read the buffer; the last Release() gives it back to its pool, which
// keeps up to its idle limit for reuse and frees the rest. The I/O window is
// the part of the data area that the next receive fills or the next send
// transmits.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "linkcore/socketserver/NodeList.h"

namespace linkcore {

class CIOBuffer : public CNodeList::Node {
public:
    class Allocator;

    CIOBuffer(const CIOBuffer&) = delete;
    CIOBuffer& operator=(const CIOBuffer&) = delete;

    void AddRef();
    void Release();

    // Appends bytes after the used ones; refuses (and traces) when they do
    // not fit, copying nothing.
    bool AddData(const void* data, std::size_t length);

    char* GetBuffer() { return m_data; }
    const char* GetBuffer() const { return m_data; }
    std::size_t GetSize() const { return m_size; }
    std::size_t GetUsed() const { return m_used; }
    void Use(std::size_t bytes) { m_used += bytes; }

    unsigned GetOperation() const { return m_operation; }
    void SetOperation(unsigned operation) { m_operation = operation; }
    int GetSequenceNumber() const { return m_sequenceNumber; }
    void SetSequenceNumber(int number) { m_sequenceNumber = number; }

    // Window set-ups: the free part for a receive, nothing for a zero-byte
    // receive, the used bytes for a send (used becomes 0 until the send
    // completes), the whole area when the buffer goes back to the pool.
    void SetupRead();
    void SetupZeroByteRead();
    void SetupWrite();
    void Empty();

    char* WindowData() const { return m_windowData; }
    std::size_t WindowLength() const { return m_windowLength; }

    void* GetUserData() const { return m_userData; }
    void SetUserData(void* data) { m_userData = data; }

    long References() const { return m_references.load(); }

private:
    friend class Allocator;
    CIOBuffer(Allocator& allocator, std::size_t size, char* data);
    ~CIOBuffer() = default;

    void* m_userData = nullptr;
    unsigned m_operation = 0;
    int m_sequenceNumber = 0;
    std::size_t m_windowLength;
    char* m_windowData;
    Allocator& m_allocator;
    std::atomic<long> m_references{1};
    const std::size_t m_size;
    std::size_t m_used = 0;
    char* const m_data;
};

class CIOBuffer::Allocator {
public:
    // idleLimit 0 keeps every released buffer.
    Allocator(std::size_t bufferSize, std::size_t idleLimit);
    virtual ~Allocator();

    Allocator(const Allocator&) = delete;
    Allocator& operator=(const Allocator&) = delete;

    // A buffer holding one reference, or null (traced) when memory runs out.
    CIOBuffer* Allocate();
    void Release(CIOBuffer* buffer);
    void FreeAllBuffers();

    std::size_t BufferSize() const { return m_bufferSize; }
    std::size_t ActiveBuffers() const;
    std::size_t IdleBuffers() const;

protected:
    // Run under the pool lock.
    virtual void OnBufferCreated() {}
    virtual void OnBufferAllocated() {}
    virtual void OnBufferReleased() {}
    virtual void OnBufferDestroyed() {}

private:
    void DestroyBuffer(CIOBuffer* buffer);

    const std::size_t m_bufferSize;
    CNodeList m_idle;
    CNodeList m_active;
    const std::size_t m_idleLimit;
    mutable std::mutex m_bufferPoolLock;
};

}  // namespace linkcore
