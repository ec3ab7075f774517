// Records what the library reports through its callbacks, for the tests that
// drive it through its C interface. One recorder per process (the callbacks
// are plain C functions).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "linkcore/LinkCore.h"

namespace linkcore_test {

class CallbackRecorder {
public:
    static CallbackRecorder& Instance()
    {
        static CallbackRecorder recorder;
        return recorder;
    }

    // Runs on a worker thread after the block is recorded.
    using DataAction = std::function<void(int connectionId, const char* data, int length)>;

    void Reset()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_streams.clear();
        m_closed.clear();
        m_largestBlock = 0;
        m_blocks = 0;
        m_action = nullptr;
        m_contexts.clear();
    }

    void SetAction(DataAction action)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_action = std::move(action);
    }

    // Waits (at most 30 s) until the condition over the recorder holds.
    bool WaitFor(const std::function<bool(CallbackRecorder&)>& condition)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return condition(*this); });
    }

    // The connection whose stream began with the tag, waiting for it.
    int IdentifierOf(const std::string& tag)
    {
        int found = 0;
        WaitFor([&](CallbackRecorder& r) {
            for (const auto& entry : r.m_streams) {
                if (entry.second.compare(0, tag.size(), tag) == 0) {
                    found = entry.first;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // Bytes received on the connection since its identifier was last closed.
    std::string Stream(int id)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_streams.find(id);
        return found == m_streams.end() ? std::string() : found->second;
    }

    std::vector<int> Closed()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_closed;
    }

    std::size_t ClosedCount(int id)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return static_cast<std::size_t>(std::count(m_closed.begin(), m_closed.end(), id));
    }

    int LargestBlock()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_largestBlock;
    }

    long Blocks()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_blocks;
    }

    std::vector<void*> Contexts()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_contexts;
    }

    // Accessors for WaitFor conditions (the lock is held there).
    const std::map<int, std::string>& StreamsLocked() const { return m_streams; }
    const std::vector<int>& ClosedLocked() const { return m_closed; }

    static void OnData(unsigned short, int, const char* peer, unsigned short peerPort, int id, const char* data,
                       int length, void* context)
    {
        CallbackRecorder& self = Instance();
        DataAction action;
        {
            std::lock_guard<std::mutex> guard(self.m_lock);
            self.m_streams[id].append(data, static_cast<std::size_t>(length));
            self.m_largestBlock = std::max(self.m_largestBlock, length);
            ++self.m_blocks;
            self.m_contexts.push_back(context);
            self.m_lastPeer = std::string(peer) + ":" + std::to_string(peerPort);
            action = self.m_action;
        }
        self.m_changed.notify_all();
        if (action) {
            action(id, data, length);
        }
    }

    static void OnClosed(unsigned short, int, int, int id, void* /*context*/)
    {
        CallbackRecorder& self = Instance();
        {
            std::lock_guard<std::mutex> guard(self.m_lock);
            self.m_closed.push_back(id);
            self.m_streams.erase(id);
        }
        self.m_changed.notify_all();
    }

    static void OnServerClosed(unsigned short, int, void*) {}

    std::string LastPeer()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastPeer;
    }

    static void Register() { SetCallbackFuntion(&OnData, &OnClosed, &OnServerClosed); }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<int, std::string> m_streams;
    std::vector<int> m_closed;
    int m_largestBlock = 0;
    long m_blocks = 0;
    DataAction m_action;
    std::vector<void*> m_contexts;
    std::string m_lastPeer;
};

}  // namespace linkcore_test
