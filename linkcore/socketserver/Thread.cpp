#include "linkcore/socketserver/Thread.h"

#include <system_error>

#include "linkcore/socketserver/Trace.h"

namespace linkcore {

CThread::CThread() = default;

CThread::~CThread()
{
    // Owners wait for their thread before destroying it; joining here only
    // covers an owner that forgot, so the process does not abort.
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CThread::Start()
{
    std::lock_guard<std::mutex> guard(m_threadLock);
    if (m_hasThread) {
        Trace("CThread::Start() Thread already running - you can only call Start() once!");
        return;
    }
    try {
        m_thread = std::thread(&CThread::Body, this);
        m_hasThread = true;
    } catch (const std::system_error& error) {
        Trace("CThread::Start() - _beginthreadex" + SystemErrorText(error.code().value()));
    }
}

void CThread::Body()
{
    try {
        Run();
    } catch (...) {
        // The thread's result would be 0; nothing else to do with it.
    }
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_finished = true;
    }
    m_ended.notify_all();
}

bool CThread::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_threadLock);
    if (!m_hasThread) {
        return true;
    }
    if (!m_ended.wait_for(lock, timeout, [this] { return m_finished; })) {
        return false;
    }
    lock.unlock();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
    return true;
}

void CThread::Wait()
{
    std::unique_lock<std::mutex> lock(m_threadLock);
    if (!m_hasThread) {
        return;
    }
    m_ended.wait(lock, [this] { return m_finished; });
    lock.unlock();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

bool CThread::Started() const
{
    std::lock_guard<std::mutex> guard(m_threadLock);
    return m_hasThread;
}

}  // namespace linkcore
