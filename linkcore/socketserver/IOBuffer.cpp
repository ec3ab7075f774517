#include "linkcore/socketserver/IOBuffer.h"

#include <cstring>
#include <new>

#include "linkcore/socketserver/Trace.h"

namespace linkcore {

CIOBuffer::CIOBuffer(Allocator& allocator, std::size_t size, char* data)
    : m_windowLength(size), m_windowData(data), m_allocator(allocator), m_size(size), m_data(data)
{
}

void CIOBuffer::AddRef()
{
    m_references.fetch_add(1, std::memory_order_relaxed);
}

void CIOBuffer::Release()
{
    long current = m_references.load(std::memory_order_relaxed);
    do {
        if (current == 0) {
            Trace("CIOBuffer::Release() m_ref is already 0");
            return;
        }
    } while (!m_references.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    if (current == 1) {
        m_sequenceNumber = 0;
        m_operation = 0;
        m_used = 0;
        m_allocator.Release(this);
    }
}

bool CIOBuffer::AddData(const void* data, std::size_t length)
{
    if (length > m_size - m_used) {
        Trace("CIOBuffer::AddData Not enough space in buffer");
        return false;
    }
    if (length > 0) {
        std::memcpy(m_data + m_used, data, length);
        m_used += length;
    }
    return true;
}

void CIOBuffer::SetupRead()
{
    m_windowData = m_data + m_used;
    m_windowLength = m_size - m_used;
}

void CIOBuffer::SetupZeroByteRead()
{
    m_windowData = m_data;
    m_windowLength = 0;
}

void CIOBuffer::SetupWrite()
{
    m_windowData = m_data;
    m_windowLength = m_used;
    m_used = 0;
}

void CIOBuffer::Empty()
{
    m_windowData = m_data;
    m_windowLength = m_size;
    m_used = 0;
}

CIOBuffer::Allocator::Allocator(std::size_t bufferSize, std::size_t idleLimit)
    : m_bufferSize(bufferSize), m_idleLimit(idleLimit)
{
}

CIOBuffer::Allocator::~Allocator()
{
    try {
        FreeAllBuffers();
    } catch (...) {
    }
}

CIOBuffer* CIOBuffer::Allocator::Allocate()
{
    std::lock_guard<std::mutex> guard(m_bufferPoolLock);
    CIOBuffer* buffer = static_cast<CIOBuffer*>(m_idle.PopFront());
    if (buffer == nullptr) {
        void* memory = ::operator new(sizeof(CIOBuffer) + m_bufferSize, std::nothrow);
        if (memory == nullptr) {
            Trace("CIOBuffer::Allocator::Allocate() Out of memory");
            return nullptr;
        }
        char* data = static_cast<char*>(memory) + sizeof(CIOBuffer);
        buffer = new (memory) CIOBuffer(*this, m_bufferSize, data);
        OnBufferCreated();
    } else {
        buffer->m_references.store(1, std::memory_order_relaxed);
    }
    m_active.PushFront(buffer);
    OnBufferAllocated();
    return buffer;
}

void CIOBuffer::Allocator::Release(CIOBuffer* buffer)
{
    if (buffer == nullptr) {
        Trace("CIOBuffer::Allocator::Release() pBuffer is null");
        return;
    }
    std::lock_guard<std::mutex> guard(m_bufferPoolLock);
    OnBufferReleased();
    m_active.Remove(buffer);
    if (m_idleLimit != 0 && m_idle.Count() >= m_idleLimit) {
        DestroyBuffer(buffer);
    } else {
        buffer->Empty();
        m_idle.PushFront(buffer);
    }
}

void CIOBuffer::Allocator::FreeAllBuffers()
{
    std::lock_guard<std::mutex> guard(m_bufferPoolLock);
    while (CIOBuffer* buffer = static_cast<CIOBuffer*>(m_active.PopFront())) {
        OnBufferReleased();
        DestroyBuffer(buffer);
    }
    while (CIOBuffer* buffer = static_cast<CIOBuffer*>(m_idle.PopFront())) {
        DestroyBuffer(buffer);
    }
}

std::size_t CIOBuffer::Allocator::ActiveBuffers() const
{
    std::lock_guard<std::mutex> guard(m_bufferPoolLock);
    return m_active.Count();
}

std::size_t CIOBuffer::Allocator::IdleBuffers() const
{
    std::lock_guard<std::mutex> guard(m_bufferPoolLock);
    return m_idle.Count();
}

void CIOBuffer::Allocator::DestroyBuffer(CIOBuffer* buffer)
{
    buffer->m_userData = nullptr;
    buffer->~CIOBuffer();
    ::operator delete(static_cast<void*>(buffer));
    OnBufferDestroyed();
}

}  // namespace linkcore
