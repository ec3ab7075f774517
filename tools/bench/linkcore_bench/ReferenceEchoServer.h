// The reference the benchmark compares LinkCore with: a plain echo server on
// libuv's event loop, in one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include <uv.h>

class ReferenceEchoServer {
public:
    ReferenceEchoServer() = default;
    ~ReferenceEchoServer();

    ReferenceEchoServer(const ReferenceEchoServer&) = delete;
    ReferenceEchoServer& operator=(const ReferenceEchoServer&) = delete;

    // Listens on all local IPv4 addresses; false when the port is taken.
    bool Start(std::uint16_t port);
    void Stop();

    // Read callbacks that carried data, since the start.
    long Reads() const { return m_reads.load(); }

private:
    static void OnConnection(uv_stream_t* server, int status);
    static void OnAlloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buffer);
    static void OnRead(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer);
    static void OnWrite(uv_write_t* request, int status);
    static void OnStop(uv_async_t* async);

    uv_loop_t m_loop{};
    uv_tcp_t m_server{};
    uv_async_t m_stop{};
    std::thread m_thread;
    std::atomic<long> m_reads{0};
    bool m_running = false;
};
