// A thread object: Start() runs Run() on a new thread once; the owner waits
// for it with Wait() before destroying the object.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace linkcore {

class CThread {
public:
    CThread();
    virtual ~CThread();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the thread; a second call only traces.
    void Start();

    // True when the thread has ended (and has been joined) within the time.
    bool Wait(std::chrono::milliseconds timeout);
    void Wait();

    bool Started() const;

protected:
    virtual int Run() = 0;

private:
    void Body();

    mutable std::mutex m_threadLock;
    std::condition_variable m_ended;
    bool m_hasThread = false;
    bool m_finished = false;
    std::thread m_thread;
};

}  // namespace linkcore
